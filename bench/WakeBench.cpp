// How long a wake takes to become a synchronisation: the development
// coordinator sends {"type": "wake"} on the agent's WebSocket, and the clock
// stops when the agent has finished the synchronisation that follows (its
// health is published at the end of every one). The agent otherwise waits
// 30 s between synchronisations, so every one measured here is a wake's.
//
//   corvane-wake-bench [--wakes N]   (default 50)

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dev-coordinator/testing/DevCoordinator.h"
#include "executor/agent/Agent.h"
#include "executor/coordinator/CoordinatorClient.h"
#include "executor/state/Journal.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Syncs {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;

  void add() {
    {
      std::lock_guard guard(mutex);
      ++count;
    }
    changed.notify_all();
  }
  int current() {
    std::lock_guard guard(mutex);
    return count;
  }
  bool waitBeyond(int seen, std::chrono::seconds limit) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, limit, [&] { return count > seen; });
  }
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  int wakes = 50;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--wakes") == 0) wakes = std::max(1, std::atoi(argv[i + 1]));

  corvane::test::DevCoordinator coordinator;
  std::string code = coordinator.createPairingCode()["code"];
  corvane::CoordinatorClient unpaired(coordinator.httpOrigin(), std::nullopt, true);
  std::string token = unpaired.post("/v1/executor/pair", {{"code", code}, {"name", "wake bench"}})["token"];
  corvane::CoordinatorClient client(coordinator.httpOrigin(), token, true);

  char scratch[] = "/tmp/corvane-wake-bench-XXXXXX";
  if (!mkdtemp(scratch)) return 1;
  std::string directory = scratch;
  Syncs syncs;
  {
    corvane::Journal journal(directory + "/agent.sqlite3");
    corvane::AgentHooks hooks;
    hooks.onHealth = [&](const corvane::AgentHealth&) { syncs.add(); };
    corvane::Agent agent(client, journal, hooks);
    std::thread loop([&] { agent.run(); });

    // Connected: the first pong has come, the loop has slowed to 30 s.
    while (coordinator.control("wake/status")["open"] != 1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<double> milliseconds;
    for (int i = 0; i < wakes; ++i) {
      int seen = syncs.current();
      auto start = Clock::now();
      coordinator.control("wake");
      if (!syncs.waitBeyond(seen, std::chrono::seconds(10))) {
        std::fprintf(stderr, "wake %d brought no synchronisation within 10 s\n", i + 1);
        agent.stop();
        loop.join();
        return 1;
      }
      milliseconds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      // Let the loop settle back into its wait before the next wake.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    agent.stop();
    loop.join();
    std::printf("wake to synchronisation over %d wakes: median %.2f ms, fastest %.2f ms, slowest %.2f ms\n", wakes,
                median(milliseconds), *std::min_element(milliseconds.begin(), milliseconds.end()),
                *std::max_element(milliseconds.begin(), milliseconds.end()));
    double figure = median(milliseconds);
    std::printf("row\twake -> sync (median of %d)\t%.2f ms\t-\t-\t<= 20 ms\t%s\n", wakes, figure,
                figure <= 20 ? "pass" : "FAIL");
  }
  std::system(("rm -rf '" + directory + "'").c_str());
  return 0;
}
