#include "app/model/UpdateDiagnostics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/model/HelperError.h"
#include "app/model/PlatformServices.h"
#include "app/model/UpdateServiceLifecycle.h"
#include "platform/Log.h"

namespace corvane::app {

namespace fs = std::filesystem;

UpdateErrorIdentity identify(const std::exception& error) {
  if (auto* helper = dynamic_cast<const HelperError*>(&error))
    return {"HelperError", static_cast<long long>(helper->kind())};
  if (dynamic_cast<const UpdateCancelled*>(&error)) return {"UpdateCancelled", 1};
  if (dynamic_cast<const ServiceError*>(&error)) return {"ServiceError", 1};
  return {"Error", 0};
}

namespace {

std::string stamp(WallTime time) {
  auto seconds = std::chrono::floor<std::chrono::seconds>(time);
  auto day = std::chrono::floor<std::chrono::days>(seconds);
  std::chrono::year_month_day date{day};
  std::chrono::hh_mm_ss clock{seconds - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<long long>(clock.hours().count()), static_cast<long long>(clock.minutes().count()),
                static_cast<long long>(clock.seconds().count()));
  return text;
}

bool isLink(const fs::path& path) {
  std::error_code error;
  return fs::is_symlink(fs::symlink_status(path, error));
}

bool append(const fs::path& directory, const std::string& line) {
  std::error_code error;
  fs::create_directories(directory, error);
  if (error || !fs::is_directory(fs::symlink_status(directory, error))) return false;
  chmod(directory.c_str(), 0700);
  fs::path file = directory / "updates.jsonl";
  struct stat info;
  if (lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uintmax_t>(info.st_size) > UpdateDiagnostics::rotationSize) {
    fs::path previous = directory / "updates.previous.jsonl";
    unlink(previous.c_str());
    if (rename(file.c_str(), previous.c_str()) != 0) return false;
  }
  int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  std::size_t written = 0;
  while (ok && written < line.size()) {
    ssize_t now = write(fd, line.data() + written, line.size() - written);
    if (now <= 0) ok = false;
    if (now > 0) written += static_cast<std::size_t>(now);
  }
  return close(fd) == 0 && ok;
}

}  // namespace

UpdateDiagnostics::UpdateDiagnostics(fs::path directory, std::string build, std::function<WallTime()> clock)
    : directory_(std::move(directory)), build_(std::move(build)), clock_(std::move(clock)) {
  if (!clock_)
    clock_ = [] { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); };
}

void UpdateDiagnostics::record(std::string_view event, const std::optional<std::string>& target,
                               const std::optional<UpdateErrorIdentity>& error) const {
  nlohmann::json record = {{"at", stamp(clock_())}, {"event", event}, {"build", build_}};
  if (target) record["targetBuild"] = *target;
  if (error) {
    record["errorDomain"] = error->domain;
    record["errorCode"] = error->code;
  }
  platform::Logger log("updates");
  log.notice(event);
  // A log folder or file that is a link is never written through.
  if (isLink(directory_) || isLink(file())) return;
  if (!append(directory_, record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"))
    log.error("Could not write update diagnostics");
}

}  // namespace corvane::app
