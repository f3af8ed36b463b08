// The facilities built into the program: for tests and helper programs,
// which have no bundle to load a module from.

#include "platform/linux/facilities/Implementations.h"

namespace corvane::platform {

Facilities* loadFacilities(std::string&) { return corvaneFacilities(); }

}  // namespace corvane::platform
