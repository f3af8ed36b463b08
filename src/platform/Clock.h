#pragma once

namespace corvane::platform {

// Seconds on a monotonic clock that keeps counting while the machine sleeps.
// Every deadline, back-off and retry time of the executor is an absolute
// reading of this clock; it is never compared with wall-clock time.
double continuousSeconds();

}  // namespace corvane::platform
