// The tray app's decoders of the tool's output: the app-status snapshot, the
// support diagnostics answer and the string objects of other commands.
#include "FuzzSupport.h"
#include "app/model/HelperError.h"
#include "app/model/HelperSnapshot.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes = fuzz::text(data, size);
  const app::WallTime now = app::WallTime(std::chrono::seconds(1798761600));
  try {
    app::HelperSnapshot snapshot = app::HelperSnapshot::decode(bytes);
    if (snapshot.logins)
      for (const auto& login : *snapshot.logins) {
        auto address = login.safeURL(now);
        if (address) fuzz::require(address->starts_with("https://"), "a sign-in page not over https");
      }
    if (snapshot.health) snapshot.health->isOnline(now);
  } catch (const app::HelperError&) {
  }
  try {
    app::SupportDiagnostics::decode(bytes);
  } catch (const app::HelperError&) {
  }
  try {
    app::decoding::stringObject(bytes);
  } catch (const app::HelperError&) {
  }
  app::parseTimestamp(bytes);
  return 0;
}
