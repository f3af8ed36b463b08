#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "executor/diagnostics/SupportDiagnostics.h"
#include "executor/support/Json.h"
#include "executor/support/Sha256.h"
#include "platform/ChildProcess.h"
#include "platform/Clock.h"
#include "support/Files.h"
#include "support/TemporaryDirectory.h"

namespace corvane::test {

inline const WallTime diagnosticsNow = WallTime(std::chrono::seconds(1'800'000'000));
inline constexpr double diagnosticsNowSeconds = 1'800'000'000;
inline const DiagnosticMetadata sampleMetadata{"0.1.0", "42", "0.146.0", "6.1.0"};
inline constexpr const char* sampleDeviceId = "5A1F3C2E-9B7D-4E61-8A0C-3D2B1E4F5A6B";
inline constexpr const char* sampleUrl = "https://coordinator.example";

inline std::string lowercaseCopy(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

inline WallTime at(double offsetSeconds) {
  return diagnosticsNow + std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(offsetSeconds));
}

// A paired data directory and its support diagnostics, at a fixed time.
class DiagnosticsFixture : public ::testing::Test {
 protected:
  DiagnosticsFixture() { pair(sampleDeviceId); }

  void pair(const std::string& deviceId, const std::string& url = sampleUrl) {
    writeFile(
        data() / "coordinator.json",
        Json{{"url", url}, {"deviceId", deviceId}, {"email", "a@example.com"}, {"developmentLoopback", false}}.dump());
  }

  std::filesystem::path data() const { return directory.path(); }
  std::filesystem::path stateFile() const { return data() / "support-diagnostics.json"; }

  static std::string scopeOf(const std::string& deviceId, const std::string& url = sampleUrl) {
    return sha256Hex(url + "\n" + lowercaseCopy(deviceId));
  }

  // The state file as it is; nothing when it is missing or not JSON.
  std::optional<Json> storedState() const { return parseJSON(readFile(stateFile())); }

  DiagnosticsState state() const {
    auto stored = storedState();
    auto decoded = stored ? DiagnosticsState::decode(*stored) : std::nullopt;
    EXPECT_TRUE(decoded) << readFile(stateFile());
    return decoded.value_or(DiagnosticsState{});
  }

  void writeState(const DiagnosticsState& state) const { writeFile(stateFile(), compactJSON(state.json())); }

  // The inode of the state file: a rewrite (an atomic rename) changes it.
  ino_t stateInode() const {
    struct stat info {};
    return lstat(stateFile().c_str(), &info) == 0 ? info.st_ino : 0;
  }

  // A valid event recorded offsetSeconds from now.
  static DiagnosticEvent event(const std::string& id, double offsetSeconds = -60, bool delivered = false) {
    DiagnosticEvent event;
    event.id = id;
    event.recordedAt = diagnosticsNowSeconds + offsetSeconds;
    event.code = "task_succeeded";
    event.metadata = sampleMetadata;
    event.delivered = delivered;
    return event;
  }

  static ProblemReport report(const std::string& id, const std::string& status = ProblemReport::pending,
                              double offsetSeconds = -60) {
    return ProblemReport{.id = id,
                         .recordedAt = diagnosticsNowSeconds + offsetSeconds,
                         .description = "it broke",
                         .metadata = sampleMetadata,
                         .events = {},
                         .status = status,
                         .reportId = std::nullopt};
  }

  // A UUID whose last group counts: uuid(7) is "00000000-0000-4000-8000-000000000007".
  static std::string uuid(int number) {
    char text[37];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", number);
    return text;
  }

  DiagnosticsState freshState() const { return DiagnosticsState::fresh(scopeOf(sampleDeviceId)); }

  TemporaryDirectory directory;
  SupportDiagnostics diagnostics{directory.path(), sampleMetadata};
};

// Another process holding one of the data directory's lock files until the
// object goes away.
class LockHolder {
 public:
  explicit LockHolder(const std::filesystem::path& file) {
    platform::SpawnPlan plan;
    plan.program = LOCK_HOLDER_CHILD;
    plan.arguments = {LOCK_HOLDER_CHILD, file.string()};
    plan.descriptors = {platform::ChildDescriptor::pipeToChild(), platform::ChildDescriptor::pipeFromChild(),
                        platform::ChildDescriptor::inherited(), platform::ChildDescriptor::closed()};
    plan.diesWithParent = true;
    child_ = platform::ChildProcess::spawn(plan);
    if (!child_) throw std::runtime_error("cannot start the lock holder");
    input_ = child_->takePipe(0);
    int output = child_->takePipe(1);
    std::string said;
    char byte = 0;
    while (said.size() < 7 && read(output, &byte, 1) == 1) said += byte;
    close(output);
    if (said != "locked\n") throw std::runtime_error("the lock holder did not lock");
  }
  ~LockHolder() {
    if (input_ >= 0) close(input_);
    if (child_) child_->wait(platform::continuousSeconds() + 30);
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

 private:
  std::optional<platform::ChildProcess> child_;
  int input_ = -1;
};

}  // namespace corvane::test
