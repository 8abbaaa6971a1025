#include "instrument.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "comm/net_broadcast.h"
#include "mxx/frame.h"
#include "mxx/reassembler.h"
#include "pty_link.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint64_t kLinkStream = 0x9E3779B97F4A7C15;  // keeps link faults off the answer draws
// A discovery reply: the instrument's name, its address and an alternative address.
constexpr int kDiscoveryName = 10, kDiscoveryAddress = 16, kDiscoveryAlternative = 40;
constexpr milliseconds kPtyLookMs{20};  // how soon a host that opened the line is served

class Fd {
public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

std::vector<uint8_t> frame_bytes(uint16_t code, uint16_t param, uint8_t status,
                                 const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> out(payload.size() + MXX_FRAME_OVERHEAD);
    mxx_build_frame(out.data(), code, param, status, payload.data(),
                    static_cast<uint16_t>(payload.size()));
    return out;
}

// A uniform draw in [0, 1) built from the raw generator, so the sequence does not depend on the
// standard library's distributions.
double draw(std::mt19937_64 &rng) {
    return static_cast<double>(rng() >> 11) * 0x1.0p-53;
}

std::string errno_text(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

bool fail(std::string *error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

// Bytes waiting for the link, each piece due at a time; pieces leave in order, so a delayed
// answer holds back what was queued after it, as on a real byte stream.
struct Piece {
    std::vector<uint8_t> bytes;
    size_t written = 0;
    Clock::time_point due;
    int frames_ended = 0;  // frames whose last byte is in this piece
    // On a shaped link: when the line began to carry it, and whether the host stopped reading.
    std::optional<Clock::time_point> sent;
    bool stalled = false;
};

Clock::duration ceil_duration(double seconds) {
    return std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds));
}

class Outbox {
public:
    explicit Outbox(const LinkShape &shape)
        : m_rate(shape.bytes_per_s),
          m_latency(ceil_duration(shape.latency_ms / 1000)),
          m_shaped(shape.shaped()),
          m_slice(std::max<size_t>(1, static_cast<size_t>(shape.bytes_per_s * 0.002))) {}

    // Queues one write, cut into chunks of `chunk` bytes (0 = whole) `pause` apart, the first not
    // before `due`.
    void push(const std::vector<uint8_t> &bytes, int frames, Clock::time_point due, int chunk,
              milliseconds pause) {
        if (!m_pieces.empty()) due = std::max(due, m_pieces.back().due);
        size_t step = chunk > 0 ? static_cast<size_t>(chunk) : bytes.size();
        for (size_t at = 0; at < bytes.size(); at += step, due += pause) {
            size_t end = std::min(bytes.size(), at + step);
            m_pieces.push_back(Piece{
                {bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(end)},
                0,
                due,
                end == bytes.size() ? frames : 0,
                std::nullopt,
                false});
        }
    }
    bool empty() const { return m_pieces.empty(); }
    Piece &head() { return m_pieces.front(); }
    void pop() {
        Piece &p = head();
        if (p.sent) m_line_free = *p.sent + carry(p.bytes.size());
        m_pieces.pop_front();
    }
    void clear() {
        m_pieces.clear();
        m_line_free = {};
    }
    // Forgets what is not due by `now`.
    void drop_after(Clock::time_point now) {
        while (!m_pieces.empty() && m_pieces.back().due > now)
            m_pieces.pop_back();
    }

    // How much of the head, once due, the host may have by `now`: all of it on a fast link; on a
    // shaped one what the line has carried to the far end, in order behind the pieces before.
    size_t arrived(Clock::time_point now) {
        Piece &p = head();
        if (!m_shaped) return p.bytes.size();
        if (p.stalled) p.sent = now - m_latency - carry(p.written);  // goes on from here
        p.stalled = false;
        if (!p.sent) p.sent = std::max(p.due, m_line_free);
        if (now < *p.sent + m_latency) return 0;
        if (m_rate <= 0) return p.bytes.size();
        double seconds = std::chrono::duration<double>(now - *p.sent - m_latency).count();
        return std::min(p.bytes.size(), static_cast<size_t>(seconds * m_rate));
    }
    // The host's socket is full: the line waits for it as a flow-controlled line would.
    void stall() { head().stalled = m_shaped; }
    // When the head can go on: when due, or on a shaped line when its next slice has arrived.
    Clock::time_point next() {
        Piece &p = head();
        if (!p.sent || p.stalled) return p.due;
        return *p.sent + m_latency + carry(std::min(p.bytes.size(), p.written + m_slice));
    }
    bool shaped() const { return m_shaped; }

private:
    // How long the line takes to carry `bytes`.
    Clock::duration carry(size_t bytes) const {
        return m_rate > 0 ? ceil_duration(static_cast<double>(bytes) / m_rate)
                          : Clock::duration::zero();
    }

    std::deque<Piece> m_pieces;
    double m_rate;
    Clock::duration m_latency;
    bool m_shaped;
    size_t m_slice;  // about 2 ms of the line: fewer, larger writes than one a byte
    Clock::time_point m_line_free;
};

// Bytes from the host still crossing a line with latency.
struct Arrival {
    std::vector<uint8_t> bytes;
    Clock::time_point due;
};

struct EventRow {
    int period_ms = 0;
    EventSource source;
    Clock::time_point due;
};

struct ClockRow {
    int period_ms = 0;
    std::function<void()> tick;
    Clock::time_point due;
};

// Something another thread asked the serving thread to do on the link, in order.
struct LinkRequest {
    enum Kind { Event, Bytes, Close, Restart, PowerOff, PowerOn } kind;
    uint16_t code = 0;
    std::vector<uint8_t> bytes;
    milliseconds down{0};
    bool keep_link = false;  // a restart behind a line that stays up
};

// How one answer is spoiled, drawn before the answer is built.
struct AnswerFaults {
    enum Kind { None, Drop, Retry0, RetryFail, Refuse, FailStatus, ResponseThenRefusal } kind;
    bool corrupt = false;
    bool corrupt_header = false;
    int delay_ms = 0;
};

}  // namespace

Options in_process_options() {
    Options o;
    o.port = 0;
    o.udp = false;
    return o;
}

Answer default_answer(const Command &command) {
    return Answer{0, command.param, 0, {}};
}

CommandHandler succeed() {
    return [](const Command &command) { return std::optional<Answer>(default_answer(command)); };
}

Answer refusal(const Command &command) {
    return Answer{MXX_CODE_REFUSAL, command.param, 0, {}};
}

bool check_options(const Options &o, std::string *error) {
    in_addr addr{};
    if (::inet_pton(AF_INET, o.address.c_str(), &addr) != 1)
        return fail(error, "'" + o.address + "' is not an IPv4 address");
    if ((ntohl(addr.s_addr) >> 24) != 127 && !o.allow_non_loopback)
        return fail(error, o.address +
                               " is not a loopback address; pass --allow-non-loopback to serve on "
                               "another network");
    if (o.serial.empty() || o.serial.size() > kSerialSize)
        return fail(error, "the serial '" + o.serial + "' does not fit the instrument's " +
                               std::to_string(kSerialSize) + "-character field");
    for (int p : {o.port, o.udp_port, o.udp_reply_port})
        if (p < 0 || p > 65535)
            return fail(error, "port " + std::to_string(p) + " is out of range");
    return check_link(o.link, error) && check_faults(o.faults, error);
}

struct Instrument::Impl {
    explicit Impl(Options o) : options(std::move(o)) {
        serial = options.serial;
        reseed(options.faults);
    }

    // Fixed once start() returns.
    Options options;
    std::atomic<int> bound_port{0}, bound_udp_port{0};

    // Shared with callers; guarded by `mutex`.
    mutable std::mutex mutex;
    mutable std::condition_variable received_cv;
    Faults faults;
    std::mt19937_64 answer_rng, link_rng;
    std::string serial;
    std::map<uint16_t, CommandHandler> commands;
    std::map<uint16_t, EventRow> events;
    std::optional<ClockRow> clock;
    std::vector<LinkRequest> requests;
    std::vector<std::vector<uint8_t>> seen;
    size_t received = 0;

    std::atomic<int> links{0}, frames_sent{0}, discoveries{0};
    std::atomic<int64_t> bytes_sent{0};
    std::atomic<bool> link_open{false}, stopping{false}, listening{false};

    // Owned by the serving thread while it runs, by start()/stop() otherwise.
    std::thread thread;
    // udp_fd hears requests sent to the instrument's address and sends every reply, so replies
    // leave from that address; broadcast_fd hears requests to its network's broadcast address.
    Fd listen_fd, link_fd, udp_fd, broadcast_fd, wake_fd;
    Outbox out{options.link};
    std::deque<Arrival> inbox;
    // A close, restart or power-off waiting for what was queued before it to cross the line.
    std::optional<LinkRequest> closing;
    int link_frames = 0;
    Clock::time_point link_opened;
    std::unique_ptr<mxx_reassembler> link_rx = std::make_unique<mxx_reassembler>();
    std::unique_ptr<mxx_reassembler> udp_rx = std::make_unique<mxx_reassembler>();
    sockaddr_in udp_from{};
    std::optional<Clock::time_point> reopen_at;  // down after a restart until then
    bool off = false;                            // down after a power-off until power_on()
    std::vector<uint8_t> buffer = std::vector<uint8_t>(65536);
    PtyPort pty;           // the line instead of listen_fd when options.pty
    std::string pty_path;  // guarded by `mutex`

    void reseed(const Faults &f) {
        faults = f;
        answer_rng.seed(f.seed);
        link_rng.seed(f.seed ^ kLinkStream);
    }

    Faults current_faults() const {
        std::lock_guard lock(mutex);
        return faults;
    }

    void wake() const {
        if (!wake_fd) return;
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd.get(), &one, sizeof one);
    }

    // Always three draws per answer, so the same commands give the same faults.
    AnswerFaults draw_answer_faults() {
        std::lock_guard lock(mutex);
        double kind = draw(answer_rng), corrupt = draw(answer_rng), which = draw(answer_rng);
        AnswerFaults a{AnswerFaults::None};
        const std::pair<double, AnswerFaults::Kind> shares[] = {
            {faults.drop, AnswerFaults::Drop},
            {faults.retry0, AnswerFaults::Retry0},
            {faults.retry_fail, AnswerFaults::RetryFail},
            {faults.refuse, AnswerFaults::Refuse},
            {faults.fail_status, AnswerFaults::FailStatus},
            {faults.response_then_refusal, AnswerFaults::ResponseThenRefusal},
        };
        double edge = 0;
        for (auto [share, k] : shares) {
            edge += share;
            if (kind < edge) {
                a.kind = k;
                break;
            }
        }
        a.corrupt = corrupt < faults.corrupt;
        a.corrupt_header = which < 0.5;
        a.delay_ms = faults.delay_ms;
        return a;
    }

    // Junk for the next write: 1 to 8 bytes that are never "B", so a host hunting for the magic
    // skips them and still finds the frame that follows.
    std::vector<uint8_t> draw_junk() {
        std::lock_guard lock(mutex);
        if (draw(link_rng) >= faults.junk) return {};
        std::vector<uint8_t> junk(1 + link_rng() % 8);
        for (uint8_t &b : junk) {
            b = static_cast<uint8_t>(link_rng() % 255);
            if (b >= 'B') ++b;
        }
        return junk;
    }

    // Queues frames for the link with the link faults.
    bool write_frames(std::vector<uint8_t> bytes, int frames, Clock::time_point due) {
        if (!link_fd || closing) return false;  // nothing more once it is going down
        std::vector<uint8_t> junk = draw_junk();
        bytes.insert(bytes.begin(), junk.begin(), junk.end());
        Faults f = current_faults();
        out.push(bytes, frames, due, f.split_chunk, milliseconds(f.split_pause_ms));
        return true;
    }

    void write_event(uint16_t code, const std::vector<uint8_t> &payload, Clock::time_point due) {
        if (!write_frames(frame_bytes(code, 0, 0, payload), 1, due) || !options.event_log) return;
        std::string name;
        {
            std::lock_guard lock(mutex);
            name = serial;
        }
        options.event_log->record(name, code, payload);
    }

    void on_command(const uint8_t *frame, int size) {
        Command command{mxx_frame_code(frame), mxx_frame_param(frame), {}};
        if (size > MXX_HEADER_SIZE)
            command.payload.assign(frame + MXX_HEADER_SIZE, frame + size - 1);
        {
            std::lock_guard lock(mutex);
            if (options.record_commands) seen.emplace_back(frame, frame + size);
            ++received;
        }
        received_cv.notify_all();
        if (command.code >= MXX_EVENT_CODE_MIN) return;  // not a command: nothing to answer

        bool probe = command.code == kCodeProbe;
        if (probe && current_faults().ignore_probes) return;
        AnswerFaults spoil{AnswerFaults::None};
        if (!probe) spoil = draw_answer_faults();
        std::optional<Answer> a = answer(command);
        if (!a || spoil.kind == AnswerFaults::Drop) return;
        answer_with(command, *a, spoil);
    }

    // The row's answer with its code filled in, a refusal, or nothing to leave it unanswered.
    std::optional<Answer> answer(const Command &command) {
        if (command.code >= MXX_EVENT_CODE_MIN) return std::nullopt;  // not a command
        CommandHandler handler;
        {
            std::lock_guard lock(mutex);
            auto row = commands.find(command.code);
            if (row != commands.end()) handler = row->second;
        }
        if (!handler) return refusal(command);
        std::optional<Answer> a = handler(command);
        if (!a) return a;
        // The response code of a command from 9000 up would be an event's: no such command.
        bool eventlike = !a->code && command.code + MXX_RESPONSE_OFFSET >= MXX_EVENT_CODE_MIN;
        if (eventlike || a->payload.size() > static_cast<size_t>(MXX_MAX_PAYLOAD)) {
            std::fprintf(stderr, "survokart-sim: the answer to %u cannot be framed; refused\n",
                         command.code);
            return refusal(command);
        }
        if (!a->code) a->code = static_cast<uint16_t>(command.code + MXX_RESPONSE_OFFSET);
        return a;
    }

    void answer_with(const Command &command, const Answer &answer, const AnswerFaults &spoil) {
        uint16_t code = answer.code;
        std::vector<uint8_t> bytes;
        int frames = 1;
        switch (spoil.kind) {
            case AnswerFaults::Retry0:
                bytes = frame_bytes(MXX_CODE_RETRY, command.param, 0, {});
                break;
            case AnswerFaults::RetryFail:
                bytes = frame_bytes(MXX_CODE_RETRY, command.param, kRetryFailStatus, {});
                break;
            case AnswerFaults::Refuse:
                bytes = frame_bytes(MXX_CODE_REFUSAL, command.param, 0, {});
                break;
            case AnswerFaults::FailStatus:
                bytes = frame_bytes(code, answer.param, kFailStatus, answer.payload);
                break;
            default:
                bytes = frame_bytes(code, answer.param, answer.status, answer.payload);
                break;
        }
        if (spoil.corrupt) {
            size_t at = spoil.corrupt_header ? MXX_HEADER_SIZE - 1 : bytes.size() - 1;
            bytes[at] ^= 0xFF;
        }
        if (spoil.kind == AnswerFaults::ResponseThenRefusal) {
            std::vector<uint8_t> refusal = frame_bytes(MXX_CODE_REFUSAL, command.param, 0, {});
            bytes.insert(bytes.end(), refusal.begin(), refusal.end());
            frames = 2;
        }
        write_frames(std::move(bytes), frames, Clock::now() + milliseconds(spoil.delay_ms));
    }

    void on_datagram_frame(const uint8_t *frame) {
        if (mxx_frame_code(frame) != MXX_CODE_DISCOVERY_REQUEST) return;
        ++discoveries;
        std::string name;
        {
            std::lock_guard lock(mutex);
            name = serial;
        }
        // One address only, so the alternative stays empty.
        std::vector<uint8_t> payload(kDiscoveryName + kDiscoveryAddress + kDiscoveryAlternative, 0);
        auto put = [&](size_t at, size_t width, const std::string &s) {
            std::memcpy(payload.data() + at, s.data(), std::min(width, s.size()));
        };
        put(0, kDiscoveryName, name);
        put(kDiscoveryName, kDiscoveryAddress, options.address);
        std::vector<uint8_t> reply =
            frame_bytes(MXX_CODE_DISCOVERY_REPLY, mxx_frame_param(frame), 0, payload);
        sockaddr_in to = udp_from;
        if (options.udp_reply_port)
            to.sin_port = htons(static_cast<uint16_t>(options.udp_reply_port));
        ::sendto(udp_fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL,
                 reinterpret_cast<sockaddr *>(&to), sizeof to);
    }

    void open_link() {
        int fd = ::accept4(listen_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // answers leave at once
        start_link(fd);
    }

    void start_link(int fd) {
        if (fd < 0) return;
        link_fd.reset(fd);
        link_rx->reset();
        inbox.clear();
        link_frames = 0;
        link_opened = Clock::now();
        link_open = true;
        ++links;
        auto now = Clock::now();
        std::lock_guard lock(mutex);
        for (auto &[code, row] : events)
            row.due = now + milliseconds(row.period_ms);
    }

    void drop_link() {
        link_fd.reset();
        out.clear();
        inbox.clear();  // what was still on its way is lost with the link
        link_open = false;
    }

    // Ends the link so that the host sees it end: a pseudo-terminal only by closing, so the line
    // comes back on a new one.
    void end_link() {
        drop_link();
        std::string error;
        if (pty && !open_pty(&error)) std::fprintf(stderr, "survokart-sim: %s\n", error.c_str());
    }

    void read_link() {
        ssize_t n = ::read(link_fd.get(), buffer.data(), buffer.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            drop_link();
            return;
        }
        if (options.link.latency_ms > 0)
            inbox.push_back({{buffer.begin(), buffer.begin() + n},
                             Clock::now() + ceil_duration(options.link.latency_ms / 1000)});
        else
            receive(buffer.data(), static_cast<size_t>(n));
    }

    void receive(const uint8_t *bytes, size_t size) {
        mxx_reassemble(
            *link_rx, bytes, size,
            [](void *self, uint8_t *frame, int size) {
                static_cast<Impl *>(self)->on_command(frame, size);
            },
            this);
    }

    // Takes in what has crossed the line by `now`.
    void deliver(Clock::time_point now) {
        while (link_fd && !inbox.empty() && inbox.front().due <= now) {
            Arrival a = std::move(inbox.front());
            inbox.pop_front();
            receive(a.bytes.data(), a.bytes.size());
        }
    }

    void read_udp(int fd) {
        socklen_t len = sizeof udp_from;
        ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr *>(&udp_from), &len);
        if (n <= 0 || down()) return;  // a switched-off instrument hears nothing
        udp_rx->reset();               // each datagram stands alone
        mxx_reassemble(
            *udp_rx, buffer.data(), static_cast<size_t>(n),
            [](void *self, uint8_t *frame, int) {
                static_cast<Impl *>(self)->on_datagram_frame(frame);
            },
            this);
    }

    // Writes what is due; false when the socket is full and POLLOUT is needed.
    bool flush(Clock::time_point now) {
        while (link_fd && !out.empty() && out.head().due <= now) {
            size_t until = out.arrived(now);
            Piece &p = out.head();
            if (until <= p.written) break;  // the line has not carried more yet
            const uint8_t *at = p.bytes.data() + p.written;
            size_t left = until - p.written;
            ssize_t n = options.pty ? ::write(link_fd.get(), at, left)
                                    : ::send(link_fd.get(), at, left, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                out.stall();
                return false;
            }
            if (n < 0) {
                drop_link();
                break;
            }
            p.written += static_cast<size_t>(n);
            bytes_sent += n;
            if (p.written < p.bytes.size()) continue;
            link_frames += p.frames_ended;
            frames_sent += p.frames_ended;
            out.pop();
            int close_after = current_faults().close_after_frames;
            if (close_after > 0 && link_frames >= close_after) end_link();
        }
        return true;
    }

    void serve_requests(Clock::time_point now) {
        if (closing) return;  // the rest waits until the line has drained
        std::vector<LinkRequest> pending;
        {
            std::lock_guard lock(mutex);
            pending.swap(requests);
        }
        for (auto r = pending.begin(); r != pending.end(); ++r) {
            if (r->kind == LinkRequest::Event) {
                write_event(r->code, r->bytes, now);
            } else if (r->kind == LinkRequest::Bytes) {
                if (link_fd) out.push(r->bytes, 0, now, 0, milliseconds(0));
            } else if (r->kind == LinkRequest::PowerOn) {
                if (down()) reopen_at = now;
                off = false;
            } else if (r->keep_link) {
                go_down(*r, now);  // the line stays: nothing has to drain before
            } else {
                // What is queued by now leaves first; on a shaped line that takes a while.
                out.drop_after(now);
                flush(now);
                if (link_fd && !out.empty() && out.shaped()) {
                    closing = std::move(*r);
                    std::lock_guard lock(mutex);
                    requests.insert(requests.begin(), std::make_move_iterator(r + 1),
                                    std::make_move_iterator(pending.end()));
                    return;
                }
                go_down(*r, now);
            }
        }
    }

    void go_down(const LinkRequest &r, Clock::time_point now) {
        // Down before the host can see the link end, so it finds nobody listening.
        if (r.keep_link) {
            // A pseudo-terminal is the line itself: it has no new links to refuse.
            if (options.pty) return;
            listening = false;
            listen_fd.reset();
            reopen_at = now + r.down;
            return;
        }
        if (r.kind == LinkRequest::Restart || r.kind == LinkRequest::PowerOff) {
            listening = false;
            listen_fd.reset();
            pty.close();
            off = r.kind == LinkRequest::PowerOff;
            reopen_at.reset();
            if (!off) reopen_at = now + r.down;
        }
        end_link();
    }

    bool down() const { return off || reopen_at.has_value(); }

    // Listens again once a restart's down time has passed; a port taken meanwhile is tried again.
    void reopen(Clock::time_point now) {
        if (!reopen_at || now < *reopen_at) return;
        std::string error;
        if (options.pty ? open_pty(&error)
                        : bind_socket(listen_fd, SOCK_STREAM, bound_port, bound_port, &error)) {
            reopen_at.reset();
            listening = true;
        } else {
            std::fprintf(stderr, "survokart-sim: %s; trying again\n", error.c_str());
            reopen_at = now + milliseconds(500);
        }
    }

    // Runs the clock when it is due and the instrument is up; returns when it is due next.
    Clock::time_point run_clock(Clock::time_point now) {
        std::function<void()> tick;
        Clock::time_point next = Clock::time_point::max();
        {
            std::lock_guard lock(mutex);
            if (!clock || down()) return next;
            if (clock->due <= now) {
                tick = clock->tick;
                clock->due += milliseconds(clock->period_ms);
                if (clock->due <= now) clock->due = now + milliseconds(clock->period_ms);
            }
            next = clock->due;
        }
        if (tick) tick();
        return next;
    }

    // Ends a link that has been open for the fault's period; returns when the next cut is due.
    Clock::time_point cut_link(Clock::time_point now) {
        const int every = current_faults().cut_every_ms;
        if (every <= 0 || !link_fd) return Clock::time_point::max();
        const Clock::time_point due = link_opened + milliseconds(every);
        if (due > now) return due;
        flush(now);  // what is queued by now leaves first, as before a restart
        end_link();
        return Clock::time_point::max();
    }

    // Sends the events that are due; returns when the next one is.
    Clock::time_point run_events(Clock::time_point now) {
        Clock::time_point next = Clock::time_point::max();
        if (!link_fd) return next;
        std::vector<std::pair<uint16_t, EventSource>> due;
        {
            std::lock_guard lock(mutex);
            for (auto &[code, row] : events) {
                if (row.due <= now) {
                    due.emplace_back(code, row.source);
                    row.due += milliseconds(row.period_ms);
                    if (row.due <= now) row.due = now + milliseconds(row.period_ms);
                }
                next = std::min(next, row.due);
            }
        }
        for (auto &[code, source] : due)
            if (auto payload = source()) write_event(code, *payload, now);
        return next;
    }

    void serve() {
        // The kernel may otherwise wake the loop up to 50 us late each time, which on a
        // USB-like line, woken a dozen times a record, is a slower line than it claims.
        if (options.link.shaped()) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        while (!stopping) {
            auto now = Clock::now();
            if (closing && out.empty()) {
                go_down(*closing, now);
                closing.reset();
            }
            // Before this turn's frames are queued: a frame logged as sent is never cut off.
            Clock::time_point cut = cut_link(now);
            serve_requests(now);
            reopen(now);
            Clock::time_point next = std::min({cut, run_clock(now), run_events(now)});
            if (reopen_at) next = std::min(next, *reopen_at);
            if (pty && !link_fd) {
                // A host's open shows only as the end of the hang-up; look again soon.
                if (pty.host_present()) start_link(pty.link());
                next = std::min(next, now + kPtyLookMs);
            }
            deliver(now);
            bool blocked = !flush(now);
            if (!out.empty() && !blocked) next = std::min(next, out.next());
            if (!inbox.empty()) next = std::min(next, inbox.front().due);
            if (closing && out.empty()) next = now;

            pollfd fds[4] = {{wake_fd.get(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}, {-1, 0, 0}};
            // One link at a time: further hosts wait in the backlog until this link ends.
            if (link_fd)
                fds[1] = {link_fd.get(), static_cast<short>(POLLIN | (blocked ? POLLOUT : 0)), 0};
            else if (listen_fd)
                fds[1] = {listen_fd.get(), POLLIN, 0};
            if (udp_fd) fds[2] = {udp_fd.get(), POLLIN, 0};
            if (broadcast_fd) fds[3] = {broadcast_fd.get(), POLLIN, 0};
            // To the microsecond: a USB-like line's half-millisecond latency and its slices would
            // otherwise each be rounded up to a whole millisecond, a slower line than it claims.
            timespec wait{};
            if (next != Clock::time_point::max()) {
                const auto ns = std::max<int64_t>(
                    0, std::chrono::duration_cast<std::chrono::nanoseconds>(next - now).count());
                wait = {static_cast<time_t>(ns / 1'000'000'000),
                        static_cast<long>(ns % 1'000'000'000)};
            }
            if (::ppoll(fds, 4, next != Clock::time_point::max() ? &wait : nullptr, nullptr) < 0 &&
                errno != EINTR) {
                std::fprintf(stderr, "survokart-sim: %s\n", errno_text("poll").c_str());
                return;
            }
            if (fds[0].revents) {
                uint64_t count;
                [[maybe_unused]] ssize_t n = ::read(wake_fd.get(), &count, sizeof count);
            }
            if (fds[1].revents && fds[1].fd == link_fd.get()) {
                if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) read_link();
            } else if (fds[1].revents) {
                open_link();
            }
            if (fds[2].revents) read_udp(udp_fd.get());
            if (fds[3].revents) read_udp(broadcast_fd.get());
        }
    }

    bool open_pty(std::string *error) {
        if (!pty.open(error)) return false;
        std::lock_guard lock(mutex);
        if (!pty_path.empty())
            std::printf("survokart-sim: M30 %s now on %s\n", serial.c_str(), pty.path().c_str());
        std::fflush(stdout);
        pty_path = pty.path();
        return true;
    }

    bool bind_socket(Fd &fd, int type, int port, std::atomic<int> &bound, std::string *error) {
        return bind_socket(fd, type, options.address, port, bound, error);
    }

    bool bind_socket(Fd &fd, int type, const std::string &address, int port,
                     std::atomic<int> &bound, std::string *error) {
        fd.reset(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) return fail(error, errno_text("socket"));
        int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
        std::string where = address + ":" + std::to_string(port);
        if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
            return fail(error, errno_text("cannot bind " + where));
        if (type == SOCK_STREAM && ::listen(fd.get(), 4) < 0)
            return fail(error, errno_text("cannot listen on " + where));
        socklen_t len = sizeof addr;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len);
        bound = ntohs(addr.sin_port);
        return true;
    }

    // A socket bound to an interface's own address hears no broadcast, so an instrument on a
    // network also listens on that network's broadcast address (with the same port, shared by
    // every instrument there). None on loopback, which has no broadcast.
    bool bind_broadcast(std::string *error) {
        uint32_t broadcast = 0;
        in_addr own{};
        ::inet_pton(AF_INET, options.address.c_str(), &own);
        ifaddrs *list = nullptr;
        if (::getifaddrs(&list) != 0) return fail(error, errno_text("getifaddrs"));
        for (const ifaddrs *e = list; e && !broadcast; e = e->ifa_next)
            if (e->ifa_addr && e->ifa_addr->sa_family == AF_INET &&
                reinterpret_cast<const sockaddr_in *>(e->ifa_addr)->sin_addr.s_addr == own.s_addr)
                broadcast = net_broadcast_address(*e);
        ::freeifaddrs(list);
        if (!broadcast) return true;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &broadcast, text, sizeof text);
        std::atomic<int> bound{0};
        return bind_socket(broadcast_fd, SOCK_DGRAM, text, bound_udp_port, bound, error);
    }
};

Instrument::Instrument(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {
    Impl *impl = m_impl.get();
    set_command(kCodeProbe, [impl](const Command &command) -> std::optional<Answer> {
        std::lock_guard lock(impl->mutex);
        return Answer{0, command.param, 0, {impl->serial.begin(), impl->serial.end()}};
    });
}

Instrument::~Instrument() {
    stop();
}

bool Instrument::start(std::string *error) {
    Impl &d = *m_impl;
    if (d.thread.joinable()) return fail(error, "the instrument is already serving");
    const Options &o = d.options;
    if (!check_options(o, error)) return false;
    d.wake_fd.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!d.wake_fd) return fail(error, errno_text("eventfd"));
    if (o.pty ? !d.open_pty(error)
              : !d.bind_socket(d.listen_fd, SOCK_STREAM, o.port, d.bound_port, error))
        return false;
    if (o.udp && (!d.bind_socket(d.udp_fd, SOCK_DGRAM, o.udp_port, d.bound_udp_port, error) ||
                  !d.bind_broadcast(error))) {
        d.udp_fd.reset();
        d.listen_fd.reset();
        d.pty.close();
        return false;
    }
    d.stopping = false;
    d.listening = true;
    d.thread = std::thread([&d] { d.serve(); });
    return true;
}

void Instrument::stop() {
    Impl &d = *m_impl;
    if (!d.thread.joinable()) return;
    d.stopping = true;
    d.wake();
    d.thread.join();
    d.closing.reset();  // a restart cut short by the stop; a later start begins afresh
    d.drop_link();
    d.listen_fd.reset();
    d.pty.close();
    d.listening = false;
    d.udp_fd.reset();
    d.broadcast_fd.reset();
    d.wake_fd.reset();
}

int Instrument::port() const {
    return m_impl->bound_port;
}
int Instrument::udp_port() const {
    return m_impl->bound_udp_port;
}
std::string Instrument::pty_path() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->pty_path;
}
std::string Instrument::address() const {
    return m_impl->options.address;
}

void Instrument::set_command(uint16_t code, CommandHandler handler) {
    std::lock_guard lock(m_impl->mutex);
    if (handler)
        m_impl->commands[code] = std::move(handler);
    else
        m_impl->commands.erase(code);
}

void Instrument::set_commands(uint16_t first, uint16_t last, const CommandHandler &handler) {
    for (uint32_t code = first; code <= last; ++code)
        if (code != kCodeProbe) set_command(static_cast<uint16_t>(code), handler);
}

std::optional<Answer> Instrument::answer(const Command &command) {
    return m_impl->answer(command);
}

void Instrument::set_event(uint16_t code, int period_ms, EventSource source) {
    {
        std::lock_guard lock(m_impl->mutex);
        if (!source || period_ms <= 0) {
            m_impl->events.erase(code);
            return;
        }
        m_impl->events[code] =
            EventRow{period_ms, std::move(source), Clock::now() + milliseconds(period_ms)};
    }
    m_impl->wake();
}

void Instrument::set_clock(int period_ms, std::function<void()> tick) {
    {
        std::lock_guard lock(m_impl->mutex);
        if (!tick || period_ms <= 0) {
            m_impl->clock.reset();
            return;
        }
        m_impl->clock =
            ClockRow{period_ms, std::move(tick), Clock::now() + milliseconds(period_ms)};
    }
    m_impl->wake();
}

void Instrument::send_event(uint16_t code, std::vector<uint8_t> payload) {
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->requests.push_back({LinkRequest::Event, code, std::move(payload)});
    }
    m_impl->wake();
}

void Instrument::send_bytes(std::vector<uint8_t> bytes) {
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->requests.push_back({LinkRequest::Bytes, 0, std::move(bytes)});
    }
    m_impl->wake();
}

void Instrument::close_link() {
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->requests.push_back({LinkRequest::Close, 0, {}});
    }
    m_impl->wake();
}

void Instrument::restart(std::chrono::milliseconds down, bool keep_link) {
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->requests.push_back({LinkRequest::Restart, 0, {}, down, keep_link});
    }
    m_impl->wake();
}

void Instrument::power_off() {
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->requests.push_back({LinkRequest::PowerOff, 0, {}});
    }
    m_impl->wake();
}

void Instrument::power_on() {
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->requests.push_back({LinkRequest::PowerOn, 0, {}});
    }
    m_impl->wake();
}

void Instrument::set_faults(const Faults &faults) {
    std::lock_guard lock(m_impl->mutex);
    m_impl->reseed(faults);
}

void Instrument::set_serial(std::string serial) {
    std::lock_guard lock(m_impl->mutex);
    m_impl->serial = std::move(serial);
}

std::string Instrument::serial() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->serial;
}

std::vector<std::vector<uint8_t>> Instrument::commands_seen() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->seen;
}

void Instrument::clear_commands() {
    std::lock_guard lock(m_impl->mutex);
    m_impl->seen.clear();
    m_impl->received = 0;
}

bool Instrument::wait_commands(size_t count, std::chrono::milliseconds deadline) const {
    std::unique_lock lock(m_impl->mutex);
    return m_impl->received_cv.wait_for(lock, deadline, [&] { return m_impl->received >= count; });
}

int Instrument::links_accepted() const {
    return m_impl->links;
}
bool Instrument::linked() const {
    return m_impl->link_open;
}
bool Instrument::listening() const {
    return m_impl->listening;
}
int Instrument::frames_sent() const {
    return m_impl->frames_sent;
}

int64_t Instrument::bytes_sent() const {
    return m_impl->bytes_sent;
}
int Instrument::discovery_requests() const {
    return m_impl->discoveries;
}

}  // namespace sim
