// The fallback of an installed program: none. Its tables are in its
// application bundle, and it never looks anywhere else.

#include "localization/ResourceBundle.h"

namespace corvane {

std::vector<std::filesystem::path> ResourceBundle::fallbackPlaces() { return {}; }

}  // namespace corvane
