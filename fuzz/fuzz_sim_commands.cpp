// Commands arrive from whoever opens the link: no sequence of them may crash the simulated M30,
// and every answer must be its response or a refusal, never something that reads as an event.
//
// Input: commands one after another, each a 16-bit code, a 16-bit param and a 16-bit payload
// length (little-endian), then the payload (cut short at the end of the input).
#include <cstdint>
#include <cstring>

#include "mxx/frame.h"
#include "sim/instrument.h"
#include "sim/m30_model.h"

namespace {

uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool sound(const sim::Command &command, const std::optional<sim::Answer> &answer) {
    if (!answer) return true;
    if (answer->payload.size() > static_cast<size_t>(MXX_MAX_PAYLOAD)) return false;
    if (answer->code == MXX_CODE_REFUSAL) return true;
    return answer->code == command.code + MXX_RESPONSE_OFFSET && answer->code < MXX_EVENT_CODE_MIN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sim::Instrument instrument(sim::in_process_options());  // never started: no socket
    sim::M30Options options;
    options.history.records = 20;
    options.history.end_time = 1'790'000'000;
    options.rare_events = true;
    options.odd_records = {.overfull_every = 3, .unordered_every = 4, .unreadable_every = 5};
    sim::M30Model model(instrument, options);
    while (size >= 6) {
        sim::Command command{get16(data), get16(data + 2), {}};
        size_t length = std::min<size_t>(get16(data + 4), size - 6);
        command.payload.assign(data + 6, data + 6 + length);
        data += 6 + length;
        size -= 6 + length;
        if (!sound(command, instrument.answer(command))) __builtin_trap();
    }
    return 0;
}
