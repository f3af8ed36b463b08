#pragma once

#include <qcoro/qcorotask.h>

#include <QSettings>

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "app/model/HelperClient.h"
#include "app/model/PlatformServices.h"

namespace corvane::app {

// The update went away while the executor was being drained.
class UpdateCancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the update is no longer pending"; }
};

// The app's side of pausing the executor before an update replaces the
// bundle and resuming it afterwards. Each step is a replaceable function,
// so the sequence runs without a real service in tests.
class UpdateServiceLifecycle {
 public:
  // The user default that says the service ran before the update stopped it.
  static constexpr const char* resumeKey = "ResumeExecutorAfterUpdate";
  static constexpr int readinessChecks = 120;

  struct Operations {
    std::function<bool()> enabled;                        // the service is running
    std::function<QCoro::Task<std::string>()> pause;      // asks for a drain; the preparation id
    std::function<QCoro::Task<bool>(std::string)> ready;  // drained for that id
    std::function<QCoro::Task<>()> cancel;                // withdraws any drain request
    std::function<QCoro::Task<>()> stop;                  // stops the service
    std::function<void()> start;                          // starts it unless it runs
    std::function<QCoro::Task<>()> wait;                  // between readiness checks; one second if empty
  };

  UpdateServiceLifecycle(QSettings& defaults, Operations operations);

  // The production steps: their own tool client and service handle.
  static std::unique_ptr<UpdateServiceLifecycle> live(QSettings& defaults, HelperClient helper,
                                                      std::shared_ptr<BackgroundService> service);

  // Withdraws any drain and starts the service again when an update stopped
  // it; the flag stays set when that fails, for the next launch to retry.
  QCoro::Task<> restore();

  // Drains and stops a running service while pending() holds. Throws the
  // failing step's error, HelperError(timedOut) after the last readiness
  // check, or UpdateCancelled.
  QCoro::Task<> drain(std::function<bool()> pending);

 private:
  QSettings& defaults_;
  Operations operations_;
};

}  // namespace corvane::app
