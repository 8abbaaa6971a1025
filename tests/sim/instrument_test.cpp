// The simulated instrument against a raw loopback host: answers, events, links and discovery.
#include <gtest/gtest.h>

#include <atomic>

#include "host.h"
#include "sim/instrument.h"

namespace {

using test::Bytes;
using test::Host;

sim::Options ephemeral(sim::Faults faults = {}) {
    sim::Options o;
    o.port = 0;
    o.udp_port = 0;
    o.udp_reply_port = 0;
    o.faults = faults;
    return o;
}

class Sim : public ::testing::Test {
protected:
    // 8001 stands for any command the instrument knows.
    void serve(sim::Faults faults = {}) {
        instrument = std::make_unique<sim::Instrument>(ephemeral(faults));
        instrument->set_command(8001, sim::succeed());
        std::string error;
        ASSERT_TRUE(instrument->start(&error)) << error;
    }
    std::unique_ptr<sim::Instrument> instrument;
};

TEST_F(Sim, AnswersTheProbeAsAnM30WithItsSerial) {
    serve();
    instrument->set_serial("K1234567");
    Host host(instrument->port());
    host.command(sim::kCodeProbe, 1);
    auto answer = host.next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(mxx_frame_code(answer->data()), 9007);
    EXPECT_EQ(mxx_frame_status(answer->data()), 0);
    EXPECT_EQ(mxx_frame_param(answer->data()), 1);
    EXPECT_EQ(test::payload_of(*answer), Bytes({'K', '1', '2', '3', '4', '5', '6', '7'}));
}

TEST_F(Sim, DefaultAnswerEchoesTheParamAndRowsReplaceIt) {
    serve();
    instrument->set_command(8203, [](const sim::Command &c) -> std::optional<sim::Answer> {
        return sim::Answer{0, 77, 3, c.payload};
    });
    instrument->set_command(8021, [](const sim::Command &) { return std::nullopt; });
    Host host(instrument->port());
    host.command(8001, 4464);
    host.command(8021, 1);  // its row leaves it unanswered
    host.command(8203, 9, {1, 2, 3});
    auto first = host.next(), second = host.next();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, test::frame(9001, 4464));
    EXPECT_EQ(*second, test::frame(9203, 77, 3, {1, 2, 3}));
    ASSERT_TRUE(instrument->wait_commands(3, std::chrono::seconds(10)));
    auto seen = instrument->commands_seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2], test::frame(8203, 9, 0, {1, 2, 3}));
}

// Each answer fault shows on the command 8001; the probe that follows is spared and marks the end.
struct FaultCase {
    const char *name;
    sim::Faults faults;
    std::vector<Bytes> expected;  // frames before the probe's answer
};

void PrintTo(const FaultCase &c, std::ostream *os) {
    *os << c.name;
}

class AnswerFault : public Sim, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(AnswerFault, ReplacesTheAnswer) {
    serve(GetParam().faults);
    Host host(instrument->port());
    host.command(8001, 12);
    host.command(sim::kCodeProbe, 1);
    std::vector<Bytes> before;
    for (;;) {
        auto f = host.next();
        ASSERT_TRUE(f);
        if (mxx_frame_code(f->data()) == 9007) break;
        before.push_back(*f);
    }
    EXPECT_EQ(before, GetParam().expected);
}

sim::Faults with(double sim::Faults::*field) {
    sim::Faults f;
    f.*field = 1;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, AnswerFault,
    ::testing::Values(
        FaultCase{"drop", with(&sim::Faults::drop), {}},
        FaultCase{"corrupt", with(&sim::Faults::corrupt), {}},
        FaultCase{"retry0", with(&sim::Faults::retry0), {test::frame(MXX_CODE_RETRY, 12)}},
        FaultCase{
            "retry_fail", with(&sim::Faults::retry_fail), {test::frame(MXX_CODE_RETRY, 12, 5)}},
        FaultCase{"refuse", with(&sim::Faults::refuse), {test::frame(MXX_CODE_REFUSAL, 12)}},
        FaultCase{"fail_status", with(&sim::Faults::fail_status), {test::frame(9001, 12, 1)}},
        FaultCase{"response_then_refusal",
                  with(&sim::Faults::response_then_refusal),
                  {test::frame(9001, 12), test::frame(MXX_CODE_REFUSAL, 12)}},
        FaultCase{"junk", with(&sim::Faults::junk), {test::frame(9001, 12)}},
        FaultCase{"delayed", sim::Faults{.delay_ms = 30}, {test::frame(9001, 12)}},
        FaultCase{
            "split", sim::Faults{.split_pause_ms = 2, .split_chunk = 3}, {test::frame(9001, 12)}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sim, CorruptionBreaksOneCheckByteOnTheWire) {
    serve(with(&sim::Faults::corrupt));
    Host host(instrument->port());
    host.command(8001, 12);
    host.command(sim::kCodeProbe, 1);
    ASSERT_TRUE(host.next());  // the probe's answer; the corrupt one went before it
    Bytes good = test::frame(9001, 12);
    ASSERT_GE(host.raw.size(), good.size());
    Bytes sent(host.raw.begin(), host.raw.begin() + static_cast<long>(good.size()));
    int differing = 0;
    for (size_t i = 0; i < good.size(); ++i)
        differing += sent[i] != good[i];
    EXPECT_EQ(differing, 1);
    EXPECT_TRUE(sent[11] != good[11] || sent.back() != good.back());
}

TEST_F(Sim, ResponseThenRefusalArriveInOneRead) {
    serve(with(&sim::Faults::response_then_refusal));
    Host host(instrument->port());
    host.command(8001, 12);
    ASSERT_TRUE(host.read_some());
    Bytes both = test::frame(9001, 12), refusal = test::frame(MXX_CODE_REFUSAL, 12);
    both.insert(both.end(), refusal.begin(), refusal.end());
    EXPECT_EQ(host.last_read, both);
}

TEST_F(Sim, JunkNeverHoldsTheMagicsFirstByte) {
    serve(with(&sim::Faults::junk));
    Host host(instrument->port());
    for (uint16_t i = 0; i < 20; ++i)
        host.command(sim::kCodeProbe, i);  // link faults hit probes too
    for (uint16_t i = 0; i < 20; ++i) {
        auto f = host.next();
        ASSERT_TRUE(f);
        EXPECT_EQ(mxx_frame_param(f->data()), i);
    }
    size_t frames_bytes = 20 * (MXX_FRAME_OVERHEAD + 8);
    EXPECT_GE(host.raw.size(), frames_bytes + 20);
    EXPECT_EQ(std::count(host.raw.begin(), host.raw.end(), 'B'), 20);
}

TEST_F(Sim, ClosesTheLinkAfterNFramesAndAcceptsAgain) {
    serve(sim::Faults{.close_after_frames = 2});
    {
        Host host(instrument->port());
        for (uint16_t i = 0; i < 4; ++i)
            host.command(8001, i);
        ASSERT_TRUE(host.wait_closed());
        EXPECT_EQ(host.raw.size(), 2u * MXX_FRAME_OVERHEAD);
    }
    Host again(instrument->port());
    again.command(8001, 9);
    ASSERT_TRUE(again.next());
    EXPECT_EQ(instrument->links_accepted(), 2);
}

TEST_F(Sim, RefusesWhatItDoesNotKnowAndNeverAnswersWithAnEventsCode) {
    serve();
    instrument->set_command(9007, sim::succeed());  // its response would read as event 10007
    Host host(instrument->port());
    const uint16_t unknown[] = {1109, 1001, 1234, 9007};
    for (uint16_t code : unknown)
        host.command(code, code);
    for (uint16_t code : unknown) {
        auto f = host.next();
        ASSERT_TRUE(f);
        EXPECT_EQ(*f, test::frame(MXX_CODE_REFUSAL, code));
    }
}

TEST_F(Sim, IgnoresProbesWhenToldButAnswersOtherCommands) {
    serve(sim::Faults{.ignore_probes = true});
    Host host(instrument->port());
    host.command(sim::kCodeProbe, 1);
    host.command(8001, 2);
    auto f = host.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, test::frame(9001, 2));
}

// The answers to 40 commands, each marked by its param; the spared probe ends the list.
std::vector<std::pair<int, int>> answer_pattern(sim::Instrument &instrument) {
    Host host(instrument.port());
    for (uint16_t i = 0; i < 40; ++i)
        host.command(8001, i);
    host.command(sim::kCodeProbe, 1000);
    std::vector<std::pair<int, int>> pattern;
    while (auto f = host.next()) {
        if (mxx_frame_code(f->data()) == 9007) break;
        pattern.emplace_back(mxx_frame_code(f->data()), mxx_frame_param(f->data()));
    }
    return pattern;
}

TEST_F(Sim, SameSeedGivesTheSameFaults) {
    sim::Faults f{.drop = 0.25, .retry0 = 0.25, .refuse = 0.25, .seed = 7};
    serve(f);
    auto first = answer_pattern(*instrument);
    instrument->set_faults(f);
    auto again = answer_pattern(*instrument);
    f.seed = 8;
    instrument->set_faults(f);
    auto other = answer_pattern(*instrument);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    EXPECT_LT(first.size(), 40u);  // some were dropped
    auto has = [&](int code) {
        return std::any_of(first.begin(), first.end(), [&](auto &a) { return a.first == code; });
    };
    EXPECT_TRUE(has(9001) && has(MXX_CODE_RETRY) && has(MXX_CODE_REFUSAL));
}

TEST_F(Sim, SendsEventsFromItsTableAndOnRequest) {
    serve();
    std::atomic<int> asked{0};
    instrument->set_event(10007, 1, [&asked]() -> std::optional<Bytes> {
        return Bytes{static_cast<uint8_t>(++asked)};
    });
    Host host(instrument->port());
    for (int i = 1; i <= 3; ++i) {
        auto f = host.next();
        ASSERT_TRUE(f);
        EXPECT_EQ(*f, test::frame(10007, 0, 0, {static_cast<uint8_t>(i)}));
    }
    instrument->set_event(10007, 0, nullptr);
    instrument->send_event(10005, {5, 5});
    while (auto f = host.next())
        if (mxx_frame_code(f->data()) != 10007) {
            EXPECT_EQ(*f, test::frame(10005, 0, 0, {5, 5}));
            break;
        }
}

TEST_F(Sim, ServesOneLinkAtATime) {
    serve();
    auto first = std::make_unique<Host>(instrument->port());
    first->command(8001, 1);
    ASSERT_TRUE(first->next());
    Host second(instrument->port());  // waits in the backlog
    second.command(8001, 2);
    instrument->close_link();
    EXPECT_TRUE(first->wait_closed());
    auto f = second.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(*f, test::frame(9001, 2));
    EXPECT_EQ(instrument->links_accepted(), 2);
}

TEST_F(Sim, AnswersDiscoveryToTheRequestersPort) {
    serve(sim::Faults{.delay_ms = 60000});  // a held-back link answer must not hold up discovery
    instrument->set_serial("C7654321");
    Host host(instrument->port());
    host.command(8001, 1);
    ASSERT_TRUE(instrument->wait_commands(1, std::chrono::seconds(10)));

    int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in self = test::loopback(0), to = test::loopback(instrument->udp_port());
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr *>(&self), sizeof self), 0);
    Bytes request = test::frame(MXX_CODE_DISCOVERY_REQUEST, 3000);
    ::sendto(udp, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    ASSERT_TRUE(test::readable(udp));
    uint8_t buf[512];
    ssize_t n = ::recv(udp, buf, sizeof buf, 0);
    ::close(udp);
    ASSERT_EQ(n, 66 + MXX_FRAME_OVERHEAD);
    Bytes reply(buf, buf + n);
    EXPECT_EQ(mxx_frame_code(buf), MXX_CODE_DISCOVERY_REPLY);
    Bytes payload = test::payload_of(reply);
    auto text = [&](size_t at, size_t width) {
        return std::string(reinterpret_cast<char *>(payload.data() + at), width);
    };
    EXPECT_EQ(text(0, 10), std::string("C7654321\0\0", 10));  // the name
    EXPECT_EQ(text(10, 16), std::string("127.0.0.1\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(text(26, 40), std::string(40, '\0'));  // no alternative address
    EXPECT_EQ(instrument->discovery_requests(), 1);
}

// Over a radio-like link a large answer arrives as the line carries it, behind the latency of
// each way, and the answer to a restart still crosses the line before it goes down.
TEST(SimLink, PacesWhatItSendsAndDrainsBeforeGoingDown) {
    sim::Options o = ephemeral();
    o.link = {40000, 25};
    sim::Instrument instrument(o);
    constexpr size_t kPicture = 20000;  // half a second of the line
    instrument.set_command(8001, [](const sim::Command &c) -> std::optional<sim::Answer> {
        return sim::Answer{0, c.param, 0, Bytes(kPicture, 0x5A)};
    });
    instrument.set_command(8002, [&](const sim::Command &c) -> std::optional<sim::Answer> {
        instrument.restart(std::chrono::milliseconds(100));
        return sim::default_answer(c);
    });
    std::string error;
    ASSERT_TRUE(instrument.start(&error)) << error;
    Host host(instrument.port());
    auto sent = std::chrono::steady_clock::now();
    host.command(8001, 1);
    ASSERT_TRUE(host.read_some());
    size_t first = host.raw.size();
    auto picture = host.next();
    // Pacing can only be slower than the line, never faster: a lower bound is sound.
    auto elapsed = std::chrono::steady_clock::now() - sent;
    ASSERT_TRUE(picture);
    EXPECT_EQ(test::payload_of(*picture).size(), kPicture);
    EXPECT_LT(first, picture->size()) << "the whole picture came at once";
    EXPECT_GE(elapsed, std::chrono::milliseconds(25 + 500 + 25));

    host.command(8002, 2);
    auto answer = host.next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, test::frame(9002, 2));
    EXPECT_TRUE(host.wait_closed());
}

TEST(SimStart, RefusesAnAddressOffLoopbackUnlessAllowed) {
    sim::Options o = ephemeral();
    o.address = "192.0.2.1";
    sim::Instrument instrument(o);
    std::string error;
    EXPECT_FALSE(instrument.start(&error));
    EXPECT_NE(error.find("--allow-non-loopback"), std::string::npos) << error;
    o.address = "localhost";
    sim::Instrument named(o);
    EXPECT_FALSE(named.start(&error));
    EXPECT_NE(error.find("not an IPv4 address"), std::string::npos) << error;
    o = ephemeral();
    o.serial = "C12345678";  // one more than the serial field holds
    sim::Instrument wide(o);
    EXPECT_FALSE(wide.start(&error));
    EXPECT_NE(error.find("8-character"), std::string::npos) << error;
}

}  // namespace
