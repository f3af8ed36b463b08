#include "reliability/ReliabilityRun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>

#include "executor/support/Json.h"

namespace corvane::test {

namespace {

std::mutex figuresMutex;
std::vector<ReliabilityFigures>& collected() {
  static std::vector<ReliabilityFigures> figures;
  return figures;
}

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

ReliabilitySettings read() {
  ReliabilitySettings settings;
  settings.shortRun = variable("CORVANE_RELIABILITY_SHORT").value_or("0") == "1";
  settings.tasks = settings.shortRun ? 20 : 200;
  if (auto tasks = variable("CORVANE_RELIABILITY_TASKS")) settings.tasks = std::max(5, std::stoi(*tasks));
  if (auto seed = variable("CORVANE_RELIABILITY_SEED"))
    settings.seed = std::stoull(*seed);
  else
    settings.seed = std::random_device()();
  return settings;
}

// Prints the settings first, so a failing run can be replayed, and the
// summary of every fault test last.
class SummaryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const auto& settings = ReliabilitySettings::current();
    std::cout << "reliability: seed " << settings.seed << ", " << settings.tasks << " tasks"
              << (settings.shortRun ? ", short run" : "") << " (replay with CORVANE_RELIABILITY_SEED=" << settings.seed
              << ")\n";
  }
  void TearDown() override {
    std::lock_guard guard(figuresMutex);
    if (collected().empty()) return;
    std::cout << "reliability summary (seed " << ReliabilitySettings::current().seed << "):\n";
    for (const auto& figures : collected()) {
      std::cout << "  " << figures.test << ": " << figures.runs << " runs, " << figures.iterations << " iterations, "
                << figures.faults << " faults injected\n";
      for (const auto& note : figures.notes) std::cout << "    " << note << "\n";
    }
  }
};

const auto* summary = ::testing::AddGlobalTestEnvironment(new SummaryEnvironment);

}  // namespace

const ReliabilitySettings& ReliabilitySettings::current() {
  static const ReliabilitySettings settings = read();
  return settings;
}

std::mt19937_64 randomSource(const std::string& name) {
  return std::mt19937_64(ReliabilitySettings::current().seed ^ std::hash<std::string>()(name));
}

void report(const ReliabilityFigures& figures) {
  std::lock_guard guard(figuresMutex);
  collected().push_back(figures);
  if (auto path = variable("CORVANE_RELIABILITY_SUMMARY")) {
    std::ofstream file(*path, std::ios::app);
    file << Json{{"test", figures.test},     {"seed", ReliabilitySettings::current().seed},
                 {"runs", figures.runs},     {"iterations", figures.iterations},
                 {"faults", figures.faults}, {"notes", figures.notes}}
                .dump()
         << "\n";
  }
}

}  // namespace corvane::test
