#include "executor/cli/Output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "executor/support/CVError.h"
#include "localization/L10n.h"

namespace corvane {

void writeOutput(std::string_view text) {
  while (!text.empty()) {
    ssize_t written = write(STDOUT_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 1) throw CVError::invalid(L10n::text("The command's output could not be written"));
    text.remove_prefix(static_cast<size_t>(written));
  }
}

void reserveStandardDescriptors() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free descriptor, which is this one; if it
    // fails there is nothing better to do than carry on.
    int held = open("/dev/null", O_RDONLY);
    if (held >= 0 && held != descriptor) close(held);
  }
}

}  // namespace corvane
