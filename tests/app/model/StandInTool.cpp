// A stand-in for corvane-mac, started by the model's tests under that name.
// Beside the name it was started by lie "script.json", which says what each
// command word answers ({"answers": {...}, "base": {command: runs before the
// script was written}}), and "calls.jsonl", where every run appends its
// arguments, its standard input and its process identifier. The script maps a
// command word to one answer or a list of them, used in turn (the last one
// repeats):
//   {"stdout": text, "stderr": text, "exit": status, "sleep": seconds,
//    "ignoreTerm": true, "repeat": bytes of "x" printed, "skipInput": true}

#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

int main(int argc, char** argv) {
  fs::path folder = fs::path(argv[0]).parent_path();
  json whole = json::parse(std::ifstream(folder / "script.json"), nullptr, false);
  json script = whole.is_object() ? whole.value("answers", json::object()) : json::object();
  std::string command = argc > 1 ? argv[1] : "";

  int previousRuns = 0;
  {
    std::ifstream calls(folder / "calls.jsonl");
    for (std::string line; std::getline(calls, line);) {
      json call = json::parse(line, nullptr, false);
      if (call.is_object() && !call["arguments"].empty() && call["arguments"][0] == command) ++previousRuns;
    }
    if (whole.is_object() && whole.contains("base")) previousRuns -= whole["base"].value(command, 0);
  }
  json answer = json::object();
  if (script.is_object() && script.contains(command)) {
    const json& entry = script[command];
    if (entry.is_array() && !entry.empty())
      answer = entry[std::min<std::size_t>(previousRuns, entry.size() - 1)];
    else if (entry.is_object())
      answer = entry;
  } else {
    answer = {{"stderr", "no answer scripted for " + command}, {"exit", 2}};
  }

  if (answer.value("ignoreTerm", false)) signal(SIGTERM, SIG_IGN);
  std::string input;
  if (!answer.value("skipInput", false)) {
    std::stringstream all;
    all << std::cin.rdbuf();
    input = all.str();
  }
  json call = {{"arguments", json::array()}, {"input", input}, {"pid", getpid()}};
  for (int i = 1; i < argc; ++i) call["arguments"].push_back(argv[i]);
  call["environment"] = json::object();
  for (char** variable = environ; *variable; ++variable) {
    std::string text = *variable;
    auto equals = text.find('=');
    call["environment"][text.substr(0, equals)] = equals == std::string::npos ? "" : text.substr(equals + 1);
  }
  std::ofstream(folder / "calls.jsonl", std::ios::app) << call.dump() << "\n" << std::flush;

  if (answer.contains("sleep"))
    std::this_thread::sleep_for(std::chrono::duration<double>(answer["sleep"].get<double>()));
  if (answer.contains("repeat")) std::cout << std::string(answer["repeat"].get<std::size_t>(), 'x');
  std::cout << answer.value("stdout", "") << std::flush;
  std::cerr << answer.value("stderr", "") << std::flush;
  return answer.value("exit", 0);
}
