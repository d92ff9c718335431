#pragma once

// Runs the main thread's event loop from a test, for work handed to the main queue.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

// Until the predicate holds; false when it still does not after limitMs.
template <class F>
bool pumpUntil(F predicate, int limitMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!predicate()) {
        if (timer.elapsed() > limitMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        // processEvents leaves deleteLater() to the loop it was called in; a test has none.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

inline void pumpFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
}
