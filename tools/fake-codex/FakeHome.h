#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace corvane::fakecodex {

// Ordered so that what the fake prints keeps the member order the real runtime uses.
using Json = nlohmann::ordered_json;

// The runtime cannot work at all (unusable home, broken scenario): main prints it and exits 1.
struct FatalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The runtime's state directory (CODEX_HOME). Like the real runtime, everything that differs between
// accounts lives here, because the runtime is started with a clean environment:
//   fake-codex.json               the scenario that scripts this account (read once at start)
//   auth.json                     the sign-in state; written by a successful sign-in, removed by sign-out
//   fake-codex-calls.json         how often each method was called, across runs
//   fake-codex-invocations.jsonl  one line per start: arguments, environment, directory, descriptors,
//                                 the config.toml the runtime found
//   fake-codex-received.jsonl     every line the client sent
// Files are written through a temporary file and a rename, mode 0600. One runtime per home at a time.
class FakeHome {
 public:
  // CODEX_HOME, or ~/.codex when it is unset (as the real runtime does).
  static FakeHome fromEnvironment();
  explicit FakeHome(std::filesystem::path directory);

  const std::filesystem::path& directory() const { return directory_; }
  // The scenario object; empty when there is no scenario file.
  const Json& scenario() const { return scenario_; }
  // A scenario member, or null.
  Json setting(const char* name) const;

  // The signed-in ChatGPT account (email, planType, userId, chatgptAccountId, workspaceName), if any.
  std::optional<Json> signedInAccount() const;
  void signIn(const Json& account);
  void signOut();

  // Counts one more call of name and returns its number (1 for the first call ever in this home).
  int countCall(const std::string& name);
  // A file of the home as text; nothing when it is absent, not a regular file, or a link.
  std::optional<std::string> readText(const std::string& file) const;
  // Appends one JSON line to a log file in the home.
  void record(const std::string& file, const Json& entry);

  // The entry to use for the count-th call: an array is indexed by call (its last element repeats),
  // anything else is used for every call.
  static Json pick(const Json& entry, int count);

 private:
  std::filesystem::path directory_;
  Json scenario_ = Json::object();
};

// The built-in account that a sign-in produces unless the scenario names another.
Json defaultAccount();

}  // namespace corvane::fakecodex
