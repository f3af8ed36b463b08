#include "executor/support/PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "executor/support/CVError.h"
#include "executor/support/Uuid.h"
#include "localization/L10n.h"

namespace corvane {

namespace fs = std::filesystem;

void privateDirectory(const fs::path& directory) {
  std::error_code error;
  auto status = fs::status(directory, error);  // follows links
  if (fs::is_directory(status)) {
    if (fs::is_symlink(fs::symlink_status(directory))) throw CVError::storage();
  } else if (fs::exists(status)) {
    throw CVError::storage();
  } else {
    // A dangling link is "absent" to stat but must not be created through.
    if (fs::is_symlink(fs::symlink_status(directory, error))) throw CVError::storage();
    fs::create_directories(directory);
  }
  fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace);
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
}

void atomicPrivateJSON(const Json& object, const fs::path& file) {
  if (!object.is_object()) throw CVError::invalid(L10n::text("Invalid JSON"));
  atomicPrivateFile(compactJSON(object), file);
}

std::optional<std::string> readPrivateFile(const fs::path& file, size_t limit) {
  Descriptor fd(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat info{};
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || static_cast<size_t>(info.st_size) > limit)
    return std::nullopt;
  std::string bytes;
  bytes.resize(limit + 1);
  size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t got = read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  if (filled > limit) return std::nullopt;  // grew since fstat
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
