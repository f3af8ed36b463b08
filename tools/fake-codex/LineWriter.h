#pragma once

#include <string>

#include "FakeHome.h"

namespace corvane::fakecodex {

// Standard output of the runtime: protocol lines only, each written with as few write calls as possible
// so that a client sees whole lines unless a scenario asks for pieces. A reader that went away ends the
// runtime quietly, as a broken pipe ends the real one.
class LineWriter {
 public:
  // One JSON value as one line, "/" unescaped, non-ASCII as UTF-8.
  void line(const Json& value);
  // A notification with the real runtime's envelope (method, params, emittedAtMs).
  void notification(const std::string& method, const Json& params);
  // Bytes exactly as given, in one write.
  void raw(const std::string& bytes);
  // Closes standard output; later lines are dropped.
  void close();

 private:
  bool closed_ = false;
};

// Milliseconds since the epoch, as in "emittedAtMs".
long long wallMilliseconds();
// A lower-case random UUID, as the runtime's login and thread identifiers.
std::string randomUuid();
void sleepMilliseconds(long long milliseconds);
// Sleeps until killed.
[[noreturn]] void freeze();

}  // namespace corvane::fakecodex
