#include "MainQueue.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace platform {

namespace {
class MainExecutor final : public Executor {
  public:
    void post(std::function<void()> task) override { MainQueue::post(std::move(task)); }
};
}  // namespace

void MainQueue::post(std::function<void()> task) {
    auto* app = QCoreApplication::instance();
    if (!app) {
        return;  // no event loop any more: the application is gone
    }
    QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
}

void MainQueue::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    auto* app = QCoreApplication::instance();
    if (!app) {
        return;
    }
    // A single-shot timer must be started from the thread that owns its context object.
    post([delay, task = std::move(task)]() mutable {
        // Precise: a coarse timer may fire up to 5 % early, and callers count on the delay as
        // a minimum (the launch window's three seconds).
        QTimer::singleShot(delay, Qt::PreciseTimer, QCoreApplication::instance(), std::move(task));
    });
}

bool MainQueue::isMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

Executor& MainQueue::executor() {
    static MainExecutor instance;
    return instance;
}

}  // namespace platform
