#include "dev-coordinator/testing/DevCoordinator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "dev-coordinator/testing/HttpExchange.h"

namespace corvane::test {

namespace {

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

DevCoordinator::DevCoordinator(DevCoordinatorOptions options) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argvStrings = {options.program.string(), "--exit-on-stdin-eof"};
  argvStrings.insert(argvStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (auto& argument : argvStrings) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t parent = getpid();

  pid_ = fork();
  if (pid_ < 0) {
    int error = errno;
    for (int descriptor : {in[0], in[1], out[0], out[1]}) close(descriptor);
    throw std::runtime_error(std::string("fork: ") + std::strerror(error));
  }
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];

  // The first line on its standard output says where it listens.
  std::string line;
  double deadline = now() + options.startTimeoutSeconds;
  while (line.find('\n') == std::string::npos) {
    double left = deadline - now();
    pollfd descriptor{out[0], POLLIN, 0};
    int ready = left > 0 ? poll(&descriptor, 1, static_cast<int>(left * 1000) + 1) : 0;
    if (ready < 0 && errno == EINTR) continue;
    char buffer[4096];
    ssize_t n = ready > 0 ? read(out[0], buffer, sizeof buffer) : -1;
    if (n <= 0) {
      close(out[0]);
      stop();
      throw std::runtime_error(ready == 0 ? "the development coordinator did not get ready in time"
                                          : "the development coordinator exited before it was ready (status " +
                                                std::to_string(exitStatus_) + ")");
    }
    line.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);

  auto ready = nlohmann::json::parse(line.substr(0, line.find('\n')), nullptr, false);
  if (!ready.is_object() || !ready.value("ready", false)) {
    stop();
    throw std::runtime_error("unexpected first line from the development coordinator: " + line);
  }
  httpPort_ = ready["httpPort"];
  httpsPort_ = ready["httpsPort"];
  controlPort_ = ready["controlPort"];
  caFile_ = ready["caFile"].get<std::string>();
}

DevCoordinator::~DevCoordinator() { stop(); }

std::string DevCoordinator::httpOrigin() const { return "http://127.0.0.1:" + std::to_string(httpPort_); }

std::string DevCoordinator::httpsOrigin() const { return "https://127.0.0.1:" + std::to_string(httpsPort_); }

nlohmann::json DevCoordinator::control(std::string_view path, const nlohmann::json& body) const {
  auto response =
      httpExchange("127.0.0.1", controlPort_, HttpExchangeRequest::json("/_control/" + std::string(path), body));
  if (response.status < 200 || response.status > 299)
    throw std::runtime_error("control " + std::string(path) + " answered " + std::to_string(response.status) + ": " +
                             response.body);
  return response.json();
}

nlohmann::json DevCoordinator::createPairingCode(const nlohmann::json& overrides) const {
  return control("pairing-codes", overrides);
}

nlohmann::json DevCoordinator::approveMacPairing(const nlohmann::json& overrides) const {
  return control("mac-pairings/approve", overrides);
}

nlohmann::json DevCoordinator::macPairings() const { return control("mac-pairings")["pairings"]; }

std::string DevCoordinator::emailCode(std::string_view email) const {
  auto codes = control("email-codes", {{"email", email}})["codes"];
  if (codes.empty()) throw std::runtime_error("no e-mail code was sent to " + std::string(email));
  return codes.back()["code"];
}

std::string DevCoordinator::createSession(std::string_view email) const {
  return control("sessions", {{"email", email}})["token"];
}

nlohmann::json DevCoordinator::requests(std::string_view path) const {
  nlohmann::json body = nlohmann::json::object();
  if (!path.empty()) body["path"] = path;
  return control("requests", body)["requests"];
}

void DevCoordinator::addFault(const nlohmann::json& fault) const { control("faults", fault); }

void DevCoordinator::expire(std::string_view what) const { control("expire", {{"what", what}}); }

nlohmann::json DevCoordinator::settings(const nlohmann::json& changes) const { return control("settings", changes); }

void DevCoordinator::reset() const { control("reset"); }

int DevCoordinator::stop() {
  if (pid_ <= 0) return exitStatus_;
  if (input_ >= 0) {
    close(input_);
    input_ = -1;
  }
  // The end of its input stops it; SIGTERM only if that did not, SIGKILL last.
  double start = now();
  bool terminated = false;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) {
      status = -1;
      break;
    }
    if (!terminated && now() > start + 5) {
      kill(pid_, SIGTERM);
      terminated = true;
    }
    if (now() > start + 15) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    timespec pause{0, 5'000'000};
    nanosleep(&pause, nullptr);
  }
  exitStatus_ = status == -1 ? -1 : decodeStatus(status);
  pid_ = -1;
  return exitStatus_;
}

}  // namespace corvane::test
