#include "ExecRun.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "Actions.h"
#include "LineWriter.h"
#include "RuntimeTexts.h"

namespace corvane::fakecodex {

namespace {

Json item(int number, const char* type, Json fields) {
  Json value{{"id", "item_" + std::to_string(number)}, {"type", type}};
  for (auto& [key, member] : fields.items()) value[key] = member;
  return value;
}

Json event(const char* type, const char* key = nullptr, Json value = Json()) {
  Json e{{"type", type}};
  if (key) e[key] = std::move(value);
  return e;
}

}  // namespace

int runExec(FakeHome& home, const std::string& model) {
  int count = home.countCall("exec");
  Json script = FakeHome::pick(home.setting("exec"), count);
  if (!script.is_object()) script = Json::object();

  bool keyringUnavailable = home.setting("keyring") == "unavailable";
  bool offline = home.setting("network") == "offline";
  bool signedIn = !keyringUnavailable && home.signedInAccount().has_value();
  std::string outcome = script.value("outcome", "");
  if (outcome.empty()) outcome = keyringUnavailable ? "keyring" : offline ? "offline" : signedIn ? "ok" : "failed";

  // Loading the credentials comes first: this failure leaves standard input unread.
  if (outcome == "keyring") {
    std::fprintf(stderr, "failed to load CLI auth from keyring: %s\n", keyringCause);
    return 1;
  }

  // The real runtime appends whatever arrives on a non-terminal standard input to the prompt, so it
  // waits for end of file before it starts.
  if (!isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "Reading additional input from stdin...\n");
    char buffer[65536];
    for (;;) {
      ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
    }
  }
  LineWriter out;
  Actions(out).perform(script.value("before", Json()));
  long long pause = script.value("pauseMs", 0LL);
  auto emit = [&](const Json& e) {
    out.line(e);
    sleepMilliseconds(pause);
  };

  if (auto events = script.find("events"); events != script.end() && events->is_array()) {
    for (const auto& e : *events) emit(e);
    if (script.value("hang", false)) freeze();
    return script.value("exitCode", 0);
  }

  emit(event("thread.started", "thread_id", randomUuid()));
  if (script.value("modelWarning", true))
    emit(event("item.completed", "item",
               item(0, "error",
                    {{"message", "Model metadata for `" + model +
                                     "` not found. Defaulting to fallback metadata; this can degrade "
                                     "performance and cause issues."}})));
  emit(event("turn.started"));
  sleepMilliseconds(script.value("delayMs", 0LL));

  std::string text = script.value("text", "OK");
  std::string reasoning = script.value("reasoning", "**Answering** the request");
  Json usage{{"input_tokens", 11},
             {"cached_input_tokens", 3},
             {"cache_write_input_tokens", 0},
             {"output_tokens", 7},
             {"reasoning_output_tokens", 2}};
  if (outcome == "ok" || outcome == "reasoningOnly" || outcome == "tool") {
    emit(event("item.completed", "item", item(1, "reasoning", {{"text", reasoning}})));
    if (outcome == "tool") {
      Json command{{"command", "/bin/bash -lc ls"},
                   {"aggregated_output", ""},
                   {"exit_code", nullptr},
                   {"status", "in_progress"}};
      emit(event("item.started", "item", item(2, "command_execution", command)));
      command["aggregated_output"] = "";
      command["exit_code"] = 0;
      command["status"] = "completed";
      emit(event("item.completed", "item", item(2, "command_execution", command)));
    }
    if (outcome != "reasoningOnly")
      emit(event("item.completed", "item", item(outcome == "tool" ? 3 : 2, "agent_message", {{"text", text}})));
    emit(event("turn.completed", "usage", usage));
    return 0;
  }
  if (outcome == "failed") {
    std::string message = script.value(
        "message", signedIn ? std::string("stream disconnected before completion: the model stream failed")
                            : std::string("unexpected status 401 Unauthorized: Missing bearer or basic authentication "
                                          "in header, url: https://api.openai.com/v1/responses"));
    emit(event("error", "message", message));
    emit(event("turn.failed", "error", Json{{"message", message}}));
    return 1;
  }
  if (outcome == "offline") {
    // Without network the real runtime keeps retrying and never ends by itself.
    long long interval = script.value("reconnectIntervalMs", 10000LL);
    for (;;) {
      emit(event("error", "message", "Reconnecting... waiting for network (Connection failed: error sending request)"));
      sleepMilliseconds(interval);
    }
  }
  if (outcome == "hang") freeze();
  std::fprintf(stderr, "fake-codex: unknown exec outcome \"%s\"\n", outcome.c_str());
  return 1;
}

}  // namespace corvane::fakecodex
