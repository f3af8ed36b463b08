#pragma once

#include <cstdint>
#include <optional>

namespace corvane::platform {

// Takes the signals that would end this process and turns them into events
// it waits for, so that it can end on its own terms (for a supervisor: with
// its whole group) instead. Watched are SIGCHLD and every signal whose
// default action ends the process, except SIGKILL, which nothing can catch,
// and the faults (SIGSEGV, SIGABRT, ...), which the kernel delivers even when
// they are blocked.
//
// The signals are blocked in the calling thread only: a process with other
// threads must start the watch before them (threads inherit the mask).
// Children started by ChildProcess begin with nothing blocked. Move-only.
class SignalWatch {
 public:
  enum class Event {
    none,          // nothing arrived in time
    childChanged,  // only SIGCHLD: a child ended or stopped
    termination,   // a signal that would have ended the process
  };

  // Nothing when the system refuses (the mask is then as before).
  static std::optional<SignalWatch> start();

  SignalWatch(SignalWatch&& other) noexcept;
  SignalWatch& operator=(SignalWatch&& other) = delete;
  // Restores the signal mask of before; a signal still pending then takes
  // its usual effect.
  ~SignalWatch();

  // Waits at most seconds for a watched signal and takes every one that has
  // arrived: termination when any of them would have ended the process.
  Event wait(double seconds);

 private:
  SignalWatch(int descriptor, uint64_t previousMask);

  int descriptor_;
  uint64_t previousMask_;
};

}  // namespace corvane::platform
