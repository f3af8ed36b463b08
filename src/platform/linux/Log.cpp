#include "platform/Log.h"

#include <syslog.h>

#include <mutex>

namespace corvane::platform {

namespace {
void openOnce() {
  static std::once_flag once;
  std::call_once(once, [] { openlog("com.corvane.macos", LOG_PID | LOG_NDELAY, LOG_USER); });
}
}  // namespace

void Logger::write(int priority, std::string_view message) const {
  openOnce();
  syslog(priority, "[%s] %.*s", category_.c_str(), static_cast<int>(message.size()), message.data());
}

void Logger::debug(std::string_view message) const { write(LOG_DEBUG, message); }
void Logger::info(std::string_view message) const { write(LOG_INFO, message); }
void Logger::notice(std::string_view message) const { write(LOG_NOTICE, message); }
void Logger::error(std::string_view message) const { write(LOG_ERR, message); }
void Logger::fault(std::string_view message) const { write(LOG_CRIT, message); }

}  // namespace corvane::platform
