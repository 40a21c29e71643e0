// The answer window and the echo watch of atsend.
#include "atsend.h"

#include <gtest/gtest.h>

#include <string>

using atsend::AnswerWindow;
using atsend::EchoWatch;

namespace {

// Feeds s; the number of bytes fed when a final result code was found, 0 if none.
std::size_t feed(AnswerWindow &w, const std::string &s) {
    for (std::size_t i = 0; i < s.size(); ++i)
        if (w.append_and_check(s[i])) return i + 1;
    return 0;
}

}  // namespace

TEST(AnswerWindow, FinalResultCodesAtTheStartOfALine) {
    struct Case {
        const char *answer;
        std::size_t found_at;  // bytes read when found, 0: never
    } cases[] = {
        {"\r\n+CSQ: 20,99\r\n\r\nOK\r\n", 19},
        {"\r\nERROR\r\n", 7},
        {"\r\n+CMS ERROR: 500\r\n", 13},
        {"\r\n+CME ERROR: 10\r\n", 13},
        {"OK", 2},  // the answer begins a line
        {"\r\n+CMGS: 7\r\n\r\nOK\r\n", 16},
        {"\n> Pump 3 OK\x1a", 0},  // an echoed SMS text
        {"\r\nTank 2 OK\r\nERROR 4\r\n", 18},
        {"\r\n+CME: 1234567890123ERROR\r\n", 0},
        {"\r\nO K ERR OR\r\nRING\r\n+CMTI: \"SM\",5\r\n", 0},
        {"\r\n+CMS ERROR 500\r\n", 0},
    };
    for (const Case &c : cases) {
        AnswerWindow w;
        w.clear();
        EXPECT_EQ(feed(w, c.answer), c.found_at) << c.answer;
    }
}

TEST(AnswerWindow, CodeAfterLongLinesIsFound) {
    for (std::size_t lead = 15; lead <= 40; ++lead) {
        AnswerWindow w;
        w.clear();
        std::string s = std::string(lead, 'x') + "\r\nERROR";
        EXPECT_EQ(feed(w, s), s.size()) << lead;
    }
}

TEST(EchoWatch, TheTextInOrderWithWhateverTheModemPutsBetween) {
    EchoWatch none("");
    EXPECT_TRUE(none.complete());

    EchoWatch e("Pump 3 OK");
    for (char c : std::string("\n\r\nRING\r\n\r\n> Pump 3 O")) e.feed(c);
    EXPECT_FALSE(e.complete());
    e.feed('K');
    EXPECT_TRUE(e.complete());

    // A CR in the text makes the modem prompt again.
    EchoWatch cr("a\rb");
    for (char c : std::string("\r\n> a\r\r\n> ")) cr.feed(c);
    EXPECT_FALSE(cr.complete());
    cr.feed('b');
    EXPECT_TRUE(cr.complete());
}
