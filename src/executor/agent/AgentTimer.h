#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/Clock.h"

namespace corvane {

// Time and chance as the agent sees them, handed in at construction so that a
// test can check every delay and deadline without waiting for it.
class AgentTimer {
 public:
  // What a wait is for: the sync loop's wait between synchronisations, or a
  // worker thread's pause between passes.
  enum class Wait { sync, worker };

  virtual ~AgentTimer() = default;

  // The clocks of every deadline, back-off and stamp of the agent.
  virtual const platform::Clock& clock() const = 0;

  // A factor drawn uniformly from [0.8, 1.2] that spreads retry delays.
  virtual double jitter() = 0;

  // Blocks on condition, whose mutex the caller holds through lock, until
  // done() is true or seconds have passed; returns at once when done() is
  // already true. done() is evaluated with the lock held; a wake that does
  // not make it true may end the wait early.
  virtual void wait(Wait kind, std::condition_variable& condition, std::unique_lock<std::mutex>& lock, double seconds,
                    const std::function<bool()>& done) = 0;
};

// The machine's clocks, the system's random generator and real waits; shared
// by the whole process.
AgentTimer& systemAgentTimer();

}  // namespace corvane
