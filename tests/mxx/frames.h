// Building frames for tests.
#pragma once

#include <string>
#include <vector>

#include "mxx/frame.h"

namespace test {

inline std::string frame(uint16_t code, const std::string &payload = "", uint16_t param = 0,
                         uint8_t status = 0) {
    std::string out(payload.size() + MXX_FRAME_OVERHEAD, '\0');
    mxx_build_frame(reinterpret_cast<uint8_t *>(out.data()), code, param, status, payload.data(),
                    static_cast<uint16_t>(payload.size()));
    return out;
}

}  // namespace test
