#pragma once

#include <functional>

namespace platform {

// Something that runs closures later, in order: a serial queue or the main thread.
class Executor {
  public:
    virtual ~Executor() = default;
    virtual void post(std::function<void()> task) = 0;
};

}  // namespace platform
