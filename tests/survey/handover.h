// What the journal-writing child shares with the test that kills it: when it handed over each
// reading, on the monotonic clock both processes read.
#pragma once

#include <atomic>
#include <cstdint>

struct Handover {
    static constexpr int kCapacity = 400000;
    std::atomic<int64_t> count;  // readings handed over; reading i has timeMs == i
    int64_t at[kCapacity];       // steady-clock nanoseconds when reading i was handed over
};
