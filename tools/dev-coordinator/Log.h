#pragma once

#include <string_view>

namespace corvane::devcoordinator {

// One line on standard error, prefixed with the program's name and the UTC
// time. Safe from any thread. E-mail codes are written here, as a real service
// would send them by mail.
void logLine(std::string_view text);

}  // namespace corvane::devcoordinator
