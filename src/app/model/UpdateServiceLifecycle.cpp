#include "app/model/UpdateServiceLifecycle.h"

#include <qcoro/qcorotimer.h>

#include <chrono>

#include "app/model/HelperError.h"

namespace corvane::app {

namespace {

QCoro::Task<> oneSecond() { co_await QCoro::sleepFor(std::chrono::seconds(1)); }

QCoro::Task<std::string> prepareUpdate(HelperClient helper) {
  std::vector<std::string> arguments{"prepare-update"};
  std::string bytes = co_await helper.run(arguments, std::nullopt);
  auto values = decoding::stringObject(bytes);
  auto id = values.find("id");
  if (id == values.end()) throw HelperError(HelperError::Kind::invalidResponse);
  co_return id->second;
}

QCoro::Task<bool> drainedFor(HelperClient helper, std::string id) {
  HelperSnapshot snapshot = co_await helper.snapshot();
  co_return snapshot.health&& snapshot.health->updatePreparationID == id&& snapshot.health->updateReady.value_or(false);
}

QCoro::Task<> cancelUpdate(HelperClient helper) {
  std::vector<std::string> arguments{"cancel-update"};
  co_await helper.run(arguments, std::nullopt);
}

QCoro::Task<> stopService(std::shared_ptr<BackgroundService> service) { co_await service->unregisterService(); }

}  // namespace

UpdateServiceLifecycle::UpdateServiceLifecycle(QSettings& defaults, Operations operations)
    : defaults_(defaults), operations_(std::move(operations)) {
  if (!operations_.wait) operations_.wait = oneSecond;
}

std::unique_ptr<UpdateServiceLifecycle> UpdateServiceLifecycle::live(QSettings& defaults, HelperClient helper,
                                                                     std::shared_ptr<BackgroundService> service) {
  Operations operations;
  operations.enabled = [service] { return service->status() == LoginItemStatus::enabled; };
  operations.pause = [helper] { return prepareUpdate(helper); };
  operations.ready = [helper](std::string id) { return drainedFor(helper, std::move(id)); };
  operations.cancel = [helper] { return cancelUpdate(helper); };
  operations.stop = [service] { return stopService(service); };
  operations.start = [service] {
    if (service->status() != LoginItemStatus::enabled) service->registerService();
  };
  return std::make_unique<UpdateServiceLifecycle>(defaults, std::move(operations));
}

QCoro::Task<> UpdateServiceLifecycle::restore() {
  co_await operations_.cancel();
  if (defaults_.value(resumeKey, false).toBool()) {
    operations_.start();
    defaults_.remove(resumeKey);
    defaults_.sync();
  }
}

QCoro::Task<> UpdateServiceLifecycle::drain(std::function<bool()> pending) {
  if (!operations_.enabled()) co_return;
  std::string id = co_await operations_.pause();
  if (!pending()) throw UpdateCancelled();
  bool ready = co_await operations_.ready(id);
  for (int attempt = 0; !ready;) {
    co_await operations_.wait();
    if (attempt == readinessChecks - 1) throw HelperError(HelperError::Kind::timedOut);
    ++attempt;
    if (!pending()) throw UpdateCancelled();
    ready = co_await operations_.ready(id);
  }
  if (!pending()) throw UpdateCancelled();
  // Written before the stop: a crash in between still resumes the service.
  defaults_.setValue(resumeKey, true);
  defaults_.sync();
  co_await operations_.stop();
}

}  // namespace corvane::app
