#include "Actions.h"

#include <cstdio>
#include <cstdlib>

namespace corvane::fakecodex {

namespace {

Json substituteId(const Json& value, const Json& requestId) {
  if (value.is_string() && value.get<std::string>() == "$requestId") return requestId;
  if (value.is_structured()) {
    Json copy = value;
    for (auto& item : copy) item = substituteId(item, requestId);
    return copy;
  }
  return value;
}

std::string substituteId(std::string text, const Json& requestId) {
  const std::string marker = "$requestId";
  std::string id = requestId.dump();
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + id.size()))
    text.replace(at, marker.size(), id);
  return text;
}

std::string paddedLine(size_t size) {
  std::string head = R"({"method":"fake/padding","params":{"padding":")";
  std::string tail = R"("}})";
  if (size < head.size() + tail.size()) return std::string(size, 'x');
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

}  // namespace

void Actions::perform(const Json& actions, const Json& requestId) {
  if (actions.is_object()) return performOne(actions, requestId);
  if (!actions.is_array()) return;
  for (const auto& action : actions) performOne(action, requestId);
}

void Actions::performOne(const Json& action, const Json& requestId) {
  if (!action.is_object()) {
    std::fprintf(stderr, "fake-codex: ignoring action that is not an object: %s\n", action.dump().c_str());
    return;
  }
  bool newline = action.value("newline", true);
  if (auto it = action.find("notification"); it != action.end() && it->is_string()) {
    out_.notification(it->get<std::string>(), substituteId(action.value("params", Json::object()), requestId));
  } else if (auto request = action.find("serverRequest"); request != action.end() && request->is_string()) {
    Json id = action.contains("id") ? action["id"] : Json(nextServerRequestId_++);
    Json message{{"id", id}, {"method", *request}};
    if (action.contains("params")) message["params"] = action["params"];
    out_.line(message);
  } else if (action.contains("line")) {
    out_.line(substituteId(action["line"], requestId));
  } else if (auto text = action.find("raw"); text != action.end() && text->is_string()) {
    out_.raw(substituteId(text->get<std::string>(), requestId) + (newline ? "\n" : ""));
  } else if (auto size = action.find("oversized"); size != action.end() && size->is_number_unsigned()) {
    out_.raw(paddedLine(size->get<size_t>()) + (newline ? "\n" : ""));
  } else if (auto chunks = action.find("chunks"); chunks != action.end() && chunks->is_array()) {
    long long pause = action.value("pauseMs", 50LL);
    bool first = true;
    for (const auto& chunk : *chunks) {
      if (!chunk.is_string()) continue;
      if (!first) sleepMilliseconds(pause);
      first = false;
      out_.raw(substituteId(chunk.get<std::string>(), requestId));
    }
  } else if (auto pause = action.find("sleepMs"); pause != action.end() && pause->is_number()) {
    sleepMilliseconds(pause->get<long long>());
  } else if (action.value("closeStdout", false)) {
    out_.close();
  } else if (auto status = action.find("exit"); status != action.end() && status->is_number_integer()) {
    std::_Exit(status->get<int>());
  } else if (action.value("freeze", false)) {
    freeze();
  } else {
    std::fprintf(stderr, "fake-codex: ignoring unknown action %s\n", action.dump().c_str());
  }
}

}  // namespace corvane::fakecodex
