#include "app/model/ConnectionDates.h"

#include <cstdio>

namespace corvane::app {

std::string ConnectionDates::remaining(std::optional<WallTime> until, WallTime now) {
  WallTime target = until.value_or(distantPast);
  auto left = (target - now).count();  // microseconds
  long long seconds = left <= 0 ? 0 : (left + 999999) / 1000000;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  return text;
}

}  // namespace corvane::app
