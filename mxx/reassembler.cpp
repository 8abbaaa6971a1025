#include "reassembler.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kMagic[4] = {'B', 'R', 'N', 'O'};

// The header is complete: accept it or start hunting again.
bool accept_header(mxx_reassembler &r) {
    if (mxx_xor(r.frame, 11) != r.frame[11]) return false;
    r.expected = mxx_frame_length(r.frame);
    r.received = 0;
    // A length the buffer cannot hold is not a frame we can take: drop it.
    return r.expected <= MXX_MAX_LENGTH_FIELD;
}

bool payload_intact(const mxx_reassembler &r) {
    const uint8_t *payload = r.frame + MXX_HEADER_SIZE;
    return mxx_xor(payload, static_cast<size_t>(r.expected - 1)) == payload[r.expected - 1];
}

}  // namespace

void mxx_reassemble(mxx_reassembler &r, const uint8_t *data, size_t n, mxx_frame_sink sink,
                    void *context) {
    const uint8_t *p = data;
    const uint8_t *end = data + n;
    while (p < end) {
        if (r.position == 0) {
            // Skip to the next "B" in one scan rather than byte by byte.
            p = static_cast<const uint8_t *>(std::memchr(p, 'B', static_cast<size_t>(end - p)));
            if (!p) return;
            r.frame[0] = *p++;
            r.position = 1;
            r.expected = 0;
        } else if (r.position < 4) {
            // A wrong magic byte is dropped, not examined as a new "B".
            uint8_t b = *p++;
            if (b != kMagic[r.position]) {
                r.position = 0;
                continue;
            }
            r.frame[r.position++] = b;
        } else if (r.position < MXX_HEADER_SIZE) {
            size_t take = std::min<size_t>(MXX_HEADER_SIZE - r.position, end - p);
            std::memcpy(r.frame + r.position, p, take);
            r.position += static_cast<int>(take);
            p += take;
            if (r.position < MXX_HEADER_SIZE) return;
            if (!accept_header(r)) {
                r.position = 0;
                continue;
            }
            if (r.expected == 0) {
                sink(context, r.frame, MXX_HEADER_SIZE);
                r.position = 0;
            }
        } else {
            size_t take = std::min<size_t>(r.expected - r.received, end - p);
            std::memcpy(r.frame + r.position, p, take);
            r.position += static_cast<int>(take);
            r.received += static_cast<int>(take);
            p += take;
            if (r.received < r.expected) return;
            if (payload_intact(r)) sink(context, r.frame, MXX_HEADER_SIZE + r.expected);
            r.position = 0;
        }
    }
}
