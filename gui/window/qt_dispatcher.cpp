#include "gui/window/qt_dispatcher.hpp"

#include <QMetaObject>

namespace tolvar::gui {

void QtDispatcher::Post(std::function<void()> call) {
  QMetaObject::invokeMethod(context_, std::move(call), Qt::QueuedConnection);
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
