#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace corvane::test {

// How big a run is and which random moments it picks, from the environment
// scripts/reliability sets: CORVANE_RELIABILITY_SHORT=1 for the short run CI
// makes, CORVANE_RELIABILITY_SEED to replay a run, CORVANE_RELIABILITY_TASKS
// for the length of the task stream.
struct ReliabilitySettings {
  bool shortRun = false;
  uint64_t seed = 0;
  int tasks = 200;

  static const ReliabilitySettings& current();
};

// A random source seeded from the run's seed and the name of its user, so
// that each test's moments replay on their own, whatever else ran before.
std::mt19937_64 randomSource(const std::string& name);

// What one fault test did, for the summary at the end of the run.
struct ReliabilityFigures {
  std::string test;
  int runs = 0;        // processes started (or in-process runs)
  int iterations = 0;  // tasks, files or rounds gone through
  int faults = 0;      // faults injected
  std::vector<std::string> notes;
};

// Keeps figures for the summary, printed when the test program ends, and
// appends them as one JSON line to the file CORVANE_RELIABILITY_SUMMARY
// names, if any.
void report(const ReliabilityFigures& figures);

}  // namespace corvane::test
