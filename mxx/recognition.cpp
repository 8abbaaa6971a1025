#include "recognition.h"

#include <cstring>
#include <string_view>

#include "mxx.h"

namespace {

constexpr uint16_t kGetSerialAnswer = 9007;

// When a model's test sets the connection's attempt count.
enum class sets_attempts { never, before_examining, when_accepted };

struct model_test {
    const char *model;
    uint16_t code;
    std::string_view lead;     // the payload must start with this (empty: any payload)
    std::string_view exclude;  // ... and must not start with this (empty: no exclusion)
    int device_type;
    int attempts;
    sets_attempts rule;
};

// In the order they run; the first that accepts wins.
constexpr model_test kTests[] = {
    {"M51", kGetSerialAnswer, "K", "", 24, 1, sets_attempts::before_examining},
    {"M60", kGetSerialAnswer, "O", "", 26, 8, sets_attempts::before_examining},
    {"M58", kGetSerialAnswer, "G", "QUA-512C", 20, 3, sets_attempts::before_examining},
    {"M56", kGetSerialAnswer, "J", "", 21, 3, sets_attempts::before_examining},
    {"M52", kGetSerialAnswer, "L", "", 23, 3, sets_attempts::before_examining},
    {"M55", kGetSerialAnswer, "K", "", 22, 0, sets_attempts::never},
    {"M50", kGetSerialAnswer, "K", "", 22, 0, sets_attempts::never},
    {"M48", kGetSerialAnswer, "QUA-512C", "", 72, 0, sets_attempts::never},
    {"M41", kGetSerialAnswer, "I", "", 18, 3, sets_attempts::before_examining},
    {"M40", kGetSerialAnswer, "H", "", 17, 3, sets_attempts::before_examining},
    {"M38", kGetSerialAnswer, "M", "", 16, 3, sets_attempts::before_examining},
    {"M36", kGetSerialAnswer, "F", "", 15, 3, sets_attempts::before_examining},
    {"M34", kGetSerialAnswer, "E", "", 14, 3, sets_attempts::before_examining},
    {"M32", kGetSerialAnswer, "D", "", 13, 3, sets_attempts::before_examining},
    {"M30", kGetSerialAnswer, "C", "", 12, 3, sets_attempts::before_examining},
    {"M28", kGetSerialAnswer, "B", "", 11, 3, sets_attempts::before_examining},
    {"M26", kGetSerialAnswer, "8", "", 9, 6, sets_attempts::when_accepted},
    {"M24", kGetSerialAnswer, "7", "", 8, 0, sets_attempts::never},
    {"M22", kGetSerialAnswer, "6", "", 6, 0, sets_attempts::never},
    {"M21", kGetSerialAnswer, "A", "", 10, 3, sets_attempts::before_examining},
    {"M20", kGetSerialAnswer, "5", "", 5, 0, sets_attempts::never},
    {"M18", kGetSerialAnswer, "2", "", 4, 0, sets_attempts::never},
    {"M17", kGetSerialAnswer, "", "", 3, 3, sets_attempts::before_examining},
    {"M16", 2001, "", "", 2, 0, sets_attempts::never},
    {"M15", 2109, "", "", 1, 0, sets_attempts::never},
};

std::string_view payload_of(const MXX_frame *frame) {
    int length = mxx_frame_length(frame);
    if (length < 2) return {};
    return {reinterpret_cast<const char *>(frame->data), static_cast<size_t>(length - 1)};
}

bool accepts(const model_test &t, const MXX_frame *frame) {
    if (mxx_frame_code(frame) != t.code) return false;
    std::string_view payload = payload_of(frame);
    if (!payload.starts_with(t.lead)) return false;
    return t.exclude.empty() || !payload.starts_with(t.exclude);
}

struct probe {
    uint16_t code;
    int param;
    int timeout_ms;
};

// Probes by attempt modulo 6; the last two slots send nothing.
constexpr probe kProbes[] = {{8007, 1, 200}, {8007, 0, 100}, {1109, 0, 1000}, {1001, 0, 1000}};

}  // namespace

int MDD_probe(int conn_id, int attempt) {
    int slot = ((attempt % 6) + 6) % 6;
    if (slot >= static_cast<int>(std::size(kProbes))) return 0;
    const probe &p = kProbes[slot];
    return MXX_send_cmd(conn_id, p.code, p.param, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr,
                        p.timeout_ms, 0);
}

int MDD_test_probe(int conn_id, MXX_frame *frame, int *device_type_out, int /*attempt*/) {
    for (const model_test &t : kTests) {
        if (t.rule == sets_attempts::before_examining) MXX_set_cmd_num_try(conn_id, t.attempts);
        if (!frame || !accepts(t, frame)) continue;
        if (t.rule == sets_attempts::when_accepted) MXX_set_cmd_num_try(conn_id, t.attempts);
        if (device_type_out) *device_type_out = t.device_type;
        return 1;
    }
    if (device_type_out) *device_type_out = 0;
    return 0;
}
