// The answer window of atsend.
#include <gtest/gtest.h>

#include <string>

#include "atsend.h"

using atsend::AnswerWindow;

namespace {

bool feed(AnswerWindow &w, const std::string &s) {
    bool found = false;
    for (char c : s) found = w.append_and_check(c) || found;
    return found;
}

}  // namespace

TEST(AnswerWindow, FindsOkAndError) {
    AnswerWindow w;
    w.clear();
    EXPECT_FALSE(feed(w, "\r\n+CSQ: 20,99\r\n"));
    EXPECT_TRUE(feed(w, "OK"));
    w.clear();
    EXPECT_TRUE(feed(w, "\r\nERROR\r\n"));
    w.clear();
    EXPECT_FALSE(feed(w, "O K ERR OR"));
}

TEST(AnswerWindow, FinalWordSplitOverTheShiftIsStillFound) {
    // Every split point of "ERROR" and "OK" across the shift after 21 characters.
    for (std::size_t lead = 15; lead <= 24; ++lead) {
        for (const std::string word : {"ERROR", "OK"}) {
            AnswerWindow w;
            w.clear();
            std::string s = std::string(lead, 'x') + word;
            bool found = false;
            std::size_t at = 0;
            for (char c : s) {
                ++at;
                if (w.append_and_check(c)) {
                    found = true;
                    break;
                }
            }
            EXPECT_TRUE(found) << word << " after " << lead;
            EXPECT_EQ(at, s.size()) << "found exactly when its last byte arrived";
        }
    }
}

TEST(AnswerWindow, ShiftKeepsTheLastTenCharacters) {
    AnswerWindow w;
    w.clear();
    feed(w, "abcdefghijklmnopqrstu");  // 21 characters: shifted once
    EXPECT_EQ(w.text(), "klmnopqrstu");
    feed(w, "vwxyz0123");
    EXPECT_EQ(w.text(), "klmnopqrstuvwxyz0123");
    feed(w, "4");
    EXPECT_EQ(w.text(), "uvwxyz01234");
}

TEST(AnswerWindow, EchoesOfLongTextsStayInside) {
    // 63-character commands and 255-character messages: every position is valid.
    AnswerWindow w;
    w.clear();
    for (std::size_t i = 0; i < 256; ++i) w.put_echo(i, 'e');
    w.clear();
    EXPECT_EQ(w.text(), "");
    EXPECT_TRUE(feed(w, "OK"));
}
