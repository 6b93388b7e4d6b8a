// Waiting on a test's main thread while the engine's main-thread calls keep
// running: a deadlock fails the test instead of hanging it.
#pragma once

#include <chrono>

#include "base/MainThreadQueue.h"

namespace sonorix::test {

template <typename Pred>
bool drain_until(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        MainThreadQueue::Instance().WaitAndDrain(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace sonorix::test
