#include "executor/support/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "executor/support/CVError.h"
#include "executor/support/Uuid.h"
#include "localization/L10n.h"

namespace corvane {

namespace fs = std::filesystem;

namespace {

// The entry at path as lstat sees it; ENOENT is "absent", anything else that
// stops lstat is a failure.
std::optional<struct stat> entry(const fs::path& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) return info;
  if (errno != ENOENT) throw CVError::storage();
  return std::nullopt;
}

// Creates the missing directories of path, each 0700 whatever the umask;
// parents that exist are used as they are, links among them included.
void createMissing(const fs::path& path) {
  std::vector<fs::path> missing;
  for (fs::path current = path; !current.empty(); current = current.parent_path()) {
    if (entry(current)) break;
    missing.push_back(current);
    if (current == current.root_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it)
    if (mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) throw CVError::storage();
}

}  // namespace

void privateDirectory(const fs::path& directory) {
  if (auto found = entry(directory); !found)
    createMissing(directory);
  else if (!S_ISDIR(found->st_mode))
    throw CVError::storage();  // a file, or a link to anything
  // The mode is changed through a descriptor that cannot have followed a
  // link, so a directory swapped for one after the checks above is refused,
  // never narrowed through.
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw CVError::storage();
  bool ok = fchmod(fd, 0700) == 0;
  close(fd);
  if (!ok) throw CVError::storage();
}

fs::path canonicalDirectory(const fs::path& directory) {
  char resolved[PATH_MAX];
  if (!realpath(directory.c_str(), resolved)) throw CVError::storage();
  return resolved;
}

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 1) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// The rename lives in the directory's own data: until the directory is on
// disk, a power loss can bring back the old name (or none), whatever was
// done since, such as a keyring item that belongs to the new file.
bool syncDirectory(const fs::path& directory) {
  Descriptor fd(open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && fsync(fd.get()) == 0;
}

}  // namespace

void atomicPrivateFile(std::string_view bytes, const fs::path& file) {
  fs::path temp = file;
  temp += ".tmp-" + randomUUID();
  bool ok = false;
  {
    Descriptor fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) throw CVError::storage();
    ok = writeAll(fd.get(), bytes) && fsync(fd.get()) == 0 && rename(temp.c_str(), file.c_str()) == 0;
  }
  if (!ok) {
    unlink(temp.c_str());
    throw CVError::storage();
  }
  if (!syncDirectory(file.parent_path())) throw CVError::storage();
}

void atomicPrivateJSON(const Json& object, const fs::path& file) {
  if (!object.is_object()) throw CVError::invalid(L10n::text("Invalid JSON"));
  atomicPrivateFile(compactJSON(object), file);
}

std::optional<std::string> readPrivateFile(const fs::path& file, size_t limit) {
  Descriptor fd(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || static_cast<size_t>(info.st_size) > limit)
    return std::nullopt;
  // Sized from fstat, not from the limit: these files are read every few
  // seconds and are usually far below it. One byte more notices a file that
  // grew since; it may grow up to the limit and no further.
  std::string bytes(static_cast<size_t>(info.st_size) + 1, '\0');
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) {
      if (bytes.size() > limit) break;
      bytes.resize(std::min(bytes.size() * 2, limit + 1));
    }
    ssize_t got = read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  if (filled > limit) return std::nullopt;  // grew past the limit since fstat
  bytes.resize(filled);
  return bytes;
}

std::optional<Json> readJSONObjectFile(const fs::path& file, size_t limit) {
  auto bytes = readPrivateFile(file, limit);
  if (!bytes) return std::nullopt;
  auto value = parseJSON(*bytes);
  if (!value || !value->is_object()) return std::nullopt;
  return value;
}

}  // namespace corvane
