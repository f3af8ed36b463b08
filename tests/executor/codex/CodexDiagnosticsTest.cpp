#include "executor/codex/CodexDiagnostics.h"

#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const WallTime now = WallTime(seconds(1'800'000'000));
const double nowSeconds = 1'800'000'000;

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary);
  file << text;
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

Json entry(double recordedAt, const std::string& code = "codex_account_read_timeout") {
  return {{"recordedAt", recordedAt}, {"code", code}};
}

CodexFailure failure(const char* raw, std::optional<int> rpc = {}, std::optional<int> http = {}) {
  return {*CodexFailureCode::parse(raw), rpc, http, 250};
}

class CodexDiagnosticsTest : public ::testing::Test {
 protected:
  void writeHistory(const Json& entries) { writeFile(diagnostics.file(), Json{{"entries", entries}}.dump()); }

  test::TemporaryDirectory directory;
  CodexDiagnostics diagnostics{directory.path()};
};

TEST_F(CodexDiagnosticsTest, KeepsOnlyValidRecentEntriesInFileOrder) {
  struct Case {
    const char* name;
    Json stored;
    std::optional<Json> read;  // nothing: dropped
  };
  auto same = [](const Json& value) { return std::optional<Json>(value); };
  Json withRpc = {{"recordedAt", nowSeconds - 2}, {"code", "codex_logout_protocol"}, {"rpcCode", -32768}};
  Json withHttp = {{"recordedAt", nowSeconds - 3}, {"code", "codex_logout_failed"}, {"httpStatus", 599}};
  const Case cases[] = {
      {"now", entry(nowSeconds), same(entry(nowSeconds))},
      {"exactly 7 days old", entry(nowSeconds - 604800), same(entry(nowSeconds - 604800))},
      {"8 days old", entry(nowSeconds - 8 * 86400), std::nullopt},
      {"one second in the future", entry(nowSeconds + 1), std::nullopt},
      {"unknown code", entry(nowSeconds - 1, "codex_account_read_bogus"), std::nullopt},
      {"rpc code in range", withRpc, same(withRpc)},
      {"rpc code out of range",
       {{"recordedAt", nowSeconds}, {"code", "codex_logout_protocol"}, {"rpcCode", 32768}},
       std::nullopt},
      {"http status in range", withHttp, same(withHttp)},
      {"http status out of range",
       {{"recordedAt", nowSeconds}, {"code", "codex_logout_failed"}, {"httpStatus", 399}},
       std::nullopt},
      {"null numbers",
       {{"recordedAt", nowSeconds - 4}, {"code", "codex_logout_failed"}, {"rpcCode", nullptr}},
       same(entry(nowSeconds - 4, "codex_logout_failed"))},
  };
  Json stored = Json::array();
  Json expected = Json::array();
  for (const auto& c : cases) {
    stored.push_back(c.stored);
    if (c.read) expected.push_back(*c.read);
  }
  writeHistory(stored);
  Json read = Json::array();
  for (const auto& kept : diagnostics.entries(now)) read.push_back(kept.json());
  EXPECT_EQ(read, expected);
}

TEST_F(CodexDiagnosticsTest, ReadsTheNewest128) {
  Json list = Json::array();
  for (int i = 0; i < 130; ++i) list.push_back(entry(nowSeconds - 130 + i));
  writeHistory(list);
  auto entries = diagnostics.entries(now);
  ASSERT_EQ(entries.size(), 128u);
  EXPECT_EQ(entries.front().recordedAt, nowSeconds - 128);
  EXPECT_EQ(entries.back().recordedAt, nowSeconds - 1);
}

TEST_F(CodexDiagnosticsTest, UnreadableHistoriesReadAsEmpty) {
  std::string valid = Json{{"entries", {entry(nowSeconds)}}}.dump();
  std::string padded = valid;
  padded.insert(padded.size() - 1, std::string(65536 - valid.size(), ' '));
  ASSERT_EQ(padded.size(), 65536u);
  writeFile(diagnostics.file(), padded);
  EXPECT_EQ(diagnostics.entries(now).size(), 1u) << "a file of exactly the limit is read";

  const std::pair<const char*, std::string> cases[] = {
      {"65,537 bytes", padded.substr(0, padded.size() - 1) + " }"},
      {"not JSON", "{\"entries\": ["},
      {"no entries member", "{}"},
      {"entries not a list", R"({"entries": {}})"},
      {"an entry without code", R"({"entries": [{"recordedAt": 1800000000}]})"},
      {"a code that is not a string", R"({"entries": [{"recordedAt": 1800000000, "code": 5}]})"},
      {"a fractional rpc code",
       R"({"entries": [{"recordedAt": 1800000000, "code": "codex_other_failed", "rpcCode": 1.5}]})"},
      {"a string time", R"({"entries": [{"recordedAt": "1800000000", "code": "codex_other_failed"}]})"},
  };
  for (const auto& [name, text] : cases) {
    writeFile(diagnostics.file(), text);
    EXPECT_TRUE(diagnostics.entries(now).empty()) << name;
  }
}

TEST_F(CodexDiagnosticsTest, RecordsIntoAnEmptyDirectoryWithoutAbsentNumbers) {
  fs::path data = directory / "data";
  CodexDiagnostics fresh(data);
  fresh.record(failure("codex_quota_read_timeout"), now);
  EXPECT_EQ(Json::parse(readFile(fresh.file())),
            Json::parse(R"({"entries":[{"code":"codex_quota_read_timeout","recordedAt":1800000000.0}]})"));
  EXPECT_EQ(fs::status(data).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(fresh.file()).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  fresh.record(failure("codex_quota_read_rate_limited", -32603, 429), now + seconds(1));
  auto entries = fresh.entries(now + seconds(1));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1], (CodexDiagnostics::Entry{nowSeconds + 1, "codex_quota_read_rate_limited", -32603, 429}));
}

TEST_F(CodexDiagnosticsTest, RecordingPrunesAndCapsTheFile) {
  Json list = Json::array();
  list.push_back(entry(nowSeconds - 9 * 86400));  // expired
  list.push_back(entry(nowSeconds, "garbage"));   // invalid
  for (int i = 0; i < 128; ++i) list.push_back(entry(nowSeconds - 200 + i));
  writeHistory(list);
  diagnostics.record(failure("codex_logout_keychain"), now);
  Json written = Json::parse(readFile(diagnostics.file()));
  ASSERT_EQ(written["entries"].size(), 128u);
  EXPECT_EQ(written["entries"][0]["recordedAt"], nowSeconds - 199);
  EXPECT_EQ(written["entries"][127]["code"], "codex_logout_keychain");
}

TEST_F(CodexDiagnosticsTest, ABrokenHistoryIsReplacedByTheNextRecord) {
  writeFile(diagnostics.file(), "not json at all");
  diagnostics.record(failure("codex_initialize_runtime_closed"), now);
  ASSERT_EQ(diagnostics.entries(now).size(), 1u);
  EXPECT_EQ(diagnostics.entries(now)[0].code, "codex_initialize_runtime_closed");
}

TEST_F(CodexDiagnosticsTest, NeverFollowsLinks) {
  // A linked history file is not read, and recording replaces the link
  // instead of writing through it.
  fs::path elsewhere = directory / "elsewhere.json";
  writeFile(elsewhere, Json{{"entries", {entry(nowSeconds)}}}.dump());
  fs::create_symlink(elsewhere, diagnostics.file());
  EXPECT_TRUE(diagnostics.entries(now).empty());
  diagnostics.record(failure("codex_other_failed"), now);
  EXPECT_FALSE(fs::is_symlink(diagnostics.file()));
  EXPECT_EQ(Json::parse(readFile(elsewhere))["entries"].size(), 1u);
  EXPECT_EQ(diagnostics.entries(now).size(), 1u);

  // A linked data directory is neither read nor written.
  fs::path real = directory / "real";
  fs::create_directory(real);
  writeFile(real / "codex-diagnostics.json", Json{{"entries", {entry(nowSeconds)}}}.dump());
  fs::create_directory_symlink(real, directory / "linked");
  CodexDiagnostics linked(directory / "linked");
  EXPECT_TRUE(linked.entries(now).empty());
  linked.record(failure("codex_other_failed"), now);  // logged, not thrown
  EXPECT_EQ(Json::parse(readFile(real / "codex-diagnostics.json"))["entries"].size(), 1u);
}

TEST_F(CodexDiagnosticsTest, ExportsTheCurrentHistory) {
  EXPECT_EQ(diagnostics.exportHistory(now),
            Json::parse(R"({"entries":[],"schemaVersion":1,"exportedAt":"2027-01-15T08:00:00Z"})"));
  writeHistory({entry(nowSeconds - 10), entry(nowSeconds - 8 * 86400)});
  auto exported = diagnostics.exportHistory(now);
  EXPECT_EQ(exported["entries"], Json::array({entry(nowSeconds - 10)}));
}

}  // namespace
}  // namespace corvane
