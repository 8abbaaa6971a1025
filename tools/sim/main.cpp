// survokart-sim: a simulated M30 instrument on a NETW link, for tests, benchmarks and the demo.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/instrument.h"

namespace {

constexpr const char *kUsage = R"(Usage: survokart-sim [options]
A simulated M30 instrument: answers commands on a TCP link and discovery requests on UDP.

  --address ADDR          IPv4 address to serve on (default 127.0.0.1)
  --port N                TCP port (default 4444; 0 = any free port)
  --allow-non-loopback    allow an address outside 127.0.0.0/8
  --serial TEXT           serial number, 1 to 10 characters (default C0000001;
                          a host takes the instrument for an M30 when it starts with C)
  --udp-port N            UDP port of discovery requests (default 4455; 0 = any)
  --udp-reply-port N      UDP port replies go to (default 4455; 0 = the requester's)
  --no-udp                do not answer discovery requests
  --event CODE:PERIOD_MS  send an empty event frame CODE (10000-65535) every PERIOD_MS
  --help                  show this text

Faults (fractions from 0 to 1, answers to the probe 8007 are spared):
  --drop F  --retry0 F  --retry-fail F  --refuse F  --fail-status F
  --response-then-refusal F  --corrupt F  --junk F
  --delay-ms N  --split-chunk N  --split-pause-ms N  --close-after-frames N
  --ignore-probes  --seed N
  --faults FILE           read faults from FILE: "key value" lines, '#' comments
)";

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

}  // namespace

int main(int argc, char **argv) {
    sim::Options options;
    std::vector<std::pair<int, int>> events;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
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
        if (arg == "--ignore-probes") {
            options.faults.ignore_probes = true;
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
            if (value.empty() || value.size() > 10)
                return usage_error("--serial needs 1 to 10 characters, got '" + std::string(value) +
                                   "'");
            options.serial = value;
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
    if (!sim::check_options(options, &error)) return usage_error(error);

    // The serving thread inherits the blocked signals, so only sigwait below sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    sim::Instrument instrument(options);
    for (auto [code, period] : events)
        instrument.set_event(static_cast<uint16_t>(code), period, [] {
            return std::optional<std::vector<uint8_t>>(std::vector<uint8_t>{});
        });
    if (!instrument.start(&error)) {
        std::fprintf(stderr, "survokart-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("survokart-sim: M30 %s on %s:%d\n", options.serial.c_str(), options.address.c_str(),
                instrument.port());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop_signals, &signal);
    instrument.stop();
    return 0;
}
