#include "log.h"

#include <gtest/gtest.h>

#include <regex>

#include "test_util.h"

namespace {

TEST(AgentLog, LinesCarryStampAndTenCharacterLabel) {
    LogCapture log("lines");
    agent_log(LOG_HBS_ERROR, "one");
    agent_logf(LOG_PUSH, "two %d", 2);
    agent_log(0, "zero");
    agent_log(99, "ninety-nine");
    agent_log(3, "three");
    std::string text = log.text();
    std::regex line(R"(\[\d{4}-\d\d-\d\d\.\d\d:\d\d:\d\d\] HBS  ERROR one\n)"
                    R"(\[[^\]]+\] PUSH       two 2\n)"
                    R"(\[[^\]]+\] INFO       zero\n)"
                    R"(\[[^\]]+\] INFO       ninety-nine\n)"
                    R"(\[[^\]]+\] INFO       three\n)");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(AgentLog, LabelsArePaddedToTen) {
    for (int level : {1, 2, 10, 20, 21, 30, 31, 40, 41, 50, 51, 7})
        EXPECT_EQ(std::string(log_level_label(level)).size(), 10u) << level;
    EXPECT_STREQ(log_level_label(41), "VPN  ERROR");
    EXPECT_STREQ(log_level_label(51), "MGMT ERROR");
}

TEST(AgentLog, DebugCreatesTheFileButWritesNothing) {
    LogCapture log("debug");
    agent_log(LOG_DEBUG, "hidden");
    EXPECT_TRUE(std::ifstream(log.path()).good());
    EXPECT_EQ(log.text(), "");
}

TEST(AgentLog, PercentIsLiteralAndLongLinesAreCut) {
    LogCapture log("percent");
    agent_log(LOG_INFO, "100%s %d");
    agent_logf(LOG_INFO, nullptr);
    agent_log(LOG_INFO, std::string(3000, 'x'));
    std::string text = log.text();
    EXPECT_NE(text.find("INFO       100%s %d\n"), std::string::npos);
    std::size_t second = text.find('\n') + 1;
    std::string line2 = text.substr(second);
    EXPECT_EQ(line2.size(), 1024u);  // 1023 characters and the newline
    EXPECT_EQ(line2.back(), '\n');
}

}  // namespace
