// The payload table and the recorder folder themselves: every payload does
// harm when pasted into a command line as it is (so a safe result of a place
// means something), and the folder sees both the canary and the words.
#include "rt_test/payloads.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using rt_test::Payload;
using rt_test::Scratch;

std::string single_quoted(const std::string &v) {
    return "'" + v + "'";
}
std::string double_quoted(const std::string &v) {
    return "\"" + v + "\"";
}

TEST(Payloads, EachOneBreaksANaiveCommandLine) {
    Scratch s("selftest");
    for (const Payload &p : rt_test::payloads(s.canary())) {
        bool harmful = false;
        for (auto wrap :
             {+[](const std::string &v) { return v; }, &single_quoted, &double_quoted}) {
            bool form = false;
            auto run = s.run("prog -x " + wrap(p.text) + " -y", "prog", "", form);
            ASSERT_TRUE(form);
            bool whole = run.calls.size() == 1 &&
                         run.calls[0] == std::vector<std::string>{"-x", p.text, "-y"};
            if (s.canary_ran() || !whole) harmful = true;
        }
        EXPECT_TRUE(harmful) << "[" << p.name << "] passes a naive command line unchanged";
    }
}

TEST(Payloads, QuotedValuesArriveWholeAndTheTailIsReplaced) {
    Scratch s("selftest");
    for (const Payload &p : rt_test::payloads(s.canary())) {
        std::string q = "'";
        for (char c : p.text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        q += "'";
        bool form = false;
        auto run = s.run("prog " + q + " >>/var/log/none.log 2>&1", "prog",
                         ">>/var/log/none.log 2>&1", form);
        ASSERT_TRUE(form);
        EXPECT_FALSE(s.canary_ran()) << p.name;
        ASSERT_EQ(run.calls.size(), 1u) << p.name;
        EXPECT_EQ(run.calls[0], std::vector<std::string>{p.text}) << p.name;
    }
    bool form = true;
    s.run("other x", "prog", "", form);
    EXPECT_FALSE(form);
    s.run("prog x >>/elsewhere 2>&1", "prog", ">>/var/log/none.log 2>&1", form);
    EXPECT_FALSE(form);
}

TEST(Payloads, LeftOutCharacters) {
    for (const Payload &p : rt_test::payloads("/c", "\n;")) {
        EXPECT_EQ(p.text.find('\n'), std::string::npos);
        EXPECT_EQ(p.text.find(';'), std::string::npos);
    }
    EXPECT_LT(rt_test::payloads("/c", "\n;").size(), rt_test::payloads("/c").size());
}

}  // namespace
