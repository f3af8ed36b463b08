#include "FakeHome.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace corvane::fakecodex {

namespace fs = std::filesystem;

namespace {

// Absent (or not a regular file) gives nothing; a symbolic link is never followed.
std::optional<std::string> readFile(const fs::path& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return content;
}

void writeFileAtomically(const fs::path& path, const std::string& content) {
  fs::path temporary = path;
  temporary += ".tmp." + std::to_string(getpid());
  unlink(temporary.c_str());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw FatalError("cannot write " + path.string() + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      unlink(temporary.c_str());
      throw FatalError("cannot write " + path.string());
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    throw FatalError("cannot rename into " + path.string() + ": " + std::strerror(errno));
  }
}

}  // namespace

Json defaultAccount() {
  return Json{{"email", "user@example.com"},
              {"planType", "plus"},
              {"userId", "user-abc"},
              {"chatgptAccountId", "acct-123"},
              {"workspaceName", nullptr}};
}

FakeHome FakeHome::fromEnvironment() {
  if (const char* home = std::getenv("CODEX_HOME"); home && *home) return FakeHome(home);
  const char* user = std::getenv("HOME");
  return FakeHome(fs::path(user ? user : "/") / ".codex");
}

FakeHome::FakeHome(fs::path directory) : directory_(std::move(directory)) {
  struct stat info {};
  if (stat(directory_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    throw FatalError("CODEX_HOME points to " + directory_.string() + ", but that path does not exist");
  if (auto text = readFile(directory_ / "fake-codex.json")) {
    Json parsed = Json::parse(*text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
      throw FatalError("fake-codex: " + (directory_ / "fake-codex.json").string() + " is not a JSON object");
    scenario_ = std::move(parsed);
  }
}

Json FakeHome::setting(const char* name) const {
  auto it = scenario_.find(name);
  return it == scenario_.end() ? Json() : *it;
}

std::optional<Json> FakeHome::signedInAccount() const {
  auto text = readFile(directory_ / "auth.json");
  if (!text) return std::nullopt;
  Json auth = Json::parse(*text, nullptr, false);
  if (!auth.is_object()) return std::nullopt;
  Json account = defaultAccount();
  if (auto it = auth.find("account"); it != auth.end() && it->is_object())
    for (auto& [key, value] : it->items()) account[key] = value;
  return account;
}

void FakeHome::signIn(const Json& account) {
  writeFileAtomically(directory_ / "auth.json", Json{{"auth_mode", "chatgpt"}, {"account", account}}.dump() + "\n");
}

void FakeHome::signOut() { unlink((directory_ / "auth.json").c_str()); }

int FakeHome::countCall(const std::string& name) {
  fs::path path = directory_ / "fake-codex-calls.json";
  Json counts = Json::object();
  if (auto text = readFile(path)) {
    Json parsed = Json::parse(*text, nullptr, false);
    if (parsed.is_object()) counts = std::move(parsed);
  }
  int count = counts.value(name, 0) + 1;
  counts[name] = count;
  writeFileAtomically(path, counts.dump() + "\n");
  return count;
}

std::optional<std::string> FakeHome::readText(const std::string& file) const { return readFile(directory_ / file); }

void FakeHome::record(const std::string& file, const Json& entry) {
  fs::path path = directory_ / file;
  std::string content = readFile(path).value_or("");
  content += entry.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  writeFileAtomically(path, content);
}

Json FakeHome::pick(const Json& entry, int count) {
  if (!entry.is_array()) return entry;
  if (entry.empty()) return Json();
  size_t index = count < 1 ? 0 : static_cast<size_t>(count - 1);
  return entry[std::min(index, entry.size() - 1)];
}

}  // namespace corvane::fakecodex
