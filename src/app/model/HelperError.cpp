#include "app/model/HelperError.h"

#include "localization/L10n.h"

namespace corvane::app {
namespace {

std::string message(HelperError::Kind kind, int status) {
  switch (kind) {
    case HelperError::Kind::unavailable:
      return L10n::text("The bundled executor is unavailable. Reinstall Corvane.");
    case HelperError::Kind::timedOut:
      return L10n::text("The executor timed out. Try again later.");
    case HelperError::Kind::failed:
      return L10n::text(
          "The operation did not finish. Check your network and unlock the login keyring. For pairing, generate a new "
          "code and try again.");
    case HelperError::Kind::invalidResponse:
      return L10n::text("Cannot read executor status. Reopen the app.");
    case HelperError::Kind::authentication:
      break;
  }
  switch (status) {
    case 400:
      return L10n::text("Check your email or verification code. The code may have expired.");
    case 401:
    case 409:
      return L10n::text("Sign-in confirmation expired or this Mac was linked elsewhere. Start again.");
    case 429:
      return L10n::text("Too many requests. Wait a moment before requesting another code.");
    default:
      return L10n::text("Cannot reach the sign-in service. Check your connection and try again.");
  }
}

}  // namespace

HelperError::HelperError(Kind kind, int status) : kind_(kind), status_(status), description_(message(kind, status)) {}

std::string describe(const std::exception& error) {
  if (auto* helper = dynamic_cast<const HelperError*>(&error)) return helper->description();
  return error.what();
}

}  // namespace corvane::app
