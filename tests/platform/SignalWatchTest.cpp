#include "platform/SignalWatch.h"

#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ChildProcess.h"
#include "platform/Clock.h"

namespace corvane::platform {
namespace {

TEST(SignalWatchTest, TurnsSignalsIntoEventsInsteadOfTheirEffect) {
  using Event = SignalWatch::Event;
  struct Case {
    std::string name;
    std::vector<int> raised;
    Event expected;
  };
  // 33 is one of the C library's own signals; its default ends a process too.
  const std::vector<Case> cases = {
      {"nothing", {}, Event::none},
      {"a child", {SIGCHLD}, Event::childChanged},
      {"a hang-up", {SIGHUP}, Event::termination},
      {"a child and SIGTERM", {SIGCHLD, SIGTERM}, Event::termination},
      {"SIGUSR2", {SIGUSR2}, Event::termination},
      {"a real-time signal", {SIGRTMAX}, Event::termination},
      {"the library's own", {33}, Event::termination},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto watch = SignalWatch::start();
    ASSERT_TRUE(watch);
    // kill, since raise refuses the library's own signals.
    for (int signal : c.raised) kill(getpid(), signal);
    EXPECT_EQ(watch->wait(c.raised.empty() ? 0.01 : 5), c.expected);
    EXPECT_EQ(watch->wait(0), Event::none) << "the first wait takes all that arrived";
  }
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGHUP), 0) << "the mask of before is back";
}

// Starting a child must leave the watch's mask alone, the C library's own
// signals included, whichever way the child is started.
TEST(SignalWatchTest, StartingChildrenKeepsEverySignalWatched) {
  auto watch = SignalWatch::start();
  ASSERT_TRUE(watch);
  for (bool diesWithParent : {false, true}) {
    SCOPED_TRACE(diesWithParent ? "dies with its parent" : "spawned");
    SpawnPlan plan;
    plan.program = "/bin/true";
    plan.arguments = {"true"};
    plan.diesWithParent = diesWithParent;
    auto child = ChildProcess::spawn(plan);
    ASSERT_TRUE(child);
    ASSERT_TRUE(child->wait(continuousSeconds() + 20));
    EXPECT_EQ(watch->wait(5), SignalWatch::Event::childChanged);
    for (int signal : {SIGTERM, 32, 33}) {
      kill(getpid(), signal);
      EXPECT_EQ(watch->wait(5), SignalWatch::Event::termination) << signal;
    }
  }
}

}  // namespace
}  // namespace corvane::platform
