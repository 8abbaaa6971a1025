#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "comm/log.h"

namespace {

namespace fs = std::filesystem;

class Log : public ::testing::Test {
protected:
    void SetUp() override {
        log_reset();
        dir = fs::temp_directory_path() / ("survokart-log-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        log_reset();
        fs::remove_all(dir);
    }
    static std::string read(const fs::path &p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir;
};

TEST_F(Log, UnregisteredChannelWritesNothing) {
    fs::path file = dir / "comm.log";
    ASSERT_EQ(log_addlevel("COMM", 1, 0, 0, 0, file.c_str()), 0);
    EXPECT_EQ(log_write("NET", "Net line %d\n", 1), 0);
    EXPECT_EQ(log_write("COMM", "Comm line %d\n", 2), 0);
    std::string text = read(file);
    EXPECT_EQ(text.find("Net line"), std::string::npos);
    EXPECT_NE(text.find("Comm line 2"), std::string::npos);
}

TEST_F(Log, ChannelsSharingAPathWriteOneFileClosedOnce) {
    fs::path file = dir / "shared.log";
    ASSERT_EQ(log_addlevel("COMM", 1, 0, 0, 0, file.c_str()), 0);
    ASSERT_EQ(log_addlevel("NET", 1, 0, 0, 0, file.c_str()), 0);
    log_write("COMM", "first\n");
    log_write("NET", "second\n");
    log_append("NET", "continued\n");
    EXPECT_EQ(log_close(), 0);  // a double close would abort under the sanitizers
    log_write("NET", "after close\n");

    std::string text = read(file);
    std::regex stamped(R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d first\n)"
                       R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d second\ncontinued\n$)");
    EXPECT_TRUE(std::regex_match(text, stamped)) << text;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);
}

TEST_F(Log, RedirectHookTakesEnabledChannels) {
    static std::string seen;
    seen.clear();
    log_redirect([](const char *channel, int, const char *text) {
        seen += std::string(channel) + ":" + text;
        return 1;
    });
    log_addlevel("COMM", 0, 1, 0, 0, "");
    log_addlevel("QUIET", 0, 0, 0, 0, "");
    log_write("COMM", "shown\n");
    log_write("QUIET", "hidden\n");
    log_seterror(0, 1, 0, 0, "");
    log_error("bad %s\n", "thing");
    EXPECT_EQ(seen, "COMM:shown\nERROR:bad thing\n");
    EXPECT_EQ(log_num_errors(), 1);
}

TEST_F(Log, ErrorFileIsStampedAndReopened) {
    fs::path file = dir / "errors.log";
    ASSERT_EQ(log_seterror(1, 0, 0, 0, file.c_str()), 0);
    log_error("first\n");
    ASSERT_EQ(log_reinit(), 0);
    log_error("second\n");
    log_close();
    std::string text = read(file);
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\d\d:\d\d:\d\d:first\n)"))) << text;
    EXPECT_NE(text.find(":second\n"), std::string::npos);
}

TEST_F(Log, TableOfChannelsIsBounded) {
    for (int i = 0; i < LOG_MAX_CHANNELS; ++i)
        ASSERT_EQ(log_addlevel(("C" + std::to_string(i)).c_str(), 0, 0, 0, 0, ""), 0);
    EXPECT_EQ(log_addlevel("ONE_TOO_MANY", 0, 0, 0, 0, ""), -1);
    EXPECT_EQ(log_setlevel("ONE_TOO_MANY", 1), -1);
    EXPECT_EQ(log_setlevel("C24", 1), 0);
}

TEST_F(Log, UnopenableFileIsRefused) {
    fs::path file = dir / "missing-folder" / "x.log";
    EXPECT_EQ(log_addlevel("COMM", 1, 0, 0, 0, file.c_str()), -1);
    EXPECT_EQ(log_num_errors(), 1);
}

}  // namespace
