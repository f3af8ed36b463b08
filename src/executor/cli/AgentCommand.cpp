#include "executor/cli/AgentCommand.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "executor/agent/Agent.h"
#include "executor/agent/QuotaReport.h"
#include "executor/agent/QuotaSampler.h"
#include "executor/agent/TaskExecution.h"
#include "executor/cli/Executables.h"
#include "executor/cli/Output.h"
#include "executor/codex/CodexAdapter.h"
#include "executor/codex/CodexSupervisor.h"
#include "executor/coordinator/CoordinatorClient.h"
#include "executor/diagnostics/SupportDiagnostics.h"
#include "executor/state/AgentHealthFile.h"
#include "executor/state/DirectoryLock.h"
#include "executor/state/Journal.h"
#include "executor/state/UpdatePreparation.h"
#include "executor/support/CVError.h"
#include "executor/support/DataDirectory.h"
#include "executor/support/PrivateFiles.h"
#include "localization/L10n.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

constexpr const char* pingModel = "gpt-5.6-luna";

// SIGINT and SIGTERM as events instead of signals. Both are blocked in the
// calling thread, and so in every thread started after it, and a thread of
// its own reads them from a signalfd; a signal that arrives before there is
// anything to stop is kept and acted on once there is. Children of the
// process start with nothing blocked (ChildProcess resets the mask).
class StopSignals {
 public:
  StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) throw CVError::storage();
    signals_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    ending_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signals_ < 0 || ending_ < 0) {
      closeDescriptors();
      throw CVError::storage();
    }
    thread_ = std::thread([this] { watch(); });
  }

  // The signals stay blocked: one that arrives while the process winds down
  // must not end it with a signal status instead of 0.
  ~StopSignals() {
    uint64_t one = 1;
    if (write(ending_, &one, sizeof one) < 0) {
      // The thread then ends with the process.
    }
    if (thread_.joinable()) thread_.join();
    closeDescriptors();
  }

  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // From now on a signal calls stop; one that came before calls it at once.
  void onStop(std::function<void()> stop) {
    bool already;
    {
      std::lock_guard guard(mutex_);
      stop_ = std::move(stop);
      already = received_;
    }
    if (already) stop_();
  }

  // Forgets the stop action before what it stops goes away.
  void clear() {
    std::lock_guard guard(mutex_);
    stop_ = nullptr;
  }

 private:
  void watch() {
    for (;;) {
      pollfd entries[2] = {{signals_, POLLIN, 0}, {ending_, POLLIN, 0}};
      if (poll(entries, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (entries[1].revents) return;
      if (!entries[0].revents) continue;
      signalfd_siginfo info;
      bool any = false;
      while (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
      if (!any) continue;
      std::lock_guard guard(mutex_);
      received_ = true;
      // Agent::stop takes only the agent's short locks.
      if (stop_) stop_();
    }
  }

  void closeDescriptors() {
    if (signals_ >= 0) close(signals_);
    if (ending_ >= 0) close(ending_);
    signals_ = ending_ = -1;
  }

  int signals_ = -1;
  int ending_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::function<void()> stop_;
  bool received_ = false;
};

// The sign-ins waiting for the user belong to the executor that started
// them; one that ended left them behind.
void clearPendingLogins(const fs::path& folder) {
  privateDirectory(folder);
  std::error_code error;
  fs::directory_iterator entries(folder, error);
  if (error) return;
  for (const auto& entry : entries) {
    if (entry.path().extension() != ".json") continue;
    std::error_code ignored;
    fs::remove(entry.path(), ignored);
  }
}

void writePendingLogin(const fs::path& directory, const std::string& id, const std::optional<Json>& payload) {
  std::optional<fs::path> file = DataDirectory::pendingLogin(directory, id);
  if (!file) return;
  try {
    if (payload) {
      atomicPrivateJSON(*payload, *file);
    } else {
      std::error_code ignored;
      fs::remove(*file, ignored);
    }
  } catch (const std::exception&) {
    // A status file that cannot be written never stops the executor.
  }
}

void recordSupportEvent(const SupportDiagnostics& diagnostics, const CodexAdapter::SupportEvent& event) {
  std::optional<DiagnosticTask> task;
  if (event.task) task = DiagnosticTask{event.task->taskId, event.task->accountId, event.task->action};
  std::optional<CodexFailure> failure;
  if (auto code = CodexFailureCode::parse(event.code))
    failure = CodexFailure{*code, event.rpcCode, event.httpStatus, event.durationMs};
  std::optional<int64_t> duration;
  if (event.durationMs) duration = *event.durationMs;
  diagnostics.record(event.code, task, duration, failure, currentWallTime());
}

// Everything between the first health record and the loop, and the loop.
void runExecutor(const Options& options, DirectoryLock& lock, AgentHealthFile& health, StopSignals& signals) {
  const fs::path& directory = options.dataDirectory;
  CoordinatorClient client = coordinator(directory);
  Journal journal(directory / DataDirectory::journal);
  fs::path codex = resolveExecutable(options.codex);

  SupportDiagnostics diagnostics(directory, DiagnosticMetadata::current());
  CodexAdapter adapter(
      CodexAdapter::Configuration{.directory = directory,
                                  .executable = codex,
                                  .model = pingModel,
                                  .guardFD = lock.descriptor(),
                                  .supervisor = runningExecutableURL(),
                                  .supportEvents = [&diagnostics](const CodexAdapter::SupportEvent& event) {
                                    recordSupportEvent(diagnostics, event);
                                  }});

  fs::path pendingLogins = directory / DataDirectory::pendingLogins;
  clearPendingLogins(pendingLogins);

  TaskExecution execution(adapter, &diagnostics,
                          [&journal](const std::string& accountID, const std::string& reason,
                                     const std::optional<Json>& report, std::optional<int> httpStatus) {
                            diagnoseQuota(journal, currentWallTime(), accountID, reason, report, httpStatus);
                          });
  QuotaSampler sampler(adapter);
  AgentHooks hooks;
  hooks.signingOut = [directory] {
    std::error_code error;
    return fs::exists(fs::symlink_status(directory / DataDirectory::signOutMarker, error));
  };
  hooks.updatePreparation = [directory] { return UpdatePreparation(directory).activeID(currentWallTime()); };
  hooks.onLogin = [directory](const std::string& id, const std::optional<Json>& payload) {
    writePendingLogin(directory, id, payload);
  };
  hooks.onHealth = [&health](const AgentHealth& record) { health.write(record); };
  hooks.execute = execution.hook();
  hooks.sampleQuota = [&sampler](Agent& agent) { sampler.sample(agent); };
  hooks.uploadDiagnostics = [&diagnostics, &client](Agent&) {
    diagnostics.flush(currentWallTime(),
                      [&client](const std::string& path, const Json& body) { return client.post(path, body); });
  };

  // The service manager's socket when systemd started the executor.
  platform::ServiceNotifier notifier;
  Agent agent(client, journal, std::move(hooks), systemAgentTimer(), {.wakeTiming = {}, .notifier = &notifier});
  signals.onStop([&agent] { agent.stop(); });
  try {
    writeOutput(L10n::text("Corvane Swift local executor started.") + "\n");
  } catch (const std::exception&) {
    // Nobody reads the line of a background service; the executor runs on.
  }
  agent.run();
  signals.clear();
}

}  // namespace

CommandOutput agentCommand(const Options& options) {
  const fs::path& directory = options.dataDirectory;
  std::error_code error;
  if (fs::exists(fs::symlink_status(directory / DataDirectory::legacyState, error)))
    throw CVError::invalid(L10n::text("Cannot reuse the local development directory"));

  // Before any thread exists, so that every thread inherits the blocked
  // signals.
  StopSignals signals;

  std::optional<DirectoryLock> lock;
  try {
    lock.emplace(directory);
    if (!lock->tryLock()) lock.reset();
  } catch (const CVError&) {
    lock.reset();
  }
  if (!lock) throw CVError::invalid(L10n::text("An executor is already running in this directory"));

  AgentHealthFile health(directory / DataDirectory::agentHealth);
  health.write(AgentHealth{});
  try {
    runExecutor(options, *lock, health, signals);
  } catch (...) {
    AgentHealth failed;
    failed.lastErrorCode = AgentHealthError::startupFailed;
    health.write(failed);
    throw;
  }
  return std::monostate{};
}

}  // namespace corvane
