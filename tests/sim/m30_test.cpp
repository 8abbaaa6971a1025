// The simulated M30 against a raw loopback host: its records, its memory, its walk and its links.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <set>

#include "common/eventually.h"
#include "m30_host.h"
#include "sim/survey.h"

namespace {

using test::Bytes;
using test::Host;
using test::read_at;

constexpr int64_t kEnd = 1'790'000'000;  // the newest stored record's time

sim::M30Options quiet() {
    sim::M30Options o;
    o.events = false;
    o.history.end_time = kEnd;
    return o;
}

// As a host does after every connection.
void listen_to_events(Host &host) {
    M30_event_filter filter{};
    filter.mask = M30_EVENT_FILTER_ALL;
    auto answer = test::ask(host, 8016, 1000, test::bytes_of(filter));
    ASSERT_TRUE(answer);
    ASSERT_EQ(mxx_frame_status(answer->data()), 0);
}

uint16_t code_of(const Bytes &frame) {
    return mxx_frame_code(frame.data());
}

TEST(M30Events, StatusAndTotalsCarryTheWalkAtTheirOffsets) {
    sim::M30Options o = quiet();
    o.events = true;
    o.rate_hz = 50;
    o.unit = 2;
    o.error_flags = 0x0104;
    o.walk.speed = 0;  // every reading at the start point
    test::M30Sim sim(o);
    Host host(sim.instrument.port());
    listen_to_events(host);
    std::optional<Bytes> status, totals;
    while (!(status && totals)) {
        auto f = host.next();
        ASSERT_TRUE(f);
        if (mxx_frame_code(f->data()) == 10007 && !status) status = test::payload_of(*f);
        if (mxx_frame_code(f->data()) == 10005 && !totals) totals = test::payload_of(*f);
    }
    ASSERT_EQ(status->size(), 372u);
    ASSERT_EQ(totals->size(), 50u);
    sim::Position start = sim.model.walk().at(0);
    EXPECT_EQ(read_at<uint16_t>(*status, 0), 0x0104);
    EXPECT_EQ(read_at<int32_t>(*status, 48), 0);
    EXPECT_EQ(read_at<float>(*status, 182), static_cast<float>(start.latitude));
    EXPECT_EQ(read_at<float>(*status, 186), static_cast<float>(start.longitude));
    EXPECT_EQ(read_at<float>(*status, 190), static_cast<float>(start.altitude));
    EXPECT_EQ(read_at<int32_t>(*status, 194), 1);
    double dose = sim.model.walk().dose_rate(start);
    EXPECT_FLOAT_EQ(read_at<float>(*totals, 22), static_cast<float>(dose / 8.77));
    EXPECT_EQ(read_at<float>(*totals, 38), 2.0f);
    EXPECT_GT(read_at<uint32_t>(*totals, 2), 0u);
}

TEST(M30Field, CountsArePoissonDrawsMatchingTheDoseRate) {
    sim::WalkOptions still;
    still.speed = 0;
    still.seed = 11;
    sim::Walk walk(still);
    const int n = 4000;
    double sum = 0, squares = 0, dose = 0;
    for (int i = 0; i < n; ++i) {
        sim::Reading r = sim::read_detector(walk, i, 1, static_cast<uint64_t>(i));
        dose = r.dose_rate;
        sum += r.count_rate;
        squares += double(r.count_rate) * r.count_rate;
    }
    double expected = dose * sim::kCpsPerNanoGray, mean = sum / n;
    double variance = squares / n - mean * mean;
    EXPECT_NEAR(mean, expected, 4 * std::sqrt(expected / n));
    EXPECT_NEAR(variance / expected, 1, 0.1);

    sim::Random small(5);  // the other branch of the draw
    sum = squares = 0;
    for (int i = 0; i < n; ++i) {
        double k = small.poisson(3);
        sum += k;
        squares += k * k;
    }
    EXPECT_NEAR(sum / n, 3, 4 * std::sqrt(3.0 / n));
    EXPECT_NEAR((squares / n - (sum / n) * (sum / n)) / 3, 1, 0.1);
}

TEST(M30Field, TheWalkMovesAtItsSpeedAndComesBack) {
    sim::WalkOptions drive;
    drive.speed = sim::kDrivingSpeed;
    sim::Walk walk(drive);
    sim::Position a = walk.at(0), b = walk.at(1);
    double metres = std::hypot((b.latitude - a.latitude) * 111320,
                               (b.longitude - a.longitude) * 111320 * std::cos(49.2 * M_PI / 180));
    EXPECT_NEAR(metres, sim::kDrivingSpeed, 0.5);
    EXPECT_NEAR(a.latitude, 49.2, 1e-9);
    sim::Position again = walk.at(walk.track_length() / sim::kDrivingSpeed);
    EXPECT_NEAR(again.latitude, a.latitude, 1e-7);
    EXPECT_NEAR(again.longitude, a.longitude, 1e-7);
}

TEST(M30Memory, HistoryRecordsHaveTheStoredLayoutNewestLast) {
    sim::M30Options o = quiet();
    o.history.records = 40;
    o.history.days = 3;
    o.unit = 1;
    test::M30Sim sim(o);
    Host host(sim.instrument.port());
    test::Download list = test::download(host, 1, 0, 1, 10000);
    ASSERT_TRUE(list.ok);
    EXPECT_EQ(list.results[0], 40);
    ASSERT_EQ(list.data.size(), 40u * 4);
    uint32_t previous = 0;
    int fixes = 0, points = 0;
    for (size_t i = 0; i < 40; ++i) {
        int32_t id = read_at<int32_t>(list.data, 4 * i);
        test::Download record = test::download(host, 3, 0, id, 1);
        ASSERT_TRUE(record.ok) << id;
        const Bytes &r = record.data;
        ASSERT_EQ(r.size(), sim::stored::kSize);
        uint32_t time = read_at<uint32_t>(r, 4), n = read_at<uint32_t>(r, 8);
        EXPECT_GE(time, kEnd - 3 * 86400);
        EXPECT_LE(time, kEnd);
        EXPECT_GT(time, previous);
        previous = time;
        EXPECT_GE(n, 1u);
        EXPECT_LE(n, 60u);
        EXPECT_EQ(read_at<int32_t>(r, 12), 1);
        for (uint32_t j = 0; j < n; ++j) {
            size_t at = 1520 + 32 * j;
            float lat = read_at<float>(r, at + 4), lon = read_at<float>(r, at + 8);
            EXPECT_NEAR(lat, 49.2, 0.05);
            EXPECT_NEAR(lon, 16.6, 0.05);
            float dose = read_at<float>(r, 1276 + 4 * j);
            uint32_t cps = read_at<uint32_t>(r, 556 + 4 * j);
            EXPECT_GT(dose, 30);
            EXPECT_NEAR(cps, dose * sim::kCpsPerNanoGray, 8 * std::sqrt(dose * 2.5) + 1);
            fixes += read_at<int32_t>(r, at) != 0;
            ++points;
        }
        EXPECT_EQ(read_at<uint32_t>(r, 1520 + 32 * n + 4), 0u);  // nothing past the last point
    }
    EXPECT_EQ(read_at<uint32_t>(list.data, 4 * 39), 40u);
    EXPECT_GT(fixes, points * 3 / 4);
    EXPECT_LT(fixes, points);
    EXPECT_EQ(sim.model.state().stored_records, 40);
}

TEST(M30Memory, TransfersComeInBoundedContiguousChunksAndEndEmpty) {
    sim::M30Options o = quiet();
    o.history.records = 5000;
    test::M30Sim sim(o);
    Host host(sim.instrument.port());
    test::Download list = test::download(host, 1, 0, 1, 10000);
    ASSERT_TRUE(list.ok);
    EXPECT_EQ(list.chunks, (std::vector<uint32_t>{8170, 8170, 3660, 0}));
    for (int32_t i = 0; i < 5000; ++i)
        ASSERT_EQ(read_at<int32_t>(list.data, 4 * size_t(i)), i + 1);

    test::Download tail = test::download(host, 1, 0, 4991, 10000);  // from a later position
    EXPECT_EQ(tail.results[0], 10);
    EXPECT_EQ(read_at<int32_t>(tail.data, 0), 4991);

    // A chunk request with a handle of its own invention, and records and kinds that do not
    // exist, are refused.
    M30_txbuf_chunk_request stale{0, 12345, 0};
    auto refused = test::ask(host, 8412, 3000, test::bytes_of(stale));
    ASSERT_TRUE(refused);
    EXPECT_NE(mxx_frame_status(refused->data()), 0);
    EXPECT_FALSE(test::download(host, 3, 0, 5001).ok);
    EXPECT_FALSE(test::download(host, 5, 0, 1).ok);
}

TEST(M30Memory, RecordingStoresTheWalk) {
    sim::M30Options o = quiet();
    o.events = true;
    o.rate_hz = 50;
    o.history.records = 2;
    test::M30Sim sim(o);
    Host host(sim.instrument.port());
    listen_to_events(host);
    ASSERT_TRUE(test::ask(host, 8311, 1000, test::bytes_of(int32_t{1})));
    EXPECT_TRUE(sim.model.state().recording);
    int recorded = 0;
    while (recorded < 5) {
        auto f = host.next();
        ASSERT_TRUE(f);
        if (mxx_frame_code(f->data()) == 10007 && read_at<int32_t>(test::payload_of(*f), 48) == 1)
            ++recorded;
    }
    ASSERT_TRUE(test::ask(host, 8311, 1000, test::bytes_of(int32_t{0})));
    EXPECT_FALSE(sim.model.state().recording);
    test::Download record = test::download(host, 3, 0, 3, 1);
    ASSERT_TRUE(record.ok);
    EXPECT_GE(read_at<uint32_t>(record.data, 8), 5u);
    EXPECT_EQ(sim.model.state().stored_records, 3);
}

TEST(M30Commands, SerialTextForProbesAndNumberForTheM30Command) {
    test::M30Sim sim(quiet());
    sim.instrument.set_serial("C0004711");
    Host host(sim.instrument.port());
    for (uint16_t param : {1, 100}) {
        auto text = test::ask(host, 8007, param, {});
        ASSERT_TRUE(text);
        EXPECT_EQ(test::payload_of(*text), Bytes({'C', '0', '0', '0', '4', '7', '1', '1'}));
    }
    auto number = test::ask(host, 8007, 1000, {});
    ASSERT_TRUE(number);
    EXPECT_EQ(test::payload_of(*number), test::bytes_of(uint32_t{4711}));
}

TEST(M30Commands, SettingsKeepTheirStateAndWrongSizesAreRefused) {
    test::M30Sim sim(quiet());
    Host host(sim.instrument.port());
    M30_event_filter filter{};
    filter.mask = 0x00F0;
    EXPECT_EQ(mxx_frame_status(test::ask(host, 8016, 1000, test::bytes_of(filter))->data()), 0);
    EXPECT_EQ(test::payload_of(*test::ask(host, 8015, 1000, {})), test::bytes_of(filter));
    EXPECT_EQ(sim.model.state().event_mask, 0x00F0);
    test::ask(host, 8301, 1000, test::bytes_of(M30_led_word(3)));
    EXPECT_EQ(test::payload_of(*test::ask(host, 8302, 1000, {})), test::bytes_of(uint32_t{0x241}));
    EXPECT_NE(mxx_frame_status(test::ask(host, 8205, 1000, {1, 2})->data()), 0);
    EXPECT_EQ(sim.model.state().gps_power, 1);
    EXPECT_EQ(test::payload_of(*test::ask(host, 8203, 1000, {})).size(), 372u);
    EXPECT_EQ(test::payload_of(*test::ask(host, 8001, 1000, {})).size(), 415u);
    M30_date_time when{2027, 3, 4, 5, 6, 7};
    test::ask(host, 8003, 1000, test::bytes_of(when));
    auto now = read_at<M30_date_time>(test::payload_of(*test::ask(host, 8002, 1000, {})), 0);
    EXPECT_EQ(now.year, 2027);
    EXPECT_EQ(now.month, 3);
}

TEST(M30Commands, KeysMoveTheMenu) {
    test::M30Sim sim(quiet());
    Host host(sim.instrument.port());
    auto key = [&](int32_t code) { test::ask(host, 8041, 1000, test::bytes_of(code)); };
    key(108);
    key(108);
    EXPECT_EQ(sim.model.state().menu_selected, 2);
    key(103);
    key(28);
    key(106);
    sim::M30State s = sim.model.state();
    EXPECT_EQ(s.menu_selected, 1);
    EXPECT_TRUE(s.menu_open);
    EXPECT_EQ(s.menu_page, 1);
    key(105);
    EXPECT_EQ(sim.model.state().menu_page, 0);
}

TEST(M30Links, RestartClosesTheLinkRefusesWhileDownThenAcceptsAgain) {
    sim::M30Options o = quiet();
    o.restart_delay_ms = 600000;
    test::M30Sim down(o);
    o.restart_delay_ms = 50;
    test::M30Sim back(o);
    for (test::M30Sim *sim : {&down, &back}) {
        Host host(sim->instrument.port());
        auto answer = test::ask(host, 8021, 1000, {});
        ASSERT_TRUE(answer);
        EXPECT_EQ(mxx_frame_status(answer->data()), 0);
        EXPECT_TRUE(host.wait_closed());
    }
    EXPECT_FALSE(down.instrument.listening());
    EXPECT_FALSE(Host(down.instrument.port()).connected);
    ASSERT_TRUE(test::eventually([&] { return back.instrument.listening(); }));
    auto again = std::make_unique<Host>(back.instrument.port());
    ASSERT_TRUE(again->connected);
    EXPECT_TRUE(test::ask(*again, 8007, 1, {}));
    EXPECT_EQ(back.instrument.links_accepted(), 2);
}

TEST(M30Links, ThreeInstrumentsShareAPortOnThreeLoopbackAddresses) {
    auto first = std::make_unique<test::M30Sim>(quiet());
    int port = first->instrument.port();
    std::vector<std::unique_ptr<test::M30Sim>> sims;
    sims.push_back(std::move(first));
    for (const char *address : {"127.0.0.2", "127.0.0.3"})
        sims.push_back(
            std::make_unique<test::M30Sim>(quiet(), test::quiet_instrument(address, port)));
    for (size_t i = 0; i < sims.size(); ++i) {
        ASSERT_TRUE(sims[i]->started);
        sims[i]->instrument.set_serial("C000000" + std::to_string(i + 1));
    }
    for (size_t i = 0; i < sims.size(); ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = test::loopback(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK + static_cast<uint32_t>(i));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        Bytes probe = test::frame(8007, 1);
        ::send(fd, probe.data(), probe.size(), MSG_NOSIGNAL);
        ASSERT_TRUE(test::readable(fd));
        uint8_t buf[64];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        ::close(fd);
        ASSERT_EQ(n, 8 + MXX_FRAME_OVERHEAD);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buf) + 12, 8),
                  "C000000" + std::to_string(i + 1));
    }
}

}  // namespace

namespace {

TEST(M30Memory, RecordingGoesOnWithNobodyLinked) {
    sim::M30Options o = quiet();
    o.rate_hz = 50;
    o.history.records = 2;
    test::M30Sim sim(o);
    {
        Host host(sim.instrument.port());
        ASSERT_TRUE(test::ask(host, 8311, 1000, test::bytes_of(int32_t{1})));
    }
    // A record holds 60 points; the next one starts when the first is full.
    ASSERT_TRUE(test::eventually([&] { return sim.model.state().stored_records == 4; }));
    Host host(sim.instrument.port());
    test::Download record = test::download(host, 3, 0, 3, 1);
    ASSERT_TRUE(record.ok);
    EXPECT_EQ(read_at<uint32_t>(record.data, 8), 60u);
}

TEST(M30Commands, KnowsItsCommandsAndRefusesOthers) {
    test::M30Sim sim(quiet());
    Host host(sim.instrument.port());
    for (uint16_t code : {8210, 8401, 8570, 8100}) {
        auto answer = test::ask(host, code, 1000, {});
        ASSERT_TRUE(answer) << code;
        EXPECT_EQ(mxx_frame_status(answer->data()), 0) << code;
    }
    for (uint16_t code : {7999, 8601, 8999, 9007}) {
        host.command(code, code);
        auto answer = host.next();
        ASSERT_TRUE(answer) << code;
        EXPECT_EQ(*answer, test::frame(MXX_CODE_REFUSAL, code));
    }
}

TEST(M30Commands, HostileDatesAreRefusedAndTheClockKeepsItsTime) {
    test::M30Sim sim(quiet());
    Host host(sim.instrument.port());
    M30_date_time good{2031, 6, 15, 12, 0, 0};
    ASSERT_EQ(mxx_frame_status(test::ask(host, 8003, 1000, test::bytes_of(good))->data()), 0);
    const M30_date_time hostile[] = {
        {INT32_MIN, 1, 1, 0, 0, 0}, {INT32_MAX, 12, 31, 23, 59, 59}, {1969, 12, 31, 23, 59, 59},
        {2106, 1, 1, 0, 0, 0},      {2031, 2, 29, 0, 0, 0},          {2031, 257, 1, 0, 0, 0},
        {2031, 1, -1, 0, 0, 0},     {2031, 1, 1, 24, 0, 0},          {2031, 1, 1, 0, 0, 60},
    };
    for (const M30_date_time &d : hostile) {
        auto answer = test::ask(host, 8003, 1000, test::bytes_of(d));
        ASSERT_TRUE(answer);
        EXPECT_NE(mxx_frame_status(answer->data()), 0) << d.year << "-" << d.month << "-" << d.day;
    }
    auto now = read_at<M30_date_time>(test::payload_of(*test::ask(host, 8002, 1000, {})), 0);
    EXPECT_EQ(now.year, 2031);
    EXPECT_EQ(now.month, 6);
}

// The key event leaves right after the key's answer, so it arrives before the next answer.
bool key_event_after_key(Host &host) {
    EXPECT_TRUE(test::ask(host, 8041, 1000, test::bytes_of(int32_t{108})));
    host.command(8015, 1000);
    bool seen = false;
    while (auto f = host.next()) {
        seen |= code_of(*f) == 10003;
        if (code_of(*f) == 9015) return seen;
    }
    ADD_FAILURE() << "no answer to 8015";
    return seen;
}

TEST(M30Power, PowerUpAndRestartForgetTheHostAndPowerOffLastsUntilPowerOn) {
    sim::M30Options o = quiet();
    o.events = true;
    o.restart_delay_ms = 0;
    test::M30Sim sim(o);
    int port = sim.instrument.port();
    {
        Host host(port);
        EXPECT_FALSE(key_event_after_key(host));  // fresh from power-up
        listen_to_events(host);
        EXPECT_TRUE(key_event_after_key(host));
        ASSERT_TRUE(test::ask(host, 8311, 1000, test::bytes_of(int32_t{1})));
        ASSERT_TRUE(test::ask(host, 8021, 1000, {}));
        EXPECT_TRUE(host.wait_closed());
    }
    EXPECT_FALSE(sim.model.state().recording);
    ASSERT_TRUE(test::eventually([&] { return sim.instrument.listening(); }));
    {
        Host host(port);
        EXPECT_FALSE(key_event_after_key(host));  // forgotten by the restart
        listen_to_events(host);
        ASSERT_TRUE(test::ask(host, 8400, 1000, {}));
        EXPECT_TRUE(host.wait_closed());
    }
    EXPECT_FALSE(sim.instrument.listening());
    EXPECT_FALSE(Host(port).connected);  // off, though a restart would be over at once
    sim.instrument.power_on();
    ASSERT_TRUE(test::eventually([&] { return sim.instrument.listening(); }));
    Host host(port);
    EXPECT_FALSE(key_event_after_key(host));
}

TEST(M30Field, RareEventsAndAChangingErrorWordOnRequest) {
    sim::M30Options o = quiet();
    o.events = true;
    o.rate_hz = 50;
    o.spectrum_period_ms = 100;
    o.rare_events = true;
    o.error_flags = 0x0001;
    o.error_schedule = {{100, 0x0040}};
    o.error_cycle_ms = 200;
    test::M30Sim sim(o);
    Host host(sim.instrument.port());
    listen_to_events(host);
    std::set<uint16_t> kinds, words;
    bool unused = false;
    while (kinds.size() < 5 || !unused || words.size() < 2) {
        auto f = host.next();
        ASSERT_TRUE(f);
        Bytes payload = test::payload_of(*f);
        if (code_of(*f) == 10002) kinds.insert(read_at<uint16_t>(payload, 0));
        if (code_of(*f) == 10007) words.insert(read_at<uint16_t>(payload, 0));
        unused |= code_of(*f) == 10008;
    }
    EXPECT_EQ(kinds, (std::set<uint16_t>{1, 2, 3, 5, 6}));
    EXPECT_EQ(words, (std::set<uint16_t>{0x0001, 0x0040}));
}

TEST(M30Memory, OverfullUnorderedAndUnreadableRecordsOnRequest) {
    sim::M30Options o = quiet();
    o.history.records = 12;
    o.odd_records = {.overfull_every = 3, .unordered_every = 4, .unreadable_every = 5};
    test::M30Sim sim(o);
    Host host(sim.instrument.port());
    uint32_t previous = 0;
    for (int32_t id = 1; id <= 12; ++id) {
        test::Download record = test::download(host, 3, 0, id, 1);
        EXPECT_EQ(record.ok, id % 5 != 0) << id;
        if (!record.ok) continue;
        uint32_t time = read_at<uint32_t>(record.data, 4);
        EXPECT_EQ(read_at<uint32_t>(record.data, 8) > 60, id % 3 == 0) << id;
        EXPECT_EQ(time < previous, id % 4 == 0) << id;
        previous = time;
    }
}

}  // namespace
