#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace corvane {

// The executor's one error type. Thrown wherever a step cannot do its work and
// caught once at the top of main or of a thread. what() is the localized text
// the user sees.
class CVError : public std::exception {
 public:
  enum class Kind { invalid, network, runtime, storage, timeout };

  // A validation or usage failure; message is already localized and final.
  static CVError invalid(std::string message) { return CVError(Kind::invalid, std::move(message), std::nullopt); }
  // The coordinator could not be reached, or answered with a non-2xx status.
  static CVError network(std::optional<int> status = std::nullopt) { return CVError(Kind::network, {}, status); }
  // The Codex runtime failed; message is a snake_case code or a text.
  static CVError runtime(std::string message) { return CVError(Kind::runtime, std::move(message), std::nullopt); }
  // Local secure storage or the file system failed or refused.
  static CVError storage() { return CVError(Kind::storage, {}, std::nullopt); }
  // A coordinator request did not finish in time.
  static CVError timeout() { return CVError(Kind::timeout, {}, std::nullopt); }

  Kind kind() const { return kind_; }
  // The message of invalid and runtime; empty for the others.
  const std::string& message() const { return message_; }
  // The HTTP status of a network error, when the coordinator answered.
  std::optional<int> status() const { return status_; }

  // The localized, printable description.
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const CVError& other) const {
    return kind_ == other.kind_ && message_ == other.message_ && status_ == other.status_;
  }

 private:
  CVError(Kind kind, std::string message, std::optional<int> status);

  Kind kind_;
  std::string message_;
  std::optional<int> status_;
  std::string description_;
};

}  // namespace corvane
