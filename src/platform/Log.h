#pragma once

#include <string>
#include <string_view>

namespace corvane::platform {

// Writes to the system log under the identity "com.corvane.macos"; every line
// starts with its category ("executor", "codex", "updates") in brackets so the
// journal can be filtered by it. Safe from any thread; never fails its caller.
class Logger {
 public:
  explicit Logger(std::string category) : category_(std::move(category)) {}

  void debug(std::string_view message) const;
  void info(std::string_view message) const;
  void notice(std::string_view message) const;
  void error(std::string_view message) const;
  void fault(std::string_view message) const;

  const std::string& category() const { return category_; }

 private:
  void write(int priority, std::string_view message) const;

  std::string category_;
};

}  // namespace corvane::platform
