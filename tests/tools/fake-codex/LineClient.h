#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvane::test {

// A child process spoken to line by line over pipes, as a client of a line protocol. The child runs in
// a process group of its own with exactly the given environment and standard error discarded; the
// group is killed when the client goes away.
class LineClient {
 public:
  LineClient(const std::filesystem::path& program, const std::vector<std::string>& arguments,
             const std::map<std::string, std::string>& environment);
  ~LineClient();
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  void send(const std::string& line);  // the newline is added
  void closeInput();
  // The next line (without its newline), or nothing at end of output or after timeoutSeconds.
  std::optional<std::string> receive(double timeoutSeconds = 10);
  // Whether the output ended (end of file) within timeoutSeconds, skipping nothing: false if a line came.
  bool endsWithin(double timeoutSeconds);
  // Waits for the child to exit and returns its status (128 + signal when killed).
  int wait();
  // The child's process identifier, which is also its process group's.
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  bool ended_ = false;
};

}  // namespace corvane::test
