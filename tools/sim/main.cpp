// survokart-sim: simulated M30 instruments on NETW links, for tests, benchmarks and the demo.
#include <arpa/inet.h>

#include <QGuiApplication>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "mxx/m30_records.h"
#include "sim/instrument.h"
#include "sim/m30_model.h"
#include "survokart/version.h"

namespace {

constexpr const char *kUsageHead = R"(Usage: survokart-sim [options]
Simulated M30 instruments in the field: each answers the M30 commands on a TCP link and
discovery requests on UDP, walks a track over a radiation field sending status, totals and
spectra, and keeps a survey memory the station can download.

  --instruments N         serve N instruments (1 to 3) on ADDR, ADDR+1, ... with the same port,
                          serials counting up and a walk of their own (default 1)
  --address ADDR          IPv4 address to serve on (default 127.0.0.1)
  --port N                TCP port (default 4444; 0 = any free port)
  --allow-non-loopback    allow an address outside 127.0.0.0/8
  --pty                   serve a pseudo-terminal instead of TCP and print its path, for a
                          USRT/(PATH)/... link; no discovery; after a restart the instrument
                          is on a new pseudo-terminal and prints its path again
  --serial TEXT           serial number, 1 to 8 characters (default C0000001;
                          a host takes the instrument for an M30 when it starts with C)
  --link BYTES_PER_S,LATENCY_MS|PROFILE
                          a line as slow as the field's: what the instrument sends leaves no
                          faster than BYTES_PER_S and arrives LATENCY_MS later (fractions of a
                          ms allowed); what it receives arrives LATENCY_MS later. Profiles:
)";

constexpr const char *kUsageTail = R"(
                          (default: as fast as the host reads)

The instrument:
  --start LAT,LON         start point of the walk (default 49.2,16.6)
  --speed walk|drive|M/S  walking (1.4 m/s, default), driving (14 m/s) or metres per second
  --rate HZ               status and totals events per second, 1 to 50 (default 1)
  --spectrum-period-ms N  spectrum events every N ms (default 5000)
  --unit gy|sv|r|rem      dose unit of the totals and records (default gy)
  --dose-profile FILE     the dose rate follows a script instead of the field: "MS DOSE_RATE"
                          lines ('#' comments), milliseconds into the run ascending, the rate in
                          the raw unit of --unit (nGy/h, nSv/h, uR/h or nrem/h), straight lines
                          between the points and the ends held
  --error-flags N         the status record's error word, 0 to 65535 or 0x0 to 0xFFFF,
                          or the names of its conditions joined by "+" (GPS+BATTERY)
                          (default 0)
  --no-gps-outages        keep the GPS fix all the time
  --no-events             send no event of its own accord
  --history N             stored records at start, 0 to 10000 (default 0)
  --history-days D        spread over the last D days, the newest last (default 7)
  --history-fix F         share of stored points with a GPS fix, 0 to 1 (default 0.9)
  --restart-delay-ms N    down time after a restart command (default 3000); after a
                          power-off command the instrument stays off until the program
                          gets SIGUSR1, which powers on every instrument that is off
  --restart-keeps-link    the link stays up through a restart, as behind a serial adapter
                          powered apart from the instrument; only new links wait out the delay
  --restart-every-ms N    restarts of its own accord every N ms, as one switched off and on
                          in the field, down for the restart delay (default 0: never)
  --chunk N               transfer-buffer chunk size, 1 to 8170 bytes (default 8170)
  --seed N                seeds the walk and the field as well as the faults (default 1)
  --udp-port N            UDP port of discovery requests (default 4455; 0 = any)
  --udp-reply-port N      UDP port replies go to (default 4455; 0 = the requester's)
  --no-udp                do not answer discovery requests
  --event CODE:PERIOD_MS  send an empty event frame CODE (10000-65535) every PERIOD_MS
  --event-log FILE        write a line per event frame sent, as it is queued to leave:
                          "TIME_MS SERIAL CODE PAYLOAD" (wall-clock ms since the epoch, the
                          instrument's serial, the code, the payload in hex or "-"); several
                          instruments share the file
  --help                  show this text
  --version               show the version

Each instrument comes up as after power-up, and again after a restart: it sends no event
until a host sets the event filter, and records no survey until a host starts one. A survey
being recorded goes on whether or not a host is linked.

What instruments in the field do now and then (off by default):
  --error-schedule MS:FLAGS[,MS:FLAGS...]
                          the error word changes to FLAGS MS milliseconds into the run
                          (ascending times; before the first, --error-flags holds)
  --error-cycle-ms N      the error schedule starts again every N ms (default 0: never)
  --rare-events           every other spectrum period one more spectrum of kind 2, 3, 5 or
                          6 in turn, and the event 10008, which hosts do not hook
  --overfull-records N    every Nth stored record claims more than its 60 points
  --unordered-records N   every Nth stored record is stamped by a clock reset to 2000-01-01
  --unreadable-records N  every Nth stored record can be prepared but not read
  --short-records N       every Nth stored record ends after 10 bytes, inside its header

Faults (fractions from 0 to 1, answers to the probe 8007 are spared):
  --drop F  --retry0 F  --retry-fail F  --refuse F  --fail-status F
  --response-then-refusal F  --corrupt F  --junk F
  --delay-ms N  --split-chunk N  --split-pause-ms N  --close-after-frames N
  --cut-every-ms N        the instrument closes each link N ms after it opened, as a cable
                          pulled or a radio fading; the host may link again at once
  --ignore-probes  --seed N
  --faults FILE           read faults from FILE: "key value" lines, '#' comments
)";

std::string usage() {
    std::string text = kUsageHead;
    for (const sim::LinkProfile &p : sim::kLinkProfiles) {
        char line[128];
        std::snprintf(line, sizeof line, "%26s%-14s %.0f B/s, %g ms each way\n", "",
                      std::string(p.name).c_str(), p.shape.bytes_per_s, p.shape.latency_ms);
        text += line;
    }
    return text + (kUsageTail + 1);  // the raw string's first newline is the layout's
}

int usage_error(const std::string &message) {
    std::fprintf(stderr, "survokart-sim: %s\nTry 'survokart-sim --help'.\n", message.c_str());
    return 2;
}

bool parse_int(std::string_view text, int low, int high, int &out) {
    try {
        size_t used = 0;
        long v = std::stol(std::string(text), &used);
        if (used != text.size() || v < low || v > high) return false;
        out = static_cast<int>(v);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

// Decimal, or hexadecimal after "0x".
// Condition names as the status panel shows them, joined by "+": GPS+BATTERY.
bool parse_error_names(std::string_view text, uint16_t &out) {
    uint16_t word = 0;
    for (;;) {
        std::string_view name = text.substr(0, text.find('+'));
        const char *const *names = M30_ERROR_FLAG_NAMES;
        auto named = std::find_if(names, names + M30_ERROR_FLAG_COUNT,
                                  [&](const char *n) { return name == n; });
        if (named == names + M30_ERROR_FLAG_COUNT) return false;
        word = static_cast<uint16_t>(word | 1u << (named - names));
        if (name.size() == text.size()) break;
        text.remove_prefix(name.size() + 1);
    }
    out = word;
    return true;
}

// An error word: a number, decimal or 0x hexadecimal, or condition names.
bool parse_word(std::string_view text, uint16_t &out) {
    if (!text.empty() && std::isalpha(static_cast<unsigned char>(text[0])))
        return parse_error_names(text, out);
    int base = 10;
    if (text.substr(0, 2) == "0x" || text.substr(0, 2) == "0X") {
        text.remove_prefix(2);
        base = 16;
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 0xFFFF)
        return false;
    out = static_cast<uint16_t>(value);
    return true;
}

// "MS:FLAGS,MS:FLAGS,...".
bool parse_schedule(std::string_view text, std::vector<sim::ErrorStep> &out) {
    out.clear();
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view step = text.substr(0, comma);
        size_t colon = step.find(':');
        sim::ErrorStep e;
        if (colon == std::string_view::npos ||
            !parse_int(step.substr(0, colon), 0, INT32_MAX, e.at_ms) ||
            !parse_word(step.substr(colon + 1), e.flags))
            return false;
        out.push_back(e);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (comma != std::string_view::npos && text.empty()) return false;
    }
    return !out.empty();
}

bool parse_double(std::string_view text, double &out) {
    try {
        size_t used = 0;
        double v = std::stod(std::string(text), &used);
        if (used != text.size() || !std::isfinite(v)) return false;
        out = v;
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

// The options of `count` instruments: addresses counting up from the given one, serials counting
// up in their trailing digits, one port for all.
std::vector<sim::Options> instruments(const sim::Options &first, int count, std::string *error) {
    in_addr base{};
    ::inet_pton(AF_INET, first.address.c_str(), &base);
    size_t digits = first.serial.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(first.serial[digits - 1])))
        --digits;
    std::string prefix = first.serial.substr(0, digits), number = first.serial.substr(digits);
    std::vector<sim::Options> out;
    for (int i = 0; i < count; ++i) {
        sim::Options o = first;
        in_addr a{htonl(ntohl(base.s_addr) + static_cast<uint32_t>(i))};
        char text[INET_ADDRSTRLEN];
        o.address = ::inet_ntop(AF_INET, &a, text, sizeof text);
        if (i > 0) {
            unsigned long n = (number.empty() ? 0 : std::stoul(number)) + static_cast<unsigned>(i);
            std::string digits_text = std::to_string(n);
            if (digits_text.size() < number.size())
                digits_text.insert(0, number.size() - digits_text.size(), '0');
            o.serial = prefix + digits_text;
        }
        if (!sim::check_options(o, error)) return {};
        out.push_back(o);
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    sim::Options options;
    sim::M30Options m30;
    int count = 1;
    std::vector<std::pair<int, int>> events;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--version") {
            std::puts("survokart-sim " SURVOKART_VERSION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage().c_str(), stdout);
            return 0;
        }
        if (arg == "--allow-non-loopback") {
            options.allow_non_loopback = true;
            continue;
        }
        if (arg == "--no-udp") {
            options.udp = false;
            continue;
        }
        if (arg == "--pty") {
            options.pty = true;
            options.udp = false;
            continue;
        }
        if (arg == "--ignore-probes") {
            options.faults.ignore_probes = true;
            continue;
        }
        if (arg == "--no-gps-outages" || arg == "--no-events") {
            (arg == "--no-events" ? m30.events : m30.gps_outages) = false;
            continue;
        }
        if (arg == "--rare-events") {
            m30.rare_events = true;
            continue;
        }
        if (arg == "--restart-keeps-link") {
            m30.restart_keeps_link = true;
            continue;
        }
        if (arg.substr(0, 2) != "--")
            return usage_error("unexpected argument '" + std::string(arg) + "'");
        if (i + 1 >= argc) return usage_error(std::string(arg) + " needs a value");
        std::string_view value = argv[++i];
        std::string error;
        if (arg == "--address") {
            options.address = value;
        } else if (arg == "--port" || arg == "--udp-port" || arg == "--udp-reply-port") {
            int port = 0;
            if (!parse_int(value, 0, 65535, port))
                return usage_error(std::string(arg) + " needs a port from 0 to 65535, got '" +
                                   std::string(value) + "'");
            (arg == "--port"       ? options.port
             : arg == "--udp-port" ? options.udp_port
                                   : options.udp_reply_port) = port;
        } else if (arg == "--serial") {
            if (value.empty() || value.size() > sim::kSerialSize)
                return usage_error("--serial needs 1 to 8 characters, got '" + std::string(value) +
                                   "'");
            options.serial = value;
        } else if (arg == "--link") {
            if (!sim::parse_link(value, options.link, &error)) return usage_error("--" + error);
        } else if (arg == "--event") {
            size_t colon = value.find(':');
            int code = 0, period = 0;
            if (colon == std::string_view::npos ||
                !parse_int(value.substr(0, colon), 10000, 65535, code) ||
                !parse_int(value.substr(colon + 1), 1, 3600000, period))
                return usage_error(
                    "--event needs CODE:PERIOD_MS with a code from 10000 to 65535 "
                    "and a period from 1 ms, got '" +
                    std::string(value) + "'");
            events.emplace_back(code, period);
        } else if (arg == "--instruments") {
            if (!parse_int(value, 1, 3, count))
                return usage_error("--instruments needs 1 to 3, got '" + std::string(value) + "'");
        } else if (arg == "--start") {
            size_t comma = value.find(',');
            if (comma == std::string_view::npos ||
                !parse_double(value.substr(0, comma), m30.walk.latitude) ||
                !parse_double(value.substr(comma + 1), m30.walk.longitude))
                return usage_error("--start needs LAT,LON in degrees, got '" + std::string(value) +
                                   "'");
        } else if (arg == "--dose-profile") {
            if (!sim::load_dose_profile(std::string(value), m30.dose_profile, &error))
                return usage_error(error);
        } else if (arg == "--speed") {
            m30.walk.speed = value == "walk"    ? sim::kWalkingSpeed
                             : value == "drive" ? sim::kDrivingSpeed
                                                : -1;
            if (m30.walk.speed < 0 && !parse_double(value, m30.walk.speed))
                return usage_error("--speed needs walk, drive or metres per second, got '" +
                                   std::string(value) + "'");
        } else if (arg == "--unit") {
            const std::string_view units[] = {"gy", "sv", "r", "rem"};
            auto it = std::find(std::begin(units), std::end(units), value);
            if (it == std::end(units))
                return usage_error("--unit needs gy, sv, r or rem, got '" + std::string(value) +
                                   "'");
            m30.unit = static_cast<int>(it - std::begin(units));
        } else if (arg == "--rate" || arg == "--history-days" || arg == "--history-fix") {
            double &field = arg == "--rate"           ? m30.rate_hz
                            : arg == "--history-days" ? m30.history.days
                                                      : m30.history.fix_share;
            if (!parse_double(value, field))
                return usage_error(std::string(arg) + " needs a number, got '" +
                                   std::string(value) + "'");
        } else if (arg == "--error-flags") {
            if (!parse_word(value, m30.error_flags))
                return usage_error(
                    "--error-flags needs a 16-bit word, 0 to 65535 or 0x0 to 0xFFFF, "
                    "got '" +
                    std::string(value) + "'");
        } else if (arg == "--error-schedule") {
            if (!parse_schedule(value, m30.error_schedule))
                return usage_error(
                    "--error-schedule needs MS:FLAGS[,MS:FLAGS...] with 16-bit "
                    "words, got '" +
                    std::string(value) + "'");
        } else if (arg == "--overfull-records" || arg == "--unordered-records" ||
                   arg == "--unreadable-records" || arg == "--short-records") {
            int every = 0;
            if (!parse_int(value, 0, sim::kMaxRecords, every))
                return usage_error(std::string(arg) + " needs a whole number from 0 to " +
                                   std::to_string(sim::kMaxRecords) + ", got '" +
                                   std::string(value) + "'");
            (arg == "--overfull-records"     ? m30.odd_records.overfull_every
             : arg == "--unordered-records"  ? m30.odd_records.unordered_every
             : arg == "--unreadable-records" ? m30.odd_records.unreadable_every
                                             : m30.odd_records.short_every) = every;
        } else if (arg == "--history" || arg == "--spectrum-period-ms" ||
                   arg == "--restart-delay-ms" || arg == "--chunk" || arg == "--error-cycle-ms" ||
                   arg == "--restart-every-ms") {
            int number = 0;
            if (!parse_int(value, 0, 3600000, number))
                return usage_error(std::string(arg) + " needs a whole number, got '" +
                                   std::string(value) + "'");
            if (arg == "--history") m30.history.records = number;
            if (arg == "--spectrum-period-ms") m30.spectrum_period_ms = number;
            if (arg == "--restart-delay-ms") m30.restart_delay_ms = number;
            if (arg == "--restart-every-ms") m30.restart_every_ms = number;
            if (arg == "--chunk") m30.chunk_bytes = number;
            if (arg == "--error-cycle-ms") m30.error_cycle_ms = number;
        } else if (arg == "--event-log") {
            options.event_log = sim::EventLog::open(std::string(value), &error);
            if (!options.event_log) return usage_error(error);
        } else if (arg == "--faults") {
            if (!sim::load_fault_script(options.faults, std::string(value), &error))
                return usage_error(error);
        } else if (sim::is_fault_key(arg.substr(2))) {
            if (!sim::parse_fault_option(options.faults, arg.substr(2), value, &error))
                return usage_error("--" + error);
        } else {
            return usage_error("unknown option '" + std::string(arg) + "'");
        }
    }
    std::string error;
    if (!sim::check_options(options, &error) || !sim::check_m30_options(m30, &error))
        return usage_error(error);
    m30.walk.seed = options.faults.seed;
    std::vector<sim::Options> each = instruments(options, count, &error);
    if (each.empty()) return usage_error(error);

    // The display picture draws text, which needs a QGuiApplication; no window is ever shown.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    // The serving thread inherits the blocked signals, so only sigwait below sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::vector<std::unique_ptr<sim::Instrument>> running;
    std::vector<std::unique_ptr<sim::M30Model>> models;
    for (size_t i = 0; i < each.size(); ++i) {
        auto instrument = std::make_unique<sim::Instrument>(each[i]);
        sim::M30Options own = m30;
        own.walk.seed = sim::mix(m30.walk.seed, i);
        own.walk.latitude += 0.002 * static_cast<double>(i);  // starts some 220 m apart
        models.push_back(std::make_unique<sim::M30Model>(*instrument, own));
        for (auto [code, period] : events)
            instrument->set_event(static_cast<uint16_t>(code), period, [] {
                return std::optional<std::vector<uint8_t>>(std::vector<uint8_t>{});
            });
        if (!instrument->start(&error)) {
            std::fprintf(stderr, "survokart-sim: %s\n", error.c_str());
            return 1;
        }
        if (each[i].pty)
            std::printf("survokart-sim: M30 %s on %s\n", each[i].serial.c_str(),
                        instrument->pty_path().c_str());
        else
            std::printf("survokart-sim: M30 %s on %s:%d\n", each[i].serial.c_str(),
                        each[i].address.c_str(), instrument->port());
        running.push_back(std::move(instrument));
    }
    std::fflush(stdout);
    int signal = 0;
    while (sigwait(&stop_signals, &signal) == 0 && signal == SIGUSR1)
        for (auto &instrument : running)
            instrument->power_on();
    for (auto &instrument : running)
        instrument->stop();
    return 0;
}
