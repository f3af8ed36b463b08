#include "executor/codex/CodexAccountHome.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <variant>

#include "executor/support/CVError.h"
#include "executor/support/DataDirectory.h"
#include "executor/support/Parsing.h"
#include "executor/support/PrivateFiles.h"

namespace corvane {

namespace fs = std::filesystem;

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

// Opens name inside the directory at, never through a symbolic link.
int openDirectoryAt(int at, const char* name) {
  return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// text as a double-quoted string that reads the same as JSON and as a TOML
// basic string. The runtime parses "key=value" overrides as TOML, and both
// forbid raw control characters; TOML forbids DEL as well, which JSON
// encoders leave raw, so it is escaped too. "/" stays as it is. Bytes from
// 0x80 up pass through: a path that is not UTF-8 cannot be named in TOML
// at all, and the runtime refusing it beats a path changed into another.
std::string quotedString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escape[7];
          std::snprintf(escape, sizeof escape, "\\u%04x", byte);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

using Value = std::variant<std::string, bool, int>;

std::string encoded(const Value& value) {
  if (auto text = std::get_if<std::string>(&value)) return quotedString(*text);
  if (auto flag = std::get_if<bool>(&value)) return *flag ? "true" : "false";
  return std::to_string(std::get<int>(value));
}

}  // namespace

std::optional<std::string> CodexAccountHome::processVariable(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

// The data directory's name for the homes of all accounts.
fs::path CodexAccountHome::homesDirectory() const { return dataDirectory_ / DataDirectory::codexHomes; }

fs::path CodexAccountHome::accountHome(std::string_view credentialID) const {
  if (!isIdentifier(credentialID)) throw CVError::runtime("invalid_account");
  fs::path base = homesDirectory();
  fs::path home = base / credentialID;
  privateDirectory(base);
  privateDirectory(home);

  // Each step is taken from the descriptor of the one before, so a
  // directory swapped for a link after the checks above is refused rather
  // than written through.
  std::string name(credentialID);
  Descriptor baseFD(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (baseFD.get() < 0) throw CVError::storage();
  Descriptor homeFD(openDirectoryAt(baseFD.get(), name.c_str()));
  if (homeFD.get() < 0) throw CVError::storage();
  // Non-blocking, so that a FIFO planted in the file's place cannot hold
  // the open; it is then refused as not a regular file.
  Descriptor file(openat(homeFD.get(), configurationFileName,
                         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (file.get() < 0) throw CVError::storage();
  struct stat info {};
  if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || fchmod(file.get(), 0600) != 0)
    throw CVError::storage();
  ssize_t written;
  do {
    written = write(file.get(), configuration.data(), configuration.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(configuration.size()) || fsync(file.get()) != 0) throw CVError::storage();
  return home;
}

std::vector<std::string> CodexAccountHome::settings(const fs::path& work) {
  // Credentials in the keyring and sign-in through ChatGPT only; one fixed
  // provider without retries; no tools, plugins, project documents,
  // history, analytics or update checks; logs and state in work.
  const std::pair<const char*, Value> overrides[] = {
      {"cli_auth_credentials_store", std::string("keyring")},
      {"forced_login_method", std::string("chatgpt")},
      {"model_provider", std::string("corvane-openai")},
      {"model_reasoning_effort", std::string("low")},
      {"approval_policy", std::string("never")},
      {"web_search", std::string("disabled")},
      {"features.shell_tool", false},
      {"features.unified_exec", false},
      {"features.shell_snapshot", false},
      {"features.hooks", false},
      {"features.apps", false},
      {"features.plugins", false},
      {"features.image_generation", false},
      {"features.tool_suggest", false},
      {"features.multi_agent", false},
      {"features.remote_plugin", false},
      {"features.skill_mcp_dependency_install", false},
      {"project_doc_max_bytes", 0},
      {"history.persistence", std::string("none")},
      {"analytics.enabled", false},
      {"check_for_update_on_startup", false},
      {"model_providers.corvane-openai.name", std::string("OpenAI")},
      {"model_providers.corvane-openai.requires_openai_auth", true},
      {"model_providers.corvane-openai.request_max_retries", 0},
      {"model_providers.corvane-openai.stream_max_retries", 0},
      {"log_dir", (work / "logs").string()},
      {"sqlite_home", (work / "state").string()},
  };
  std::vector<std::string> arguments;
  for (const auto& [key, value] : overrides) {
    arguments.emplace_back("-c");
    arguments.push_back(std::string(key) + "=" + encoded(value));
  }
  for (const char* fixed : {"mcp_servers={}", "plugins={}"}) {
    arguments.emplace_back("-c");
    arguments.emplace_back(fixed);
  }
  return arguments;
}

std::map<std::string, std::string> CodexAccountHome::cleanEnvironment(const fs::path& home,
                                                                      const VariableLookup& lookup) {
  std::map<std::string, std::string> environment;
  for (const char* name : {"PATH", "HOME", "LANG", "TMPDIR"})
    if (auto value = lookup(name)) environment[name] = std::move(*value);
  environment["CODEX_HOME"] = home.string();
  return environment;
}

}  // namespace corvane
