#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Reply.h"

namespace corvane::devcoordinator {

// A scripted misbehaviour for requests to one path. Written by tests through
// the control port as a JSON object (see README.md for the members).
struct Fault {
  std::string path;                      // exact path, or a prefix ending in "*"
  std::optional<int> times = 1;          // requests it applies to; absent = always
  std::optional<unsigned> status;        // forced status
  std::optional<Json> body;              // forced JSON body (any JSON value)
  std::optional<std::string> rawBody;    // forced body sent as it is (not JSON)
  std::string contentType;               // for rawBody; default "text/html"
  std::optional<size_t> oversizedBytes;  // a valid JSON object of exactly this many bytes
  std::optional<std::string> redirect;   // Location of a redirect (status 302 unless given)
  std::chrono::milliseconds delay{0};    // wait before answering (the real answer unless another is forced)
  bool hold = false;                     // never answer; the connection stays open until the client leaves
  bool close = false;                    // drop the connection without an answer

  // Reads the control form; std::invalid_argument with a message when it is wrong.
  static Fault fromJson(const Json& value);
  Json toJson() const;
  bool matches(const std::string& path) const;
  // The reply this fault gives; answer() is the endpoint's own answer, called
  // only when the fault does not replace it.
  Reply apply(const std::function<Reply()>& answer) const;
};

// The faults in force, first match wins; a fault is dropped when its count is
// used up. Thread-safe.
class FaultPlan {
 public:
  void add(Fault fault);
  std::optional<Fault> take(const std::string& path);
  Json toJson() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
};

}  // namespace corvane::devcoordinator
