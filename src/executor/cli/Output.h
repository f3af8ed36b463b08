#pragma once

#include <string_view>

namespace corvane {

// Writes text to standard output, all of it. The app reads one JSON object
// and the exit status: output that did not arrive in full (a full disk, a
// closed pipe or descriptor) is the run's failure, CVError.invalid "The
// command's output could not be written", never a silent success.
void writeOutput(std::string_view text);

// Makes sure descriptors 0, 1 and 2 are open before the run opens anything,
// so that no file of the data directory becomes standard output by accident.
// A closed one is taken by /dev/null opened read-only: reading it gives an end
// of input, and writing output to it still fails.
void reserveStandardDescriptors();

}  // namespace corvane
