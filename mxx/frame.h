// MXX frames: a 12-byte header opening with "BRNO", then the payload closed by a check byte.
// All multi-byte fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
// A received frame exactly as on the wire; the payload starts at offset 12.
struct MXX_frame {
    char magic[4];
    uint16_t code;
    uint16_t length;  // payload bytes + 1 (the check byte); 0 = no payload part at all
    uint16_t param;
    uint8_t status;
    uint8_t header_check;  // XOR of bytes 0-10
    uint8_t data[1];       // payload, then the payload check byte
};
#pragma pack(pop)

constexpr int MXX_HEADER_SIZE = 12;
constexpr int MXX_FRAME_OVERHEAD = 13;  // header + payload check byte
// The length field counts the check byte too, so a payload of 65535 bytes cannot be described.
constexpr int MXX_MAX_PAYLOAD = 65534;
constexpr int MXX_FRAME_BUFFER_SIZE = 65540;  // a frame being assembled
constexpr int MXX_MAX_LENGTH_FIELD = MXX_FRAME_BUFFER_SIZE - MXX_HEADER_SIZE;  // 65528

constexpr uint16_t MXX_RESPONSE_OFFSET = 1000;  // a response's code: command code + 1000
constexpr uint16_t MXX_CODE_RETRY = 0x3001;
constexpr uint16_t MXX_CODE_REFUSAL = 0x3002;
constexpr uint16_t MXX_CODE_DISCOVERY_REPLY = 8600;
constexpr uint16_t MXX_CODE_DISCOVERY_REQUEST = 8601;
constexpr uint16_t MXX_CODE_ANY = 0xFFFF;  // the catch-all hook's code
constexpr uint16_t MXX_EVENT_CODE_MIN = 10000;

inline uint16_t mxx_get16(const void *p) {
    auto *b = static_cast<const uint8_t *>(p);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}
inline void mxx_put16(void *p, uint16_t v) {
    auto *b = static_cast<uint8_t *>(p);
    b[0] = static_cast<uint8_t>(v);
    b[1] = static_cast<uint8_t>(v >> 8);
}

// Field accessors over raw frame bytes (no alignment assumed).
inline uint16_t mxx_frame_code(const void *frame) {
    return mxx_get16(static_cast<const char *>(frame) + 4);
}
inline uint16_t mxx_frame_length(const void *frame) {
    return mxx_get16(static_cast<const char *>(frame) + 6);
}
inline uint16_t mxx_frame_param(const void *frame) {
    return mxx_get16(static_cast<const char *>(frame) + 8);
}
inline uint8_t mxx_frame_status(const void *frame) {
    return static_cast<const uint8_t *>(frame)[10];
}
inline const uint8_t *mxx_frame_payload(const void *frame) {
    return static_cast<const uint8_t *>(frame) + MXX_HEADER_SIZE;
}

uint8_t mxx_xor(const uint8_t *bytes, size_t n);

// Writes a complete frame (payload_len + 13 bytes) into `out`, which must hold that many.
// Returns the frame's size.
int mxx_build_frame(uint8_t *out, uint16_t code, uint16_t param, uint8_t status,
                    const void *payload, uint16_t payload_len);
