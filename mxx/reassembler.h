// Turns a byte stream into frames: hunts for "BRNO", checks the header, collects the payload and
// checks it. Corrupt input is dropped silently and hunting restarts. A pure state machine: no
// I/O, no allocation per frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame.h"

struct mxx_reassembler {
    uint8_t frame[MXX_FRAME_BUFFER_SIZE];
    int position = 0;  // bytes of the current frame stored; 0 = hunting for "B"
    int expected = 0;  // length field of the current frame, 0 until the header is accepted
    int received = 0;  // payload bytes (check byte included) stored so far

    void reset() { position = expected = received = 0; }
};

// Called with each complete frame (valid only during the call) and its size (12 + length).
using mxx_frame_sink = void (*)(void *context, uint8_t *frame, int size);

// Feeds bytes; calls `sink` for every frame they complete.
void mxx_reassemble(mxx_reassembler &r, const uint8_t *data, size_t n, mxx_frame_sink sink,
                    void *context);
