#pragma once

#include <sys/types.h>

// Shared by the Linux process files; not part of the platform interface.
namespace corvane::platform::detail {

// Whether the child pid has ended, without reaping it. True too when there
// is no such child left to wait for.
bool childHasExited(pid_t pid);

// Sleeps for seconds on the monotonic clock, resuming after interruptions.
void pauseFor(double seconds);

}  // namespace corvane::platform::detail
