#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/progress_coalescer.hpp"
#include "app/wizard_view.hpp"

namespace tolvar::gui {

// Carries calls from any thread into the Qt event loop of the thread that
// owns `context`: each call is a queued call, run in the order posted. Post
// never waits. Calls still queued when `context` is destroyed are dropped.
// Progress calls are coalesced per channel and handed over at most every
// kProgressInterval, so the window draws between them.
class QtDispatcher final : public Dispatcher {
 public:
  static constexpr int kProgressIntervalMs = 50;

  explicit QtDispatcher(QObject* context);
  void Post(std::function<void()> call) override;
  void PostLatest(std::string_view channel, std::function<void()> call) override;

  // The most calls that were queued and not yet run at one time.
  [[nodiscard]] int HighWater() const { return highWater_.load(); }
  [[nodiscard]] int Queued() const { return queued_.load(); }

 private:
  void Queue(std::function<void()> call);
  void RunProgress();

  QObject* context_;
  QTimer* progressTimer_;
  ProgressCoalescer progress_;
  std::atomic<int> queued_{0};
  std::atomic<int> highWater_{0};
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
