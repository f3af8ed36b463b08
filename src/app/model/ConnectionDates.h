#pragma once

#include <optional>
#include <string>

#include "app/model/HelperSnapshot.h"

namespace corvane::app {

struct ConnectionDates {
  // The countdown under a pairing or e-mail code: "m:ss", whole seconds
  // rounded up, 0:00 when expired or missing, minutes not capped.
  static std::string remaining(std::optional<WallTime> until, WallTime now);
};

}  // namespace corvane::app
