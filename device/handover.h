// Records and queued calls cross from library threads to the GUI thread through Qt's posted-event
// queue, whose locks live in an uninstrumented library. This release/acquire pair states the same
// hand-over in a form that ThreadSanitizer can see: the poster calls handOver() before posting,
// the receiver takeOver() before its first look at what was posted.
#pragma once

#include <atomic>

namespace device_handover {

inline std::atomic<unsigned> counter{0};

inline void handOver() {
    counter.fetch_add(1, std::memory_order_release);
}

inline void takeOver() {
    (void)counter.load(std::memory_order_acquire);
}

}  // namespace device_handover
