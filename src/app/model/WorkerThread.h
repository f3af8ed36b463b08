#pragma once

#include <QAbstractEventDispatcher>
#include <QMetaObject>
#include <QThread>

#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <thread>
#include <utility>

namespace corvane::app {

// An awaitable that runs blocking work on a thread of its own and resumes
// the awaiting coroutine on the awaiting thread's event loop, through a
// queued call to that thread's event dispatcher. A future or thread-pool
// signal is not enough here: a coroutine resumed on the worker thread would
// run the model's code off the main thread.
template <typename T>
class WorkerThread {
 public:
  explicit WorkerThread(std::function<T()> work) : work_(std::move(work)) {}

  // A thread without an event loop could never be resumed: the work runs
  // right there instead.
  bool await_ready() {
    context_ = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (context_) return false;
    perform();
    return true;
  }

  void await_suspend(std::coroutine_handle<> awaiting) {
    std::thread([this, awaiting] {
      perform();
      QMetaObject::invokeMethod(
          context_, [awaiting] { awaiting.resume(); }, Qt::QueuedConnection);
    }).detach();
  }

  T await_resume() {
    if (error_) std::rethrow_exception(error_);
    if constexpr (!std::is_void_v<T>) return std::move(*value_);
  }

 private:
  void perform() {
    try {
      if constexpr (std::is_void_v<T>) {
        work_();
      } else {
        value_.emplace(work_());
      }
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  using Stored = std::conditional_t<std::is_void_v<T>, bool, T>;
  std::function<T()> work_;
  std::optional<Stored> value_;
  std::exception_ptr error_;
  QObject* context_ = nullptr;
};

}  // namespace corvane::app
