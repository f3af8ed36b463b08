#include "Log.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <mutex>
#include <string>

namespace corvane::devcoordinator {

void logLine(std::string_view text) {
  static std::mutex mutex;
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  gmtime_r(&now, &parts);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &parts);
  std::string line = std::string("corvane-dev-coordinator ") + stamp + " " + std::string(text) + "\n";
  std::lock_guard lock(mutex);
  // One write per line so lines from several processes sharing stderr stay whole.
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace corvane::devcoordinator
