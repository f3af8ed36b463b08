#include "platform/LoginItem.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/ServiceManagerStandIn.h"
#include "support/TemporaryDirectory.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

class LoginItemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(unitTemplate.parent_path());
    std::ofstream(unitTemplate) << "[Service]\nExecStart=/bin/true service-agent\n";
  }

  LoginItem item() const { return LoginItem(unitTemplate, standIn.manager(), standIn.unitFolder()); }

  test::TemporaryDirectory bundle;
  fs::path unitTemplate = LoginItem::unitTemplate(bundle / "Corvane.app", "com.corvane.macos.staging");
  test::ServiceManagerStandIn standIn;
  const std::string unit = "com.corvane.macos.staging.executor.service";
};

TEST_F(LoginItemTest, RegisterLinksTheBundlesUnitAndUnregisterRemovesIt) {
  EXPECT_EQ(unitTemplate, bundle / "Corvane.app/Contents/Library/systemd/user" / unit);
  EXPECT_EQ(item().unitName(), unit);
  EXPECT_EQ(item().status(), LoginItemStatus::notRegistered);

  ASSERT_TRUE(item().registerService());
  EXPECT_EQ(item().status(), LoginItemStatus::enabled);
  EXPECT_EQ(fs::read_symlink(standIn.unitFolder() / unit), unitTemplate);
  EXPECT_TRUE(standIn.isActive(unit));
  EXPECT_TRUE(item().registerService()) << "registering twice is not an error";

  ASSERT_TRUE(item().unregisterService());
  EXPECT_EQ(item().status(), LoginItemStatus::notRegistered);
  EXPECT_FALSE(fs::is_symlink(standIn.unitFolder() / unit));
  EXPECT_FALSE(standIn.isActive(unit));
}

TEST_F(LoginItemTest, UnregisteringWhatWasNeverRegisteredAsksTheManagerNothingElse) {
  EXPECT_TRUE(item().unregisterService());
  for (const auto& call : standIn.calls()) EXPECT_EQ(call.find("disable"), std::string::npos) << call;
}

TEST_F(LoginItemTest, ALinkLeftByABundleThatMovedIsReplaced) {
  fs::create_directories(standIn.unitFolder());
  fs::create_symlink(bundle / "Old.app/Contents/Library/systemd/user" / unit, standIn.unitFolder() / unit);
  ASSERT_TRUE(item().registerService());
  EXPECT_EQ(fs::read_symlink(standIn.unitFolder() / unit), unitTemplate);
}

TEST_F(LoginItemTest, ABundleWithoutTheUnitIsNotFoundAndCannotRegister) {
  fs::remove(unitTemplate);
  EXPECT_EQ(item().status(), LoginItemStatus::notFound);
  EXPECT_FALSE(item().registerService());
  EXPECT_TRUE(standIn.calls().empty());
}

TEST_F(LoginItemTest, RefusalsAreFailures) {
  standIn.refuse("enable");
  EXPECT_FALSE(item().registerService());
  EXPECT_EQ(item().status(), LoginItemStatus::notRegistered);

  test::ServiceManagerStandIn other;
  LoginItem registered(unitTemplate, other.manager(), other.unitFolder());
  ASSERT_TRUE(registered.registerService());
  other.refuse("disable");
  EXPECT_FALSE(registered.unregisterService());
  EXPECT_EQ(registered.status(), LoginItemStatus::enabled);
}

}  // namespace
}  // namespace corvane::platform
