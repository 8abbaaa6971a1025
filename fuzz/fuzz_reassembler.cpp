// Arbitrary bytes in arbitrary read splits: the reassembler never crashes, never emits a frame
// whose checks fail, and emits the same frames however the stream is split.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mxx/reassembler.h"

namespace {

void collect(void *ctx, uint8_t *frame, int size) {
    if (std::memcmp(frame, "BRNO", 4) != 0 || mxx_xor(frame, 11) != frame[11]) __builtin_trap();
    int length = mxx_frame_length(frame);
    if (size != MXX_HEADER_SIZE + length) __builtin_trap();
    if (length > 0 && mxx_xor(frame + MXX_HEADER_SIZE, length - 1) != frame[11 + length])
        __builtin_trap();
    static_cast<std::vector<std::string> *>(ctx)->emplace_back(reinterpret_cast<char *>(frame),
                                                               size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the split pattern; the rest is the stream.
    unsigned step = data[0] % 17 + 1;
    const uint8_t *stream = data + 1;
    size_t n = size - 1;

    auto whole = std::make_unique<mxx_reassembler>();
    std::vector<std::string> at_once;
    mxx_reassemble(*whole, stream, n, collect, &at_once);

    auto pieces = std::make_unique<mxx_reassembler>();
    std::vector<std::string> split;
    for (size_t off = 0; off < n; off += step)
        mxx_reassemble(*pieces, stream + off, std::min<size_t>(step, n - off), collect, &split);
    if (split != at_once) __builtin_trap();
    return 0;
}
