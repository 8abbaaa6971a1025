#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frames.h"
#include "mxx/mxx.h"
#include "mxx/reassembler.h"
#include "mxx/transaction.h"

namespace {

using test::frame;

TEST(FrameBuilding, ProbeExampleAndParamFromTimeOut) {
    std::vector<uint8_t> f(MXX_FRAME_OVERHEAD);
    ASSERT_EQ(mxx_build_frame(f.data(), 8007, 200, 0, nullptr, 0), 13);
    std::vector<uint8_t> expected = {'B',  'R',  'N',  'O',  0x47, 0x1F, 0x01,
                                     0x00, 0xC8, 0x00, 0x00, 0x80, 0x00};
    EXPECT_EQ(f, expected);

    unsigned char request[MXX_FRAME_OVERHEAD];
    MXX_build_discovery_request(request);
    EXPECT_EQ(mxx_frame_code(request), 8601);
    EXPECT_EQ(mxx_frame_param(request), 3000);
    EXPECT_EQ(request[11], 0x1B);
    EXPECT_EQ(request[12], 0x00);

    std::string with_payload = frame(1234, std::string("\x01\x02\x04", 3));
    EXPECT_EQ(with_payload.size(), 16u);
    EXPECT_EQ(mxx_frame_length(with_payload.data()), 4);
    EXPECT_EQ(static_cast<uint8_t>(with_payload.back()), 0x07);
}

TEST(FrameBuilding, SendCmdPutsTheTimeOutIntoAZeroParam) {
    // Without a connection the write fails, but the frame is built first; check the builder's
    // rule through the same conversion the transaction uses.
    std::vector<uint8_t> f(MXX_FRAME_OVERHEAD);
    mxx_build_frame(f.data(), 8007, static_cast<uint16_t>(70000), 0, nullptr, 0);
    EXPECT_EQ(mxx_frame_param(f.data()), 4464);
    EXPECT_EQ(
        MXX_send_cmd(9999, 8007, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, 70000, 0),
        -1);
    std::string big(MXX_MAX_PAYLOAD + 1, 'x');
    EXPECT_EQ(MXX_send_cmd(9999, 1, 1, big.data(), static_cast<unsigned>(big.size()), nullptr, 0,
                           nullptr, nullptr, nullptr, 100, 0),
              -1);
}

// Collects what a reassembler completes.
struct Collected {
    mxx_reassembler r;
    std::vector<std::string> frames;

    void feed(const std::string &s) {
        mxx_reassemble(r, reinterpret_cast<const uint8_t *>(s.data()), s.size(), sink, this);
    }
    static void sink(void *ctx, uint8_t *f, int size) {
        static_cast<Collected *>(ctx)->frames.emplace_back(reinterpret_cast<char *>(f), size);
    }
};

TEST(Reassembly, JunkExtraBAndSplits) {
    Collected c;
    std::string good = frame(10007, "status!");
    c.feed("\x17\x42" + std::string("xy") + good);  // junk, a lone "B" then junk, a frame
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0], good);

    // An extra "B" right before a frame costs that frame: the second "B" is consumed where "R"
    // was expected.
    Collected extra;
    extra.feed("B" + good);
    EXPECT_TRUE(extra.frames.empty());
    extra.feed(good);
    EXPECT_EQ(extra.frames.size(), 1u);

    Collected split;
    for (char ch : good)
        split.feed(std::string(1, ch));
    ASSERT_EQ(split.frames.size(), 1u);
    EXPECT_EQ(split.frames[0], good);

    Collected two;
    two.feed(good + frame(10005, "t"));
    ASSERT_EQ(two.frames.size(), 2u);
    EXPECT_EQ(mxx_frame_code(two.frames[1].data()), 10005);
}

TEST(Reassembly, CorruptFramesAreDroppedAndHuntingGoesOn) {
    std::string good = frame(9007, "C1234567");
    std::string bad_header = good;
    bad_header[11] ^= 1;
    std::string bad_payload = good;
    bad_payload.back() ^= 1;
    Collected c;
    c.feed(bad_header + good + bad_payload + good);
    EXPECT_EQ(c.frames.size(), 2u);

    // Length 0: no payload part at all, dispatched with 12 bytes.
    std::string header_only = frame(10010).substr(0, 12);
    header_only[6] = header_only[7] = 0;
    header_only[11] =
        static_cast<char>(mxx_xor(reinterpret_cast<uint8_t *>(header_only.data()), 11));
    Collected z;
    z.feed(header_only + good);
    ASSERT_EQ(z.frames.size(), 2u);
    EXPECT_EQ(z.frames[0].size(), 12u);

    // A length the buffer cannot hold is dropped; the next frame is found.
    std::string huge = good.substr(0, 12);
    mxx_put16(huge.data() + 6, MXX_MAX_LENGTH_FIELD + 1);
    huge[11] = static_cast<char>(mxx_xor(reinterpret_cast<uint8_t *>(huge.data()), 11));
    Collected h;
    h.feed(huge + good);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0], good);
}

TEST(Reassembly, LargestFrameFitsTheBuffer) {
    std::string payload(MXX_MAX_LENGTH_FIELD - 1, 'p');
    Collected c;
    c.feed(frame(10002, payload));
    ASSERT_EQ(c.frames.size(), 1u);
    EXPECT_EQ(c.frames[0].size(), size_t(MXX_FRAME_BUFFER_SIZE));
}

TEST(Transaction, AnswerPrecedenceResponseRefusalRetry) {
    std::string rsp = frame(2001, "ok", 7), rsp_failed = frame(2001, "", 0, 4);
    std::string refusal = frame(MXX_CODE_REFUSAL), retry = frame(MXX_CODE_RETRY, "", 0, 0),
                retry_failed = frame(MXX_CODE_RETRY, "", 0, 5);
    auto examine = [](const std::string &a, const std::string &b, const std::string &c) {
        const uint8_t *frames[3] = {reinterpret_cast<const uint8_t *>(a.data()),
                                    reinterpret_cast<const uint8_t *>(b.data()),
                                    reinterpret_cast<const uint8_t *>(c.data())};
        int lengths[3] = {int(a.size()), int(b.size()), int(c.size())};
        return mxx_examine(frames, lengths).verdict;
    };
    EXPECT_EQ(examine(rsp, refusal, retry), mxx_verdict::success);  // the response wins
    EXPECT_EQ(examine(rsp_failed, "", ""), mxx_verdict::failure);
    EXPECT_EQ(examine("", refusal, retry), mxx_verdict::failure);
    EXPECT_EQ(examine("", "", retry), mxx_verdict::retry);
    EXPECT_EQ(examine("", "", retry_failed), mxx_verdict::failure);
    EXPECT_EQ(examine("", "", ""), mxx_verdict::none);
}

}  // namespace
