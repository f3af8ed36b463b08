#include "app/model/PlatformServices.h"

#include "app/model/WorkerThread.h"
#include "localization/L10n.h"

namespace corvane::app {

LoginItemStatus LoginItemService::status() { return item_.status(); }

void LoginItemService::registerService() {
  if (!item_.registerService()) throw ServiceError(L10n::text("The background service could not be registered."));
}

QCoro::Task<> LoginItemService::unregisterService() {
  platform::LoginItem item = item_;
  std::function<bool()> work = [item] { return item.unregisterService(); };
  bool done = co_await WorkerThread<bool>(work);
  if (!done) throw ServiceError(L10n::text("The background service could not be unregistered."));
}

}  // namespace corvane::app
