#pragma once

#include <exception>
#include <string>

namespace corvane::app {

// Why a run of the bundled tool gave the caller nothing it can use. Its
// description is the text the user sees.
class HelperError : public std::exception {
 public:
  enum class Kind {
    authentication,   // the tool answered with {"authErrorStatus": status}
    unavailable,      // the tool is missing, not executable, or could not start
    timedOut,         // the tool did not finish in time
    failed,           // input too large, or the tool exited with a non-zero status
    invalidResponse,  // the output could not be decoded
  };

  explicit HelperError(Kind kind, int status = 0);

  static HelperError authentication(int status) { return HelperError(Kind::authentication, status); }

  Kind kind() const { return kind_; }
  int status() const { return status_; }  // for authentication
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const HelperError& other) const { return kind_ == other.kind_ && status_ == other.status_; }

 private:
  Kind kind_;
  int status_;
  std::string description_;
};

// The user-facing text of any failure an operation ends with.
std::string describe(const std::exception& error);

}  // namespace corvane::app
