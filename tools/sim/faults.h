// Fault injection settings of the simulated instrument, and their parsing from the command line
// and from fault scripts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// Every fraction is the share of answers (or frames) hit, from 0 to 1. The answer faults (drop to
// response_then_refusal, corrupt, delay_ms) hit answers to every command but the recognition probe
// 8007, which only ignore_probes affects, so a faulty instrument is still recognised. The link
// faults (junk, split, close_after_frames) hit every frame written on the link, probe answers and
// events included.
struct Faults {
    double drop = 0;     // no answer at all
    double corrupt = 0;  // the answer's header or payload check byte is wrong
    // Exclusive answer kinds, drawn once per answer in this order (drop first); with drop their
    // sum must not exceed 1.
    double retry0 = 0;                 // a retry frame with status 0: "send it again"
    double retry_fail = 0;             // a retry frame with status kRetryFailStatus
    double refuse = 0;                 // a refusal frame
    double fail_status = 0;            // the response, with status kFailStatus
    double response_then_refusal = 0;  // the response and a refusal in one write
    double junk = 0;                   // 1 to 8 noise bytes, never "B", written before a frame

    int delay_ms = 0;            // answers leave this long after their command arrived
    int split_pause_ms = 0;      // pieces of a cut write leave this far apart ...
    int split_chunk = 0;         // ... when > 0: writes are cut into pieces of this many bytes
    int close_after_frames = 0;  // > 0: the instrument closes the link after this many frames
    int cut_every_ms = 0;        // > 0: the instrument closes each link this long after it opened
    bool ignore_probes = false;  // never answer 8007
    uint64_t seed = 1;           // same seed and same commands: same faults
};

constexpr uint8_t kRetryFailStatus = 5;
constexpr uint8_t kFailStatus = 1;

// Sets one fault from its key (the field name; "-" may stand for "_") and its text value. On a bad
// key or value, returns false and puts an actionable message in *error.
bool parse_fault_option(Faults &faults, std::string_view key, std::string_view value,
                        std::string *error);

// Reads a fault script: one "key value" per line, "#" starts a comment, blank lines are skipped.
// A bad line fails the whole script with "path:line: message".
bool load_fault_script(Faults &faults, const std::string &path, std::string *error);

// Checks what no single option can: the exclusive answer kinds must not add up to more than 1.
bool check_faults(const Faults &faults, std::string *error);

// Whether `key` names a fault (so a command-line parser can hand it to parse_fault_option).
bool is_fault_key(std::string_view key);

}  // namespace sim
