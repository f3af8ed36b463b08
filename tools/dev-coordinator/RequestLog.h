#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Reply.h"

namespace corvane::devcoordinator {

// One request as it arrived, kept so tests can check what a client really sent.
struct LoggedRequest {
  uint64_t sequence = 0;
  std::string scheme;       // "http" or "https"
  uint64_t connection = 0;  // shared by the requests of one keep-alive connection
  std::string method;
  std::string target;                                        // as sent, query included
  std::vector<std::pair<std::string, std::string>> headers;  // in the order sent, names as sent
  std::string body;
  std::optional<unsigned> status;  // the status answered; absent while held or when dropped
  // When it arrived, in microseconds of the monotonic clock (CLOCK_MONOTONIC),
  // which every process on the machine shares: a benchmark compares it with
  // its own readings to time what the client did in answer to something.
  int64_t receivedMicros = 0;
};

// Every request the API ports received, oldest first, bounded so a long manual
// session cannot grow without limit. Thread-safe.
class RequestLog {
 public:
  static constexpr size_t capacity = 10000;

  uint64_t record(LoggedRequest request);
  void setStatus(uint64_t sequence, unsigned status);
  // The entries whose path (target without query) is path, or all for "".
  Json toJson(const std::string& path) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::deque<LoggedRequest> entries_;
  uint64_t next_ = 1;
};

}  // namespace corvane::devcoordinator
