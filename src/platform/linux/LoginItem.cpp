#include "platform/LoginItem.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>

#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/SystemInfo.h"

namespace corvane::platform {

namespace {

bool isRegularFile(const std::filesystem::path& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

LoginItem::LoginItem(std::filesystem::path unitTemplate, ServiceManager manager, std::filesystem::path unitFolder)
    : unitTemplate_(std::move(unitTemplate)),
      manager_(std::move(manager)),
      unitFolder_(std::move(unitFolder)),
      unitName_(unitTemplate_.filename().string()) {}

std::filesystem::path LoginItem::unitTemplate(const std::filesystem::path& bundle, std::string_view bundleIdentifier) {
  return bundle / "Contents/Library/systemd/user" / (std::string(bundleIdentifier) + ".executor.service");
}

LoginItemStatus LoginItem::status() const {
  if (!isRegularFile(unitTemplate_)) return LoginItemStatus::notFound;
  return manager_.isEnabled(unitName_) ? LoginItemStatus::enabled : LoginItemStatus::notRegistered;
}

bool LoginItem::registerService() const {
  if (!isRegularFile(unitTemplate_)) return false;
  // The manager refuses to link over a link to another file, which is what
  // a bundle that moved or was replaced leaves behind.
  std::error_code error;
  auto linked = std::filesystem::read_symlink(unitFolder_ / unitName_, error);
  if (!error && linked != unitTemplate_) manager_.disableNow(unitName_);
  return manager_.enableNow(unitTemplate_.string());
}

bool LoginItem::unregisterService() const {
  std::error_code error;
  bool present = std::filesystem::is_symlink(unitFolder_ / unitName_, error) || manager_.isEnabled(unitName_) ||
                 manager_.isActive(unitName_);
  if (!present) return true;
  return manager_.disableNow(unitName_);
}

bool LoginItem::openSettings() const {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::is_directory(unitFolder_, error) ? unitFolder_ : homeDirectory();
  for (const char* opener : {"/usr/bin/xdg-open", "/bin/xdg-open"}) {
    if (access(opener, X_OK) != 0) continue;
    SpawnPlan plan;
    plan.program = opener;
    plan.arguments = {"xdg-open", folder.string()};
    plan.descriptors = {ChildDescriptor::nullDevice(), ChildDescriptor::nullDevice(), ChildDescriptor::nullDevice(),
                        ChildDescriptor::closed()};
    auto child = ChildProcess::spawn(plan);
    if (!child) return false;
    // xdg-open hands the folder to the file manager and returns.
    auto status = child->wait(continuousSeconds() + 10);
    if (!status) child->terminate(1);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }
  return false;
}

}  // namespace corvane::platform
