#include "executor/service/LaunchAgent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "executor/coordinator/CoordinatorClient.h"
#include "executor/support/CVError.h"
#include "executor/support/PrivateFiles.h"
#include "executor/support/Sha256.h"
#include "localization/L10n.h"

namespace corvane {

namespace {

// Whether anything is at path, a dangling link included.
bool somethingAt(const std::filesystem::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool isLink(const std::filesystem::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool fileExists(const std::filesystem::path& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

void writeNewFile(const std::filesystem::path& file, const std::string& bytes) {
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw CVError::storage();
  ssize_t written = write(fd, bytes.data(), bytes.size());
  bool complete = written == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
  close(fd);
  // A short write leaves the file: it is ours, named after the directory,
  // and the next install says it exists rather than overwriting in silence.
  if (!complete) throw CVError::storage();
}

}  // namespace

LaunchAgent::LaunchAgent(const std::filesystem::path& directory, platform::ServiceManager manager,
                         std::filesystem::path unitFolder)
    : directory_(directory),
      manager_(std::move(manager)),
      label_("com.corvane.executor." + sha256Hex(directory.string()).substr(0, 12)),
      unitFile_(std::move(unitFolder) / (label_ + ".service")) {}

std::string LaunchAgent::rendered(const std::filesystem::path& tool, const std::filesystem::path& codex) const {
  using platform::quotedUnitWord;
  std::string execStart = platform::quotedUnitProgram(tool.string());
  for (const std::string& word :
       {std::string("--data-dir"), directory_.string(), std::string("agent"), std::string("--codex"), codex.string()})
    execStart += " " + quotedUnitWord(word);
  // The manager restarts the executor whenever it exits, at most every 15
  // seconds and for ever (no start limit): a background executor that gives
  // up after a few crashes is one the user never hears from again. The
  // watchdog restarts one that still runs but no longer makes progress.
  return "[Unit]\n"
         "Description=Corvane background executor\n"
         "StartLimitIntervalSec=0\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "NotifyAccess=main\n"
         "ExecStart=" +
         execStart +
         "\n"
         "Environment=\"PATH=/usr/bin:/bin:/usr/sbin:/sbin\"\n"
         "Restart=always\n"
         "RestartSec=15\n"
         "WatchdogSec=60\n"
         "Nice=10\n"
         "IOSchedulingClass=idle\n"
         "UMask=0077\n"
         "StandardOutput=null\n"
         "StandardError=null\n"
         "\n"
         "[Install]\n"
         "WantedBy=default.target\n";
}

Json LaunchAgent::install(const std::filesystem::path& tool, const std::filesystem::path& codex) const {
  coordinator(directory_);  // only a paired directory is worth running
  if (somethingAt(unitFile_))
    throw CVError::invalid(
        L10n::text("A background task already exists for this directory; uninstall the old version first"));
  privateDirectory(unitFile_.parent_path());
  std::string bytes = rendered(tool, codex);
  writeNewFile(unitFile_, bytes);
  if (!manager_.reload() || !manager_.enableNow(unitName())) {
    std::error_code ignored;
    std::filesystem::remove(unitFile_, ignored);
    manager_.reload();
    throw CVError::invalid(L10n::text("launchd failed to start; no background task was retained"));
  }
  return status();
}

Json LaunchAgent::uninstall() const {
  if (isLink(unitFile_)) throw CVError::storage();
  // An enabled unit between two restarts is not active, yet it would come
  // back at the next login: either state means it must be stopped first.
  if (manager_.isActive(unitName()) || manager_.isEnabled(unitName())) {
    if (!manager_.disableNow(unitName()))
      throw CVError::invalid(L10n::text("Cannot stop the background task; its plist was retained"));
  }
  if (somethingAt(unitFile_)) {
    std::error_code error;
    std::filesystem::remove(unitFile_, error);
    if (error) throw CVError::storage();
    manager_.reload();
  }
  return Json{{"installed", false}, {"label", label_}, {"loaded", false}};
}

Json LaunchAgent::status() const {
  return Json{{"installed", fileExists(unitFile_)}, {"label", label_}, {"loaded", manager_.isActive(unitName())}};
}

}  // namespace corvane
