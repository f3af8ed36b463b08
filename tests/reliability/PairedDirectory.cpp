#include "reliability/PairedDirectory.h"

#include "executor/support/Json.h"
#include "support/RunResult.h"
#include "support/TestKeyring.h"

namespace corvane::test {

namespace {

// One keyring for the whole program: every test pairs under it.
const auto* keyring = ::testing::AddGlobalTestEnvironment(new KeyringEnvironment);

}  // namespace

void PairedDirectoryTest::SetUp() {
  std::filesystem::create_directories(logs);
  Json pairing = server.createPairingCode();
  RunOptions options;
  options.input = pairing["code"].get<std::string>() + "\n";
  auto result = runProgram(CORVANE_TOOL_PATH, arguments("pair"), options);
  ASSERT_EQ(result.status, 0) << result.err;
  data = std::filesystem::canonical(data);
}

std::vector<std::string> PairedDirectoryTest::arguments(const std::string& command) const {
  return {"--url",       server.httpOrigin(), "--development-loopback", "--data-dir",
          data.string(), "--codex",           FAKE_CODEX_PATH,          command};
}

}  // namespace corvane::test
