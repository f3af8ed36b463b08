#pragma once

#include "FakeHome.h"
#include "LineWriter.h"

namespace corvane::fakecodex {

// Scripted output beyond the normal answers, run in order. One action is one object:
//   {"notification": "method", "params": {...}}       a notification with "emittedAtMs"
//   {"serverRequest": "method", "params": {...}, "id": 7}  a server-to-client request (id optional)
//   {"line": <any JSON>}                              that JSON as one line
//   {"raw": "text", "newline": true}                  text as is, in one write
//   {"oversized": 1048577, "newline": true}           a JSON line of exactly that many bytes
//   {"chunks": ["{\"a\"", ":1}\n"], "pauseMs": 50}    pieces written one by one with pauses
//   {"sleepMs": 200}                                  a pause (nothing else is answered meanwhile)
//   {"closeStdout": true}                             end of file for the reader, runtime keeps running
//   {"exit": 3}                                       the runtime exits at once with that status
//   {"freeze": true}                                  the runtime stops doing anything until killed
// Inside the answer to a request, the string "$requestId" (a whole JSON string in "line", a piece of
// text in "raw" and "chunks") stands for that request's id.
class Actions {
 public:
  explicit Actions(LineWriter& out) : out_(out) {}
  void perform(const Json& actions, const Json& requestId = Json());

 private:
  void performOne(const Json& action, const Json& requestId);
  LineWriter& out_;
  long long nextServerRequestId_ = 0;
};

}  // namespace corvane::fakecodex
