#include "frame.h"

#include <cstring>

uint8_t mxx_xor(const uint8_t *bytes, size_t n) {
    // Eight bytes at a time: the check byte is the XOR of all payload bytes, and payloads reach
    // 64 KB.
    uint64_t wide = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, bytes + i, 8);
        wide ^= w;
    }
    uint8_t x = 0;
    for (int s = 0; s < 64; s += 8)
        x ^= static_cast<uint8_t>(wide >> s);
    for (; i < n; ++i)
        x ^= bytes[i];
    return x;
}

int mxx_build_frame(uint8_t *out, uint16_t code, uint16_t param, uint8_t status,
                    const void *payload, uint16_t payload_len) {
    std::memcpy(out, "BRNO", 4);
    mxx_put16(out + 4, code);
    mxx_put16(out + 6, static_cast<uint16_t>(payload_len + 1));
    mxx_put16(out + 8, param);
    out[10] = status;
    out[11] = mxx_xor(out, 11);
    if (payload_len) std::memcpy(out + MXX_HEADER_SIZE, payload, payload_len);
    out[MXX_HEADER_SIZE + payload_len] = mxx_xor(out + MXX_HEADER_SIZE, payload_len);
    return payload_len + MXX_FRAME_OVERHEAD;
}
