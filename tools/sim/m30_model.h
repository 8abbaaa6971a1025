// The simulated instrument as a complete M30 in the field: every command of the M30 set (and the
// service commands it shares with the family) answers with a plausible record and keeps its
// state, a walk over a radiation field drives the status, totals and spectrum events, the survey
// memory holds a history and what the instrument records, and transfer buffers serve the record
// list, single records and a picture of the display.
//
// The model adds rows to an Instrument's tables and its clock; the rows share the model's state,
// so the model object may go away before the instrument. Every method may be called from any
// thread.
//
// It comes up as an instrument does after power-up: the event filter lets nothing through until
// a host sets it, and nothing is recorded until a host starts a survey. A restart returns it to
// that state; a power-off keeps it down until Instrument::power_on().
//
// The display picture is drawn with QPainter. A program that serves pictures with text on them
// needs a QGuiApplication (the "offscreen" platform will do) created before the first picture;
// survokart-sim makes one, in-process users (tests, benchmarks) make their own. Without one the
// picture has no text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "display.h"
#include "field.h"
#include "instrument.h"
#include "survey.h"

namespace sim {

// The error word from a moment of the run on: at_ms after power-up.
struct ErrorStep {
    int at_ms = 0;
    uint16_t flags = 0;
};

// Stored records as instruments in the field leave them. Each hits the records whose id is a
// multiple of its number; 0 = none.
struct OddRecords {
    int overfull_every = 0;    // the point count claims more than the 60 points the record holds
    int unordered_every = 0;   // stamped by a clock reset to 2000-01-01, out of time order
    int unreadable_every = 0;  // the transfer is prepared, but reading it fails
    int short_every = 0;       // the transfer ends inside the header, before the dose unit
};

struct M30Options {
    WalkOptions walk;               // start point, speed, seed of the walk and the field
    double rate_hz = 1;             // status and totals events per second each, 1 to 50
    int spectrum_period_ms = 5000;  // spectrum events
    bool events = true;             // false: no event of its own accord (benchmarks)
    int unit = 0;                   // dose-unit code of the totals and records: 0 Gy .. 3 rem
    uint16_t error_flags = 0;       // the status record's error word ...
    std::vector<ErrorStep> error_schedule;  // ... until the first step, ascending by at_ms
    int error_cycle_ms = 0;                 // > 0: the schedule starts again this often
    bool gps_outages = true;                // the fix drops for 3 of every 120 readings
    HistoryOptions history;                 // end_time 0: a minute before the model is made
    int restart_delay_ms = 3000;            // down time after a restart command
    int restart_every_ms = 0;               // > 0: restarts of its own accord this often
    bool restart_keeps_link = false;        // the link stays up through a restart (an adapter)
    int chunk_bytes = 8170;                 // transfer-buffer chunk size, 1 to 8170
    // Now and then spectra of kinds 2, 3, 5 and 6 and the event 10008, which hosts do not hook.
    bool rare_events = false;
    OddRecords odd_records;
    // Replaces the field's dose rate when not empty (raw unit of `unit`).
    std::vector<DosePoint> dose_profile;
};

// What a test or a tool may look at.
struct M30State {
    int stored_records = 0;
    bool recording = false;
    int menu_selected = 0;
    bool menu_open = false;
    int menu_page = 0;
    int32_t event_mask = 0;
    uint32_t led_word = 0;
    int32_t gps_power = 0;
};

class M30Model {
public:
    M30Model(Instrument &instrument, const M30Options &options);
    ~M30Model();
    M30Model(const M30Model &) = delete;
    M30Model &operator=(const M30Model &) = delete;

    M30State state() const;
    const Walk &walk() const;

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};

// Refuses options out of range with a message that names the option.
bool check_m30_options(const M30Options &options, std::string *error);

}  // namespace sim
