#pragma once

#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/TemporaryDirectory.h"

namespace corvane::test {

// The event loop the model's coroutines resume on.
void ensureApplication();

// Runs the event loop until task has finished, then gives its result or
// rethrows its failure. A task that never ends fails the test after a
// generous deadline (the process ends then: the task still refers to it).
template <typename T>
T finish(QCoro::Task<T> task) {
  ensureApplication();
  struct State {
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::exception_ptr error;
    bool done = false;
    QEventLoop loop;
  };
  auto state = std::make_shared<State>();
  auto wrapper = [](QCoro::Task<T> inner, std::shared_ptr<State> shared) -> QCoro::Task<> {
    try {
      if constexpr (std::is_void_v<T>) {
        co_await inner;
        shared->value = true;
      } else {
        shared->value.emplace(co_await inner);
      }
    } catch (...) {
      shared->error = std::current_exception();
    }
    shared->done = true;
    shared->loop.quit();
  };
  auto running = wrapper(std::move(task), state);
  if (!state->done) {
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &state->loop, &QEventLoop::quit);
    deadline.start(180000);
    state->loop.exec();
    if (!state->done) {
      ADD_FAILURE() << "the task did not finish";
      std::abort();
    }
  }
  if (state->error) std::rethrow_exception(state->error);
  if constexpr (!std::is_void_v<T>) return std::move(*state->value);
}

// Runs the event loop until condition holds; false when it still does not
// after a generous deadline.
bool waitUntil(const std::function<bool()>& condition);

// A stand-in corvane-mac in a folder of its own, answering as its script says.
class StandInTool {
 public:
  StandInTool();

  const std::filesystem::path& executable() const { return executable_; }
  const std::filesystem::path& folder() const { return directory_.path(); }

  // command -> one answer object or a list of them (see StandInTool.cpp).
  void script(const nlohmann::json& answers);
  // Every run so far: {"arguments", "input", "pid", "environment"}.
  std::vector<nlohmann::json> calls() const;
  // The argument lists of the runs so far, command word first.
  std::vector<std::string> commands() const;

 private:
  TemporaryDirectory directory_;
  std::filesystem::path executable_;
};

}  // namespace corvane::test
