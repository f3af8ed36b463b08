#pragma once

#include <string>

#include "FakeHome.h"

namespace corvane::fakecodex {

// A one-shot run ("exec --json"): reads the rest of standard input as the real runtime does, then prints
// the event stream the scenario asks for and exits with the real runtime's status for it.
// model is the --model value (it appears in the runtime's model-metadata warning).
int runExec(FakeHome& home, const std::string& model);

}  // namespace corvane::fakecodex
