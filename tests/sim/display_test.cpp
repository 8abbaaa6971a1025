// The display picture: a PNG of the screen whose menu the remote keys move.
#include <gtest/gtest.h>

#include <QImage>

#include "m30_host.h"

namespace {

using test::Bytes;

TEST(M30Display, PictureIsAPngOfTheScreenThatTheKeysChange) {
    sim::M30Options o;
    o.events = false;  // no reading changes the picture meanwhile
    test::M30Sim sim(o);
    test::Host host(sim.instrument.port());
    auto picture = [&] {
        test::Download d = test::download(host, 8, 1, 0);
        EXPECT_TRUE(d.ok);
        for (uint32_t length : d.chunks)
            EXPECT_LE(length, 8170u);
        return d.data;
    };
    auto key = [&](int32_t code) { test::ask(host, 8041, 1000, test::bytes_of(code)); };

    Bytes first = picture();
    QImage image;
    ASSERT_TRUE(image.loadFromData(first.data(), static_cast<int>(first.size())));
    EXPECT_EQ(image.size(), QSize(320, 240));
    EXPECT_EQ(picture(), first);  // the same screen draws the same bytes

    std::vector<Bytes> seen{first};
    for (int32_t code : {108, 28, 106, 106}) {
        key(code);
        Bytes now = picture();
        for (const Bytes &before : seen)
            EXPECT_NE(now, before) << "key " << code;
        seen.push_back(now);
    }
    key(105);  // back a page
    EXPECT_EQ(picture(), seen[3]);
    key(28);   // close
    key(103);  // back to the first item
    EXPECT_EQ(picture(), first);
}

}  // namespace
