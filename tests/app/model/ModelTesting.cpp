#include "app/model/ModelTesting.h"

#include <QElapsedTimer>

#include <fstream>

namespace corvane::test {

void ensureApplication() {
  if (QCoreApplication::instance()) return;
  static int argc = 1;
  static char name[] = "model-test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication application(argc, argv);
}

bool waitUntil(const std::function<bool()>& condition) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!condition()) {
    if (elapsed.elapsed() > 120000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
  }
  return true;
}

namespace {

// The application exists before any test creates a task, so that every
// task suspends on its event loop.
class ApplicationEnvironment : public testing::Environment {
 public:
  void SetUp() override { ensureApplication(); }
};

[[maybe_unused]] testing::Environment* const applicationEnvironment =
    testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

}  // namespace

StandInTool::StandInTool() : executable_(directory_.path() / "corvane-mac") {
  std::filesystem::create_symlink(STAND_IN_TOOL_PATH, executable_);
  script(nlohmann::json::object());
}

void StandInTool::script(const nlohmann::json& answers) {
  // A list of answers starts from its first one with every new script.
  nlohmann::json base = nlohmann::json::object();
  for (const auto& command : commands()) base[command] = base.value(command, 0) + 1;
  nlohmann::json whole = {{"answers", answers}, {"base", base}};
  std::ofstream(directory_.path() / "script.json", std::ios::trunc) << whole.dump();
}

std::vector<nlohmann::json> StandInTool::calls() const {
  std::vector<nlohmann::json> found;
  std::ifstream file(directory_.path() / "calls.jsonl");
  for (std::string line; std::getline(file, line);) found.push_back(nlohmann::json::parse(line));
  return found;
}

std::vector<std::string> StandInTool::commands() const {
  std::vector<std::string> found;
  for (const auto& call : calls()) found.push_back(call["arguments"].empty() ? "" : call["arguments"][0]);
  return found;
}

}  // namespace corvane::test
