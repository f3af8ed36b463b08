// The background agent as the user runs it: `corvane-mac agent` in a process
// of its own, paired with the development coordinator, the fake Codex
// runtime as `codex`, its wake channel open. Three figures, each beside a
// floor measured in the same run:
//
//  idle      CPU time (utime + stime of the agent and the children it reaped,
//            from /proc/PID/stat) and resident memory (VmRSS, VmHWM) over a
//            stretch of idling with one sampling plan; the floor is the goal,
//            0.1 % of one core.
//  offer     from the coordinator queueing a read (the control call) to the
//            agent's claim arriving there (the coordinator stamps every
//            request with the monotonic clock this process reads too); the
//            floor is the synchronisation and the claim replayed as bare
//            HTTP on one kept-alive connection.
//  read      the same read from offer to result delivered; the floor is the
//            fake runtime's own start and answers (spawn, initialize,
//            account/read, account/rateLimits/read, end of input, exit) plus
//            every API request the task made, replayed as above.
//
// The agent keeps its token in the keyring, so this runs under one:
//   scripts/with-test-keyring build/bench/corvane-agent-bench
//       [--idle-seconds N] [--steady] [--tasks N] [--only idle,offer,read] [--scratch DIR]
// A new account is read every 15 s for its first two minutes: the idle
// figure is taken then, and with --steady also after that, when one reading
// every intervalSeconds (300) is all the sampler does.
// Besides its report it prints one tab-separated "row" line per figure (what,
// figure, floor, ratio, goal, verdict) for scripts/bench's table.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "dev-coordinator/testing/HttpExchange.h"
#include "executor/agent/QuotaSamplingPlan.h"
#include "executor/codex/CodexAccountHome.h"
#include "platform/ChildProcess.h"
#include "platform/Clock.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using corvane::platform::ChildDescriptor;
using corvane::platform::ChildProcess;
using corvane::platform::continuousSeconds;
using corvane::platform::SpawnPlan;

int64_t nowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void row(const std::string& what, const std::string& figure, const std::string& floor, const std::string& ratio,
         const std::string& goal, const std::string& verdict) {
  std::printf("row\t%s\t%s\t%s\t%s\t%s\t%s\n", what.c_str(), figure.c_str(), floor.c_str(), ratio.c_str(), goal.c_str(),
              verdict.c_str());
  std::fflush(stdout);
}

[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
  char text[128];
  va_list arguments;
  va_start(arguments, pattern);
  std::vsnprintf(text, sizeof text, pattern, arguments);
  va_end(arguments);
  return text;
}

// Waits until condition holds, checking every interval; false at the deadline.
bool waitFor(const std::function<bool()>& condition, double seconds,
             std::chrono::milliseconds interval = std::chrono::milliseconds(20)) {
  double deadline = continuousSeconds() + seconds;
  while (continuousSeconds() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(interval);
  }
  return condition();
}

std::string readText(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

struct CpuSample {
  double seconds = 0;    // CPU time so far: utime + stime + cutime + cstime
  double children = 0;   // of which cutime + cstime
  double running = 0;    // the threads' time on a CPU (schedstat: exact, not sampled per tick)
  double wall = 0;       // continuousSeconds() when read
  long residentKiB = 0;  // VmRSS
  long peakKiB = 0;      // VmHWM
};

CpuSample sample(pid_t pid) {
  CpuSample result;
  result.wall = continuousSeconds();
  std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
  // The command name may hold spaces and parentheses: the fields after it
  // start behind the last ')'. utime is field 14, so the 12th after it.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) throw std::runtime_error("unreadable /proc stat of the agent");
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> field;
  for (std::string item; fields >> item;) field.push_back(item);
  if (field.size() < 15) throw std::runtime_error("short /proc stat of the agent");
  double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  for (size_t index = 11; index <= 14; ++index) result.seconds += std::stod(field[index]) / ticks;
  result.children = (std::stod(field[13]) + std::stod(field[14])) / ticks;
  for (const auto& thread : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::istringstream schedstat(readText(thread.path() / "schedstat"));
    double nanoseconds = 0;
    if (schedstat >> nanoseconds) result.running += nanoseconds / 1e9;
  }
  std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) result.residentKiB = std::stol(line.substr(6));
    if (line.rfind("VmHWM:", 0) == 0) result.peakKiB = std::stol(line.substr(6));
  }
  return result;
}

// The fake runtime's own cost for a read: what the agent cannot go below.
class RuntimeFloor {
 public:
  RuntimeFloor(fs::path executable, fs::path home, fs::path work)
      : executable_(std::move(executable)), home_(std::move(home)), work_(std::move(work)) {}

  double millisecondsOfOneRead() {
    fs::remove_all(work_);
    fs::create_directories(work_);
    SpawnPlan plan;
    plan.program = executable_;
    plan.arguments = {executable_.string(), "app-server", "--listen", "stdio://"};
    for (auto& setting : corvane::CodexAccountHome::settings(work_)) plan.arguments.push_back(setting);
    plan.environment = corvane::CodexAccountHome::cleanEnvironment(home_);
    plan.descriptors = {ChildDescriptor::pipeToChild(), ChildDescriptor::pipeFromChild(), ChildDescriptor::nullDevice(),
                        ChildDescriptor::closed()};
    plan.directory = work_;
    auto start = std::chrono::steady_clock::now();
    auto child = ChildProcess::spawn(plan);
    if (!child) throw std::runtime_error("cannot start the fake runtime");
    input_ = child->takePipe(0);
    output_ = child->takePipe(1);
    buffer_.clear();
    ask(R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"corvane_local","version":"0.1.0"}}})", 1);
    send(R"({"method":"initialized","params":{}})");
    ask(R"({"id":2,"method":"account/read","params":{"refreshToken":false}})", 2);
    ask(R"({"id":3,"method":"account/rateLimits/read"})", 3);
    ::close(input_);
    auto status = child->wait(continuousSeconds() + 10);
    double milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ::close(output_);
    if (!status) throw std::runtime_error("the fake runtime did not exit at the end of its input");
    return milliseconds;
  }

 private:
  void send(const std::string& line) {
    std::string text = line + "\n";
    if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      throw std::runtime_error("cannot write to the fake runtime");
  }

  // Sends a request and reads lines until its answer.
  void ask(const std::string& line, int id) {
    send(line);
    double deadline = continuousSeconds() + 10;
    for (;;) {
      size_t end;
      while ((end = buffer_.find('\n')) != std::string::npos) {
        Json message = Json::parse(buffer_.substr(0, end), nullptr, false);
        buffer_.erase(0, end + 1);
        if (message.is_object() && message.contains("id") && message["id"] == id) {
          if (!message.contains("result")) throw std::runtime_error("the fake runtime refused: " + message.dump());
          return;
        }
      }
      pollfd descriptor{output_, POLLIN, 0};
      int left = static_cast<int>((deadline - continuousSeconds()) * 1000);
      if (left <= 0 || ::poll(&descriptor, 1, left) <= 0) throw std::runtime_error("the fake runtime did not answer");
      char chunk[65536];
      ssize_t got = ::read(output_, chunk, sizeof chunk);
      if (got <= 0) throw std::runtime_error("the fake runtime ended before answering");
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }

  fs::path executable_, home_, work_;
  int input_ = -1, output_ = -1;
  std::string buffer_;
};

struct Options {
  double idleSeconds = 60;
  bool steady = false;  // also measure once the confirmation window is over
  int tasks = 20;
  std::set<std::string> only = {"idle", "offer", "read"};
  // Where the data directory and logs go; a fresh one under /tmp when empty.
  // Removed at the end either way; a caller that may be interrupted passes
  // one inside a directory it removes itself.
  std::string scratch;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--idle-seconds" && i + 1 < argc) {
      options.idleSeconds = std::max(1.0, std::atof(argv[++i]));
    } else if (argument == "--scratch" && i + 1 < argc) {
      options.scratch = argv[++i];
    } else if (argument == "--steady") {
      options.steady = true;
    } else if (argument == "--tasks" && i + 1 < argc) {
      options.tasks = std::max(1, std::atoi(argv[++i]));
    } else if (argument == "--only" && i + 1 < argc) {
      options.only.clear();
      std::stringstream list(argv[++i]);
      for (std::string item; std::getline(list, item, ',');) options.only.insert(item);
    } else {
      throw std::invalid_argument(
          "usage: corvane-agent-bench [--idle-seconds N] [--steady] [--tasks N] [--only idle,offer,read] [--scratch DIR]");
    }
  }
  return options;
}

// One task's requests as the coordinator logged them, to replay.
std::vector<corvane::test::HttpExchangeRequest> replayable(const Json& logged) {
  std::vector<corvane::test::HttpExchangeRequest> requests;
  for (const Json& entry : logged) {
    corvane::test::HttpExchangeRequest request;
    request.method = entry["method"];
    request.target = entry["target"];
    for (const auto& [name, value] : entry["headers"].items())
      if (name == "authorization" || name == "content-type" || name == "accept")
        request.headers.emplace_back(name, value.get<std::string>());
    request.body = entry["body"];
    requests.push_back(std::move(request));
  }
  return requests;
}

int run(const Options& options) {
  fs::path scratch = options.scratch;
  if (scratch.empty()) {
    char pattern[] = "/tmp/corvane-agent-bench-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    scratch = pattern;
  } else if (!fs::create_directory(scratch)) {
    throw std::runtime_error(scratch.string() + " exists already");
  }
  fs::permissions(scratch, fs::perms::owner_all, fs::perm_options::replace);
  struct Remove {
    fs::path path;
    ~Remove() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } remove{scratch};
  fs::path data = scratch / "data";
  fs::create_directories(data / "codex" / "reader");
  fs::permissions(data, fs::perms::owner_all, fs::perm_options::replace);
  std::string account = R"({"account": {"email": "reader@example.com", "planType": "plus"}})";
  writeText(data / "codex" / "reader" / "auth.json", account);
  fs::create_directories(scratch / "floor-home");
  writeText(scratch / "floor-home" / "auth.json", account);

  corvane::test::DevCoordinator coordinator;
  const fs::path tool = CORVANE_TOOL_PATH, codex = FAKE_CODEX_PATH;

  // Pairing, as the user does it: the code typed into `pair`.
  {
    std::string code = coordinator.createPairingCode()["code"];
    SpawnPlan plan;
    plan.program = tool;
    plan.arguments = {tool.string(), "--url", coordinator.httpOrigin(), "--development-loopback", "--data-dir",
                      data.string(), "pair"};
    plan.descriptors = {ChildDescriptor::pipeToChild(), ChildDescriptor::nullDevice(), ChildDescriptor::inherited(),
                        ChildDescriptor::closed()};
    auto pair = ChildProcess::spawn(plan);
    if (!pair) throw std::runtime_error("cannot start " + tool.string());
    int input = pair->takePipe(0);
    std::string line = code + "\n";
    if (::write(input, line.data(), line.size()) < 0) throw std::runtime_error("cannot give pair its code");
    ::close(input);
    auto status = pair->wait(continuousSeconds() + 60);
    if (!status || *status != 0) throw std::runtime_error("pairing failed (is a keyring running?)");
  }

  int agentOut = ::open((scratch / "agent.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int agentErr = ::open((scratch / "agent.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  SpawnPlan plan;
  plan.program = tool;
  plan.arguments = {tool.string(), "--data-dir", data.string(), "--codex", codex.string(), "agent"};
  plan.descriptors = {ChildDescriptor::nullDevice(), ChildDescriptor::copyOf(agentOut),
                      ChildDescriptor::copyOf(agentErr), ChildDescriptor::closed()};
  plan.newProcessGroup = true;
  plan.diesWithParent = true;
  auto agent = ChildProcess::spawn(plan);
  ::close(agentOut);
  ::close(agentErr);
  if (!agent) throw std::runtime_error("cannot start the agent");
  auto fail = [&](const std::string& what) {
    std::string log = readText(scratch / "agent.err");
    if (log.size() > 4000) log = log.substr(log.size() - 4000);
    throw std::runtime_error(what + "\n--- the agent's log ends:\n" + log);
  };

  // The coordinator hands the offers still queued out with every quota
  // report's receipt, as it does with a synchronisation: an offer that came
  // while the sampler held the account is claimed as soon as the sample ends.
  coordinator.control("executor/quota-reports", {{"default", {{"offers", true}}}});
  // One sampling plan, as a phone watching one account gives it.
  coordinator.control("executor/sync", {{"samplingPlans",
                                         {{{"accountId", "account-reader"},
                                           {"credentialId", "reader"},
                                           {"bindingVersion", 1},
                                           {"intervalSeconds", 300},
                                           {"validUntil", "2099-01-01T00:00:00Z"},
                                           {"foregroundUntil", nullptr},
                                           {"nextResetAt", nullptr}}}}});
  if (!waitFor([&] { return coordinator.control("wake/status")["open"].get<int>() >= 1; }, 60))
    fail("the agent opened no wake channel");
  // The plan's first sample, then quiet: the next one is 300 s away.
  if (!waitFor([&] { return !coordinator.control("executor/quota-reports")["received"].empty(); }, 60))
    fail("the sampling plan brought no quota report");
  double firstReport = continuousSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(2));

  if (options.only.count("idle")) {
    fs::path calls = data / "codex" / "reader" / "fake-codex-calls.json";
    auto runtimeStarts = [&] {
      Json counts = Json::parse(readText(calls), nullptr, false);
      return counts.is_object() && counts.contains("initialize") ? counts["initialize"].get<int>() : 0;
    };
    auto measure = [&](const std::string& label) {
      int startsBefore = runtimeStarts();
      CpuSample before = sample(agent->pid());
      std::this_thread::sleep_for(std::chrono::duration<double>(options.idleSeconds));
      CpuSample after = sample(agent->pid());
      int starts = runtimeStarts() - startsBefore;
      double wall = after.wall - before.wall;
      double percent = (after.seconds - before.seconds) / wall * 100;
      // The stat fields count whole clock ticks (10 ms) and charge each to
      // whoever ran when it struck; schedstat is the threads' exact time on
      // a CPU, shown beside them (plus what reaped children used). Judged
      // by the higher of the two.
      double exact = (after.running - before.running + after.children - before.children) / wall * 100;
      double judged = std::max(percent, exact);
      std::printf(
          "idle agent, %s, over %.0f s: %.3f %% of a core (%.2f s of CPU in clock ticks; %.4f %% by schedstat), "
          "%d runtime start(s), resident %.1f MB, peak %.1f MB\n",
          label.c_str(), wall, percent, after.seconds - before.seconds, exact, starts, after.residentKiB / 1024.0,
          after.peakKiB / 1024.0);
      row(format("idle agent CPU, %s (%.0f s, %d sample(s))", label.c_str(), wall, starts),
          format("%.3f %% of a core (schedstat %.3f %%)", percent, exact), "0.1 % (goal)",
          format("%.2fx", judged / 0.1), "<= 0.1 %", judged <= 0.1 ? "pass" : "FAIL");
      return after;
    };
    // A new account's first reading opens a confirmation window: the
    // sampler reads it every 15 s for 120 s, then every intervalSeconds.
    CpuSample last = measure("confirming");
    if (options.steady) {
      double quiet = firstReport + corvane::QuotaSamplingCursor::confirmationSeconds + 5;
      double left = quiet - continuousSeconds();
      if (left > 0) std::this_thread::sleep_for(std::chrono::duration<double>(left));
      last = measure("steady");
    }
    row("idle agent memory", format("%.1f MB resident", last.residentKiB / 1024.0),
        format("peak %.1f MB", last.peakKiB / 1024.0), "-", "-", "-");
  }

  if (options.only.count("offer") || options.only.count("read")) {
    std::vector<double> toClaim, toResult, claimFloor, readFloor, runtime;
    std::vector<std::vector<corvane::test::HttpExchangeRequest>> claimRequests, taskRequests;
    for (int i = 0; i < options.tasks; ++i) {
      std::string id = "bench-read-" + std::to_string(i + 1);
      int64_t offered = nowMicros();
      coordinator.control("executor/offers", {{"offer",
                                               {{"id", id},
                                                {"accountId", "account-reader"},
                                                {"credentialId", "reader"},
                                                {"bindingVersion", 1},
                                                {"action", "read"},
                                                {"expiresAt", "2099-01-01T00:00:00Z"}}}});
      std::string base = "/v1/executor/tasks/" + id + "/";
      if (!waitFor([&] { return !coordinator.requests(base + "complete").empty(); }, 30, std::chrono::milliseconds(10)))
        fail("task " + id + " brought no result within 30 s");
      Json claim = coordinator.requests(base + "claim");
      Json complete = coordinator.requests(base + "complete");
      if (claim.empty() || complete.back()["status"] != 200) fail("task " + id + " was not claimed and completed");
      int64_t claimed = claim.front()["receivedMicros"], delivered = complete.back()["receivedMicros"];
      toClaim.push_back((claimed - offered) / 1000.0);
      toResult.push_back((delivered - offered) / 1000.0);
      // Every API request between the offer and the result: the
      // synchronisation that brought the offer and the task's own steps.
      Json window = Json::array(), upToClaim = Json::array();
      for (const Json& entry : coordinator.requests()) {
        int64_t at = entry["receivedMicros"];
        if (at < offered || at > delivered || entry["path"] == "/v1/executor/wake") continue;
        window.push_back(entry);
        if (at <= claimed) upToClaim.push_back(entry);
      }
      if (i + 1 == options.tasks) {
        // Where the time goes, for the last read: each request's arrival
        // after the offer.
        std::string timeline;
        for (const Json& entry : window) {
          std::string path = entry["path"];
          if (path.rfind(base, 0) == 0) path = path.substr(base.size());
          timeline +=
              format(" %s +%.1f ms;", path.c_str(), (entry["receivedMicros"].get<int64_t>() - offered) / 1000.0);
        }
        std::printf("the last read's requests after its offer:%s\n", timeline.c_str());
      }
      taskRequests.push_back(replayable(window));
      claimRequests.push_back(replayable(upToClaim));
      // Gaps spread over a second: the agent delivers results on a
      // one-second beat, and equal gaps would lock every offer to the same
      // point of it.
      std::this_thread::sleep_for(std::chrono::milliseconds(100 + (i * 379) % 1000));
    }

    // The floors, once the agent is done: the same requests again (now
    // refused, the tasks being finished, which costs the coordinator no more
    // than doing them) and the runtime's own part.
    auto replay = [&](const std::vector<corvane::test::HttpExchangeRequest>& requests) {
      auto start = std::chrono::steady_clock::now();
      corvane::test::httpExchanges("127.0.0.1", coordinator.httpPort(), requests);
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    size_t requestCount = 0;
    for (size_t i = 0; i < taskRequests.size(); ++i) {
      claimFloor.push_back(replay(claimRequests[i]));
      readFloor.push_back(replay(taskRequests[i]));
      requestCount += taskRequests[i].size();
    }
    RuntimeFloor floor(codex, scratch / "floor-home", scratch / "floor-work");
    for (int i = 0; i < options.tasks; ++i) runtime.push_back(floor.millisecondsOfOneRead());

    if (options.only.count("offer")) {
      double figure = median(toClaim), base = median(claimFloor);
      std::printf(
          "offer to claim over %d reads: median %.2f ms (fastest %.2f, slowest %.2f); sync + claim as bare HTTP: "
          "%.2f ms\n",
          options.tasks, figure, *std::min_element(toClaim.begin(), toClaim.end()),
          *std::max_element(toClaim.begin(), toClaim.end()), base);
      row("offer -> claim (median)", format("%.2f ms", figure), format("%.2f ms sync + claim, bare HTTP", base),
          format("%.1fx", figure / base), "-", "-");
    }
    if (options.only.count("read")) {
      double figure = median(toResult), http = median(readFloor), own = median(runtime);
      std::printf(
          "read end to end over %d reads: median %.2f ms (fastest %.2f, slowest %.2f); floor %.2f ms = runtime %.2f "
          "ms + %.1f requests as bare HTTP %.2f ms\n",
          options.tasks, figure, *std::min_element(toResult.begin(), toResult.end()),
          *std::max_element(toResult.begin(), toResult.end()), own + http, own,
          static_cast<double>(requestCount) / static_cast<double>(taskRequests.size()), http);
      row("read task, offer -> result (median)", format("%.2f ms", figure),
          format("%.2f ms", own + http) + format(" (runtime %.2f", own) + format(" + HTTP %.2f)", http),
          format("%.1fx", figure / (own + http)), "-", "-");
    }
  }

  agent->terminate(10);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parse(argc, argv));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "corvane-agent-bench: %s\n", error.what());
    return 1;
  }
}
