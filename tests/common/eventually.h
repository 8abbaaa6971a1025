// Tests wait for conditions with a generous deadline, never for a fixed time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace test {

using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;

// Polls `condition` until it holds or the deadline passes.
inline bool eventually(const std::function<bool()> &condition,
                       std::chrono::milliseconds deadline = kDeadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace test
