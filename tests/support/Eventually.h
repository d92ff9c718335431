#pragma once

// Waits off the event loop for a condition another thread or process brings about.
#include <chrono>
#include <thread>

// Until the predicate holds, asking every `poll`; false when it still does not after `limit`.
template <class F>
bool eventually(F predicate, std::chrono::milliseconds limit = std::chrono::seconds(5),
                std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}
