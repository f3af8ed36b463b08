// The fallback of a program that runs from the build tree, outside the
// application bundle (the tests, their helper programs, the benchmarks): the
// bundle the build lays out. Never linked into an installed program.

#include "localization/ResourceBundle.h"

namespace corvane {

std::vector<std::filesystem::path> ResourceBundle::fallbackPlaces() { return {CORVANE_BUILD_RESOURCES_DIR}; }

}  // namespace corvane
