#include "gui/window/qt_dispatcher.hpp"

#include <QMetaObject>

namespace tolvar::gui {

QtDispatcher::QtDispatcher(QObject* context)
    : context_(context), progressTimer_(new QTimer(context)) {
  progressTimer_->setSingleShot(true);
  progressTimer_->setInterval(kProgressIntervalMs);
  QObject::connect(progressTimer_, &QTimer::timeout, context_, [this] { RunProgress(); });
}

void QtDispatcher::Queue(std::function<void()> call) {
  const int now = queued_.fetch_add(1) + 1;
  int high = highWater_.load();
  while (now > high && !highWater_.compare_exchange_weak(high, now)) {
  }
  QMetaObject::invokeMethod(
      context_,
      [this, call = std::move(call)] {
        queued_.fetch_sub(1);
        call();
      },
      Qt::QueuedConnection);
}

void QtDispatcher::Post(std::function<void()> call) {
  // Progress not yet shown was reported before this call: it goes first.
  std::vector<std::function<void()>> earlier = progress_.Take();
  if (earlier.empty()) {
    Queue(std::move(call));
    return;
  }
  Queue([earlier = std::move(earlier), call = std::move(call)] {
    for (const auto& progress : earlier) progress();
    call();
  });
}

void QtDispatcher::PostLatest(std::string_view channel, std::function<void()> call) {
  if (!progress_.Store(channel, std::move(call))) return;  // a hand-over is due already
  // The first progress since the last hand-over starts the interval.
  QMetaObject::invokeMethod(
      progressTimer_,
      [timer = progressTimer_] {
        if (!timer->isActive()) timer->start();
      },
      Qt::QueuedConnection);
}

void QtDispatcher::RunProgress() {
  for (const auto& call : progress_.Take()) call();
}

ThreadWorkerStarter::~ThreadWorkerStarter() { JoinAll(); }

void ThreadWorkerStarter::Start(std::function<void()> body) {
  const std::lock_guard lock(mutex_);
  threads_.emplace_back(std::move(body));
}

void ThreadWorkerStarter::JoinAll() {
  std::vector<std::thread> threads;
  {
    const std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}

}  // namespace tolvar::gui
