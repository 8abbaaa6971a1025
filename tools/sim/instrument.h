// A simulated M30 instrument at the far end of a NETW link (or of a pseudo-terminal that a host
// opens for a USRT link): it answers command frames from a table of handlers keyed by code, sends
// event frames from a table of sources, answers network discovery on UDP and injects faults on
// demand. It does only what an instrument may do on the wire: a command without a row is refused,
// never answered with a success.
//
// One serving thread per instrument runs a poll() loop over the listening socket, the link, the
// UDP socket and a wake-up eventfd. Handlers, event sources and the clock run on that thread;
// every public method may be called from any thread while it runs. Everything for the link goes
// through one queue that the same loop drains on time, paced when the link is shaped, so a slow
// line never holds the instrument's own schedule.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "event_log.h"
#include "faults.h"
#include "link_shape.h"

namespace sim {

constexpr uint16_t kCodeProbe = 8007;  // answered with 9007 and the serial
// The serial field of the probe answer and of the instrument's records.
constexpr size_t kSerialSize = 8;

struct Options {
    std::string address = "127.0.0.1";  // IPv4; anything outside 127.0.0.0/8 needs the next flag
    int port = 4444;                    // TCP; 0 = ephemeral
    bool allow_non_loopback = false;
    std::string serial = "C0000001";  // the probe answer's payload and the discovery name, 1 to 8
    bool udp = true;                  // answer discovery requests
    int udp_port = 4455;              // where discovery requests arrive; 0 = ephemeral
    int udp_reply_port = 4455;        // where replies go; 0 = the requester's own port
    bool record_commands = true;      // keep commands_seen (benchmarks turn it off)
    bool pty = false;                 // serve a pseudo-terminal (see pty_path) instead of TCP
    LinkShape link;                   // how slow the line to the host is; unshaped by default
    Faults faults;
    std::shared_ptr<EventLog> event_log;  // every event frame put on the link; none by default
};

// Refuses an address that is not IPv4, one outside 127.0.0.0/8 unless allowed, ports out of
// range, a serial that does not fit its field, a link out of range and faults that do not add up.
bool check_options(const Options &options, std::string *error);

// A command frame from the host.
struct Command {
    uint16_t code = 0;
    uint16_t param = 0;
    std::vector<uint8_t> payload;
};

// What a command row answers. The answer faults may still replace it.
struct Answer {
    uint16_t code = 0;  // 0 = the command's response (code + 1000); else e.g. a refusal
    uint16_t param = 0;
    uint8_t status = 0;
    std::vector<uint8_t> payload;  // at most 65534 bytes; longer answers become a refusal
};

// Returns the answer, or nothing to leave the command unanswered.
using CommandHandler = std::function<std::optional<Answer>(const Command &)>;
// Returns an event's payload, or nothing to skip this period.
using EventSource = std::function<std::optional<std::vector<uint8_t>>()>;

// A command's plain success: its response, status 0, param echoed, no payload.
Answer default_answer(const Command &command);
// A row that answers every command with default_answer.
CommandHandler succeed();
// The refusal frame, param echoed.
Answer refusal(const Command &command);

// An instrument for one test or benchmark: an ephemeral TCP port on 127.0.0.1 and no discovery,
// so that runs side by side never collide.
Options in_process_options();

class Instrument {
public:
    explicit Instrument(Options options);
    ~Instrument();  // stops
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;

    // Binds the sockets and starts serving. False with a message when the address is refused or
    // a socket cannot be bound.
    bool start(std::string *error = nullptr);
    // Closes the link and every socket and joins the serving thread; idempotent.
    void stop();

    int port() const;  // the bound TCP port (after start)
    // The pseudo-terminal a host opens as a serial port, when serving one; it changes when the
    // instrument drops the line (close_link, restart).
    std::string pty_path() const;
    int udp_port() const;  // the bound UDP port, 0 without UDP
    std::string address() const;

    // Command table; a null handler removes a row. A code without a row, and a row that answers
    // a command of 9000 or above with its response (which would read as an event), are refused.
    // The probe 8007 is a row too, answering with the serial.
    void set_command(uint16_t code, CommandHandler handler);
    // The same row for every code from `first` to `last` but the probe's: a peer that knows a
    // whole command set, for tests of its encoding.
    void set_commands(uint16_t first, uint16_t last, const CommandHandler &handler);
    // What the table answers to a command, its code filled in, without a link and without
    // faults; nothing for a command left unanswered.
    std::optional<Answer> answer(const Command &command);
    // Event table: the source is asked every period_ms while a link is open, from the link's
    // opening on; a null source or period_ms <= 0 removes the row.
    void set_event(uint16_t code, int period_ms, EventSource source);
    // What the instrument does of its own accord besides events, such as measuring: `tick` runs
    // every period_ms while the instrument is up, whether or not a link is open. A null tick
    // or period_ms <= 0 removes it.
    void set_clock(int period_ms, std::function<void()> tick);
    // Sends one frame of the instrument's own accord, status 0, param 0, on the open link
    // (dropped when there is none). Link faults apply.
    void send_event(uint16_t code, std::vector<uint8_t> payload);
    // Writes bytes on the open link as they are (noise, hand-made frames); no fault applies.
    void send_bytes(std::vector<uint8_t> bytes);
    // Closes the current link, if any; the instrument then accepts the next one.
    void close_link();
    // Goes down as a restarting instrument does: answers already queued leave, then the link and
    // the listening socket close, so connections are refused until `down` has passed and
    // accepted again after it. With `keep_link` the open link stays up through the restart, as a
    // serial adapter powered apart from the instrument does; only new links are refused.
    void restart(std::chrono::milliseconds down, bool keep_link = false);
    // Goes down as restart() does, but stays down until power_on().
    void power_off();
    // Comes up at once after power_off() or during a restart's down time.
    void power_on();

    // Replaces the faults and restarts their random sequence from faults.seed.
    void set_faults(const Faults &faults);
    void set_serial(std::string serial);
    std::string serial() const;

    // Every valid frame received on a link, raw, in order of arrival.
    std::vector<std::vector<uint8_t>> commands_seen() const;
    void clear_commands();
    // Waits until at least `count` frames were received; false at the deadline.
    bool wait_commands(size_t count, std::chrono::milliseconds deadline) const;
    int links_accepted() const;
    bool linked() const;
    bool listening() const;      // false while down after a restart or power-off
    int frames_sent() const;     // frames fully written on all links
    int64_t bytes_sent() const;  // bytes written on all links
    int discovery_requests() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace sim
