#include "app/model/ConnectionState.h"

#include "localization/L10n.h"

namespace corvane::app {

ConnectionState connectionState(const std::optional<HelperSnapshot>& snapshot, LoginItemStatus service, bool installed,
                                bool readFailed, WallTime now) {
  if (!installed) return ConnectionState::installation;
  if (snapshot) {
    if (snapshot->signOutPending.value_or(false)) return ConnectionState::signingOut;
    if (snapshot->health && snapshot->health->deviceRevoked.value_or(false)) return ConnectionState::revoked;
    if (snapshot->health && snapshot->health->state == "revoked") return ConnectionState::revoked;
  }
  if (readFailed) return ConnectionState::unavailable;
  if (!snapshot) return ConnectionState::checking;
  if (!snapshot->codexAvailable) return ConnectionState::incomplete;
  if (!snapshot->paired) return ConnectionState::signIn;
  if (service == LoginItemStatus::requiresApproval) return ConnectionState::approval;
  if (service != LoginItemStatus::enabled) return ConnectionState::stopped;
  if (!snapshot->health) return ConnectionState::connecting;
  const Health& health = *snapshot->health;
  if (health.isOnline(now)) return ConnectionState::online;
  if (health.state == "storage_error") return ConnectionState::storageError;
  if (health.lastErrorCode) return ConnectionState::offline;
  return ConnectionState::connecting;
}

std::string title(ConnectionState state) {
  switch (state) {
    case ConnectionState::installation:
      return L10n::text("Installation Required");
    case ConnectionState::checking:
      return L10n::text("Checking…");
    case ConnectionState::unavailable:
      return L10n::text("Status Unavailable");
    case ConnectionState::signingOut:
      return L10n::text("Signing Out");
    case ConnectionState::revoked:
      return L10n::text("Device Disabled");
    case ConnectionState::incomplete:
      return L10n::text("App Components Missing");
    case ConnectionState::signIn:
      return L10n::text("Link This Mac");
    case ConnectionState::approval:
      return L10n::text("Background Permission Required");
    case ConnectionState::stopped:
      return L10n::text("Background Service Stopped");
    case ConnectionState::online:
      return L10n::text("Mac Background Service Online");
    case ConnectionState::storageError:
      return L10n::text("Local Storage Error");
    case ConnectionState::offline:
      return L10n::text("Connection Interrupted");
    case ConnectionState::connecting:
      return L10n::text("Enabled, Awaiting Connection");
  }
  return {};
}

}  // namespace corvane::app
