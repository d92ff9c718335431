#pragma once

#include "Executor.h"

#include <chrono>
#include <functional>

namespace platform {

// The main thread's queue: closures run on the Qt event loop of the application object.
class MainQueue {
  public:
    static void post(std::function<void()> task);
    static void postAfter(std::chrono::milliseconds delay, std::function<void()> task);
    static bool isMainThread();
    // The main queue seen as an Executor, for Single::receiveOn and the like.
    static Executor& executor();
};

}  // namespace platform
