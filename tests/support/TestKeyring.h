#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/TemporaryDirectory.h"

namespace corvane::test {

// A throwaway keyring: a private D-Bus session bus with a gnome-keyring
// Secret Service on it whose default ("login") collection is new and
// unlocked, all under a temporary home. The user's own session bus and
// keyring are never contacted. Both daemons are stopped when the object goes
// away. Throws std::runtime_error when either cannot be started.
class TestKeyring {
 public:
  TestKeyring();
  ~TestKeyring();
  TestKeyring(const TestKeyring&) = delete;
  TestKeyring& operator=(const TestKeyring&) = delete;

  // The address for DBUS_SESSION_BUS_ADDRESS.
  const std::string& busAddress() const { return address_; }

  // Locks the default collection, as a screen lock or the user would; from
  // then on storing anything in it needs an unlock prompt. Throws
  // std::runtime_error when the keyring refuses.
  void lockDefaultCollection();

 private:
  TemporaryDirectory directory_;
  std::string address_;
  pid_t bus_ = -1;
  pid_t keyring_ = -1;
};

// One TestKeyring for the whole test program, with DBUS_SESSION_BUS_ADDRESS of
// this process (and so of every child it starts) pointing at it. Register it
// in a test file that needs the keyring:
//   const auto* keyring = ::testing::AddGlobalTestEnvironment(new corvane::test::KeyringEnvironment);
class KeyringEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;

 private:
  std::unique_ptr<TestKeyring> keyring_;
};

}  // namespace corvane::test
