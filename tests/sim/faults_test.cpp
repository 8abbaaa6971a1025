// Fault and link settings from options and scripts.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <tuple>

#include "sim/faults.h"
#include "sim/link_shape.h"

namespace {

std::string script(const std::string &text) {
    std::string path = ::testing::TempDir() + "faults-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    std::ofstream(path) << text;
    return path;
}

TEST(SimFaults, ParsesEveryKindOfValue) {
    sim::Faults f;
    std::string error;
    EXPECT_TRUE(sim::parse_fault_option(f, "drop", "0.25", &error)) << error;
    EXPECT_TRUE(sim::parse_fault_option(f, "close-after-frames", "3", &error)) << error;
    EXPECT_TRUE(sim::parse_fault_option(f, "ignore_probes", "yes", &error)) << error;
    EXPECT_TRUE(sim::parse_fault_option(f, "seed", "18446744073709551615", &error)) << error;
    EXPECT_EQ(f.drop, 0.25);
    EXPECT_EQ(f.close_after_frames, 3);
    EXPECT_TRUE(f.ignore_probes);
    EXPECT_EQ(f.seed, UINT64_MAX);
}

TEST(SimFaults, RefusesBadValuesWithTheReason) {
    sim::Faults f;
    std::string error;
    EXPECT_FALSE(sim::parse_fault_option(f, "drop", "1.5", &error));
    EXPECT_EQ(error, "drop needs a fraction from 0 to 1, got '1.5'");
    EXPECT_FALSE(sim::parse_fault_option(f, "delay_ms", "-4", &error));
    EXPECT_FALSE(sim::parse_fault_option(f, "junk", "0.1x", &error));
    EXPECT_FALSE(sim::parse_fault_option(f, "dorp", "0.1", &error));
    EXPECT_NE(error.find("known: drop,"), std::string::npos) << error;
    EXPECT_EQ(f.drop, 0);
}

TEST(SimFaults, LoadsAScriptWithComments) {
    sim::Faults f;
    std::string error;
    ASSERT_TRUE(sim::load_fault_script(
        f, script("# a lossy instrument\n\n  drop 0.2  # a fifth\nsplit_chunk\t4\nseed 7\n"),
        &error))
        << error;
    EXPECT_EQ(f.drop, 0.2);
    EXPECT_EQ(f.split_chunk, 4);
    EXPECT_EQ(f.seed, 7u);
}

TEST(SimFaults, RefusesABadScriptLineAndKeepsTheFaults) {
    sim::Faults f;
    f.junk = 0.5;
    std::string error;
    std::string path = script("drop 0.1\ncorrupt\n");
    EXPECT_FALSE(sim::load_fault_script(f, path, &error));
    EXPECT_EQ(error, path + ":2: expected 'key value', got 'corrupt'");
    EXPECT_FALSE(sim::load_fault_script(f, script("refuse 0.6\ndrop 0.6\n"), &error));
    EXPECT_NE(error.find("must not exceed 1"), std::string::npos) << error;
    EXPECT_FALSE(sim::load_fault_script(f, path + ".missing", &error));
    EXPECT_EQ(f.drop, 0);
    EXPECT_EQ(f.junk, 0.5);
}

}  // namespace

TEST(SimLink, TakesProfilesOrNumbersAndRefusesTheRest) {
    sim::LinkShape s;
    std::string error;
    const std::tuple<const char *, double, double> good[] = {{"serial115200", 11520, 1},
                                                             {"bluetooth", 40000, 25},
                                                             {"usb", 1e6, 0.5},
                                                             {"9600,12.5", 9600, 12.5}};
    for (auto [text, rate, latency] : good) {
        ASSERT_TRUE(sim::parse_link(text, s, &error)) << text << ": " << error;
        EXPECT_EQ(s.bytes_per_s, rate) << text;
        EXPECT_EQ(s.latency_ms, latency) << text;
    }
    for (const char *bad : {"", "fast", "40000", "0,5", "-1,5", "40000,-1", "40000,25,1", "inf,1",
                            "40000,nan", "40000,60001", " 40000,25"}) {
        error.clear();
        EXPECT_FALSE(sim::parse_link(bad, s, &error)) << bad;
        EXPECT_NE(error.find("BYTES_PER_S,LATENCY_MS"), std::string::npos) << error;
        EXPECT_NE(error.find("bluetooth"), std::string::npos) << error;
    }
    EXPECT_EQ(s.bytes_per_s, 9600);  // a refused value changes nothing
}
