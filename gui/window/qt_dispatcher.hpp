#pragma once

#include <QObject>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/wizard_view.hpp"

namespace tolvar::gui {

// Carries calls from any thread into the Qt event loop of the thread that
// owns `context`: each call is a queued call, run in the order posted. Post
// never waits. Calls still queued when `context` is destroyed are dropped.
class QtDispatcher final : public Dispatcher {
 public:
  explicit QtDispatcher(QObject* context) : context_(context) {}
  void Post(std::function<void()> call) override;

 private:
  QObject* context_;
};

// Runs each worker body on a thread of its own. The owner stops the work
// first (the stop flag) and then destroys this, which waits for the threads.
class ThreadWorkerStarter final : public WorkerStarter {
 public:
  ThreadWorkerStarter() = default;
  ~ThreadWorkerStarter() override;
  ThreadWorkerStarter(const ThreadWorkerStarter&) = delete;
  ThreadWorkerStarter& operator=(const ThreadWorkerStarter&) = delete;

  void Start(std::function<void()> body) override;
  void JoinAll();

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

}  // namespace tolvar::gui
