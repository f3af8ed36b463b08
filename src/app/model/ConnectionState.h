#pragma once

#include <optional>
#include <string>

#include "app/model/HelperSnapshot.h"
#include "platform/LoginItem.h"

namespace corvane::app {

using platform::LoginItemStatus;

// The one status the tray icon, the menu and the connection window show.
enum class ConnectionState {
  installation,
  checking,
  unavailable,
  signingOut,
  revoked,
  incomplete,
  signIn,
  approval,
  stopped,
  online,
  storageError,
  offline,
  connecting,
};

// First matching rule wins: a sign-out or a revocation shows even while the
// status cannot be read, because it tells the user to keep the Mac online.
ConnectionState connectionState(const std::optional<HelperSnapshot>& snapshot, LoginItemStatus service, bool installed,
                                bool readFailed, WallTime now);

// The localized title of a state.
std::string title(ConnectionState state);

}  // namespace corvane::app
