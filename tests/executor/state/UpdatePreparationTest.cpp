#include "executor/state/UpdatePreparation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "executor/support/CVError.h"
#include "executor/support/Uuid.h"
#include "support/TemporaryDirectory.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const WallTime now = WallTime{} + 1769847300s;  // 2026-01-31T08:15:00Z
const std::string validID = "8C1D3E2A-1B2C-4D3E-8F40-5A6B7C8D9E0F";

class UpdatePreparationTest : public ::testing::Test {
 protected:
  void plant(const std::string& bytes) {
    std::ofstream(preparation.file(), std::ios::binary | std::ios::trunc) << bytes;
  }

  test::TemporaryDirectory directory;
  UpdatePreparation preparation{directory.path()};
};

TEST_F(UpdatePreparationTest, BeginWritesAnUpperCaseIdThatExpiresInTenMinutes) {
  std::string id = preparation.begin(now);
  EXPECT_TRUE(isUUID(id));
  EXPECT_EQ(id, [&] {
    std::string upper = id;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
  }());

  std::ifstream in(preparation.file());
  std::stringstream bytes;
  bytes << in.rdbuf();
  EXPECT_EQ(bytes.str(), R"({"expiresAt":"2026-01-31T08:25:00Z","id":")" + id + "\"}");
  struct stat info {};
  ASSERT_EQ(stat(preparation.file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  EXPECT_EQ(preparation.activeID(now), id);
  EXPECT_EQ(preparation.activeID(now + 599s), id);
  EXPECT_EQ(preparation.activeID(now + 600s), std::nullopt);
}

TEST_F(UpdatePreparationTest, OnlyTheNewestRequestIsActive) {
  std::string first = preparation.begin(now);
  std::string second = preparation.begin(now + 1s);
  EXPECT_NE(first, second);
  EXPECT_EQ(preparation.activeID(now + 2s), second);
}

TEST_F(UpdatePreparationTest, AnythingButAWellFormedLiveRequestIsInactive) {
  auto request = [](const std::string& id, const std::string& expiresAt) {
    return R"({"id":")" + id + R"(","expiresAt":")" + expiresAt + "\"}";
  };
  // Exactly fileLimit bytes of a valid request: the padding goes inside the JSON.
  auto padded = [&](size_t size) {
    std::string base = request(validID, "2026-01-31T08:20:00Z");
    return base.substr(0, base.size() - 1) + ",\"p\":\"" + std::string(size - base.size() - 7, 'x') + "\"}";
  };
  ASSERT_EQ(padded(1024).size(), 1024u);
  struct Case {
    const char* name;
    std::string bytes;
    bool active;
  } cases[] = {
      {"live request", request(validID, "2026-01-31T08:20:00Z"), true},
      {"lower-case id, as stored", request("8c1d3e2a-1b2c-4d3e-8f40-5a6b7c8d9e0f", "2026-01-31T08:20:00Z"), true},
      {"fractional seconds and an offset", request(validID, "2026-01-31T16:20:00.5+08:00"), true},
      {"expires in exactly the lifetime", request(validID, "2026-01-31T08:25:00Z"), true},
      {"1024 bytes", padded(1024), true},
      {"1025 bytes", padded(1025), false},
      {"expired", request(validID, "2026-01-31T08:14:59Z"), false},
      {"expires now", request(validID, "2026-01-31T08:15:00Z"), false},
      {"beyond the lifetime (clock set back)", request(validID, "2026-01-31T08:25:01Z"), false},
      // 2^64 ns after 08:20:00.29: a nanosecond count would wrap it into the lifetime.
      {"centuries ahead", request(validID, "2610-08-22T07:54:34Z"), false},
      {"id not a UUID", request("update-1", "2026-01-31T08:20:00Z"), false},
      {"id a UUID without dashes", request("8C1D3E2A1B2C4D3E8F405A6B7C8D9E0F", "2026-01-31T08:20:00Z"), false},
      {"id a number", R"({"id":7,"expiresAt":"2026-01-31T08:20:00Z"})", false},
      {"expiresAt not a time", request(validID, "in five minutes"), false},
      {"expiresAt missing", R"({"id":")" + validID + "\"}", false},
      {"not an object", "[\"" + validID + "\"]", false},
      {"truncated", request(validID, "2026-01-31T08:20:00Z").substr(0, 30), false},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plant(c.bytes);
    auto id = preparation.activeID(now);
    EXPECT_EQ(id.has_value(), c.active);
    // The id is handed on as stored, since the app compares it with what
    // prepare-update printed.
    if (id) {
      EXPECT_EQ(*id, Json::parse(c.bytes)["id"]);
    }
  }
}

TEST_F(UpdatePreparationTest, ALinkOrDirectoryInPlaceIsNoRequest) {
  test::TemporaryDirectory elsewhere;
  UpdatePreparation real(elsewhere.path());
  real.begin(now);
  fs::create_symlink(real.file(), preparation.file());
  EXPECT_EQ(preparation.activeID(now), std::nullopt);

  // Withdrawing removes the link, not the request it points to.
  preparation.cancel();
  EXPECT_FALSE(fs::exists(fs::symlink_status(preparation.file())));
  EXPECT_TRUE(real.activeID(now));

  fs::create_directory(preparation.file());
  EXPECT_EQ(preparation.activeID(now), std::nullopt);
  EXPECT_THROW(preparation.cancel(), CVError);
  EXPECT_THROW(preparation.begin(now), CVError);
}

TEST_F(UpdatePreparationTest, CancelWithdrawsAndNothingToWithdrawIsFine) {
  preparation.cancel();
  preparation.begin(now);
  preparation.cancel();
  EXPECT_FALSE(fs::exists(preparation.file()));
  EXPECT_EQ(preparation.activeID(now), std::nullopt);
  preparation.cancel();
}

TEST_F(UpdatePreparationTest, BeginFailsWhenTheDirectoryIsMissing) {
  UpdatePreparation missing(directory / "absent");
  try {
    missing.begin(now);
    ADD_FAILURE() << "expected CVError.storage";
  } catch (const CVError& error) {
    EXPECT_EQ(error.kind(), CVError::Kind::storage);
  }
}

}  // namespace
}  // namespace corvane
