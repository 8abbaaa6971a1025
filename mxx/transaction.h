// The examining step of a command transaction, apart so that its precedence rules can be tested
// without a link.
#pragma once

#include <cstdint>

enum class mxx_verdict { none, success, failure, retry };

struct mxx_answer {
    mxx_verdict verdict = mxx_verdict::none;
    const uint8_t *frame = nullptr;  // the answer used, when any
    int length = 0;
};

// Picks the answer of one wait: a response before a refusal before a retry.
// `frames[i]` holds `lengths[i]` received bytes of slot i (0 = nothing received).
mxx_answer mxx_examine(const uint8_t *const frames[3], const int lengths[3]);

// Size of the response slot a transaction arms.
constexpr int MXX_RESPONSE_SLOT_SIZE = 65535;
constexpr int MXX_CONTROL_SLOT_SIZE = 1024;
