#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "rtu/files.h"
#include "rtu/numbers.h"
#include "rtu/shell.h"
#include "rtu/split.h"
#include "rtu/streams.h"

namespace {

// The words /bin/sh makes of a plain command line (printf prints them).
std::vector<std::string> split_by_shell(const std::string &line) {
    std::string out = rtu::output_of("printf '%s\\0' " + line);
    std::vector<std::string> words;
    for (std::size_t start = 0, end; (end = out.find('\0', start)) != std::string::npos;
         start = end + 1)
        words.push_back(out.substr(start, end - start));
    return words;
}

std::string temp_path(const char *name) {
    return std::string(::testing::TempDir()) + "/rtu_" + std::to_string(getpid()) + "_" + name;
}

TEST(FormatCmd, CutsAt1023Characters) {
    std::string longarg(3000, 'x');
    std::string cmd = rtu::format_cmd("echo %s", longarg.c_str());
    EXPECT_EQ(cmd.size(), 1023u);
    EXPECT_EQ(cmd.substr(0, 5), "echo ");
    EXPECT_EQ(rtu::format_bounded(8, "%d", 123456789), "1234567");
    EXPECT_EQ(rtu::format_bounded(1, "abc"), "");
}

TEST(ShellQuote, ValuesStayOneWordForTheShell) {
    const char *hostile[] = {"plain",         "with blank", "a'b", "$(touch /nonexistent)",
                             "`id`;rm -rf x", "'",          "",    "line\nbreak",
                             "\\'\\"};
    for (const char *v : hostile) {
        std::string out = rtu::output_of("printf '%s' " + rtu::shell_quote(v));
        EXPECT_EQ(out, v) << "value: " << v;
    }
}

TEST(ShellWord, PlainValuesUnchangedOthersQuoted) {
    EXPECT_EQ(rtu::shell_word("usb0"), "usb0");
    EXPECT_EQ(rtu::shell_word("/dev/cdc-wdm0"), "/dev/cdc-wdm0");
    EXPECT_EQ(rtu::shell_word("eth0.2"), "eth0.2");
    EXPECT_EQ(rtu::shell_word(""), "''");
    EXPECT_EQ(rtu::shell_word("a b"), "'a b'");
    const char *hostile[] = {"a'b",
                             "$(touch /nonexistent)",
                             "`id`;rm -rf x",
                             "~root",
                             "x*",
                             "-n",
                             "a&b",
                             "line\nbreak",
                             "#c",
                             "{a,b}",
                             "!x",
                             "a=b;c"};
    for (const char *v : hostile) {
        std::string out = rtu::output_of("printf '%s' " + rtu::shell_word(v));
        EXPECT_EQ(out, v) << "value: " << v;
    }
}

TEST(ShellQuote, ANulByteEndsTheValueNotTheQuote) {
    // A value read with a NUL inside (a binary configuration line): what the
    // shell gets is the text before it, still one closed word, whatever
    // follows in the command.
    using namespace std::string_literals;
    const std::string value = "sm\0' ; touch /nonexistent/x ; '"s;
    for (const std::string &q : {rtu::shell_quote(value), rtu::shell_word(value)}) {
        EXPECT_EQ(q.find('\0'), std::string::npos);
        std::string cmd = rtu::format_cmd("printf '%%s|' %s tail", q.c_str());
        EXPECT_EQ(rtu::output_of(cmd), "sm|tail|");
    }
    EXPECT_EQ(rtu::shell_quote("\0rest"s), "''");
}

TEST(RunShell, ReportsExitCodesAndSignals) {
    EXPECT_EQ(rtu::run_shell("true"), 0);
    EXPECT_EQ(rtu::run_shell("exit 3"), 3);
    EXPECT_EQ(rtu::run_shell("exit 255"), 255);
    EXPECT_EQ(rtu::run_shell("kill -9 $$"), 128 + 9);
}

TEST(FirstLineOf, CutsAtCarriageReturnOrLineFeed) {
    EXPECT_EQ(rtu::first_line_of("printf 'abc\\r\\ndef\\n'"), "abc");
    EXPECT_EQ(rtu::first_line_of("printf 'one\\ntwo'"), "one");
    EXPECT_EQ(rtu::first_line_of("printf 'noend'"), "noend");
    EXPECT_EQ(rtu::first_line_of("true"), "");
    EXPECT_EQ(rtu::first_line_of("printf 'abcdef'", 3), "abc");
    // A long writer after the first line must not be killed by a closed pipe.
    EXPECT_EQ(rtu::first_line_of("echo first; seq 1 20000 >/dev/null; seq 1 5000"), "first");
}

TEST(StatusFiles, WriteTruncateAppendAndReadBack) {
    std::string p = temp_path("status");
    ASSERT_TRUE(rtu::write_status_file(p, "long content here\n"));
    ASSERT_TRUE(rtu::write_status_file(p, "2\n"));
    EXPECT_EQ(rtu::read_file(p).value(), "2\n");
    ASSERT_TRUE(rtu::append_file(p, "3\r\n"));
    EXPECT_EQ(rtu::read_file(p).value(), "2\n3\r\n");
    EXPECT_EQ(rtu::read_first_line(p).value(), "2");
    EXPECT_TRUE(rtu::file_exists(p));
    unlink(p.c_str());
    EXPECT_FALSE(rtu::file_exists(p));
    EXPECT_FALSE(rtu::read_first_line(p).has_value());
    EXPECT_FALSE(rtu::write_status_file("/nonexistent-dir/x", "1"));
    EXPECT_EQ(rtu::cut_at_line_end("ab\rcd"), "ab");
    // a status path that is a link is written through, the link stays
    std::string target = temp_path("status-target");
    ASSERT_TRUE(rtu::write_status_file(target, "old"));
    ASSERT_EQ(symlink(target.c_str(), p.c_str()), 0);
    ASSERT_TRUE(rtu::write_status_file(p, "new"));
    struct stat st {};
    ASSERT_EQ(lstat(p.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(rtu::read_file(target).value(), "new");
    EXPECT_TRUE(rtu::remove_file(p));
    EXPECT_TRUE(rtu::file_exists(target));  // the link went, not what it names
    EXPECT_TRUE(rtu::remove_file(p));       // already gone
    std::string dir = temp_path("status-dir");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_TRUE(rtu::write_status_file(dir + "/x", "1"));
    EXPECT_FALSE(rtu::remove_file(dir));  // not empty: still there
    unlink((dir + "/x").c_str());
    EXPECT_TRUE(rtu::remove_file(dir));
    unlink(target.c_str());
}

TEST(Streams, CloseFileReportsAWriteThatWasLost) {
    std::string p = temp_path("stream");
    rtu::FilePtr f(std::fopen(p.c_str(), "w"));
    ASSERT_TRUE(f);
    rtu::put(f.get(), "%s=%d\n", "a", 1);
    rtu::put_text(f.get(), std::string_view("b\0", 2));
    EXPECT_TRUE(rtu::close_file(std::move(f)));
    EXPECT_EQ(rtu::read_file(p).value(), std::string("a=1\nb\0", 6));
    unlink(p.c_str());
    // A device that refuses every write: the loss shows at the close.
    rtu::FilePtr full(std::fopen("/dev/full", "w"));
    ASSERT_TRUE(full);
    rtu::put(full.get(), "%s\n", "lost");
    EXPECT_FALSE(rtu::close_file(std::move(full)));
    EXPECT_FALSE(rtu::close_file(nullptr));
}

TEST(Streams, CopyBoundedCutsAndTerminates) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(rtu::copy_bounded(buf, sizeof buf, "abc"));
    EXPECT_STREQ(buf, "abc");
    EXPECT_FALSE(rtu::copy_bounded(buf, sizeof buf, "abcd"));
    EXPECT_STREQ(buf, "abc");
    EXPECT_TRUE(rtu::copy_bounded(buf, sizeof buf, ""));
    EXPECT_STREQ(buf, "");
}

TEST(StatusFiles, NumbersAsEchoWritesThemAndOnlyDigitsReadBack) {
    std::string p = temp_path("number");
    ASSERT_TRUE(rtu::write_number_file(p, 4));
    EXPECT_EQ(rtu::read_file(p).value(), "4\n");
    EXPECT_EQ(rtu::read_number_file(p), 4);
    for (const char *text : {"3", "3\r\n", "007\n"})
        EXPECT_TRUE(rtu::write_status_file(p, text) && rtu::read_number_file(p).has_value())
            << text;
    for (const char *text : {"", "\n", " 3\n", "3x\n", "-1\n", "99999999999999999999\n"}) {
        ASSERT_TRUE(rtu::write_status_file(p, text));
        EXPECT_FALSE(rtu::read_number_file(p).has_value()) << text;
    }
    unlink(p.c_str());
    EXPECT_FALSE(rtu::read_number_file(p).has_value());
    // a marker is created empty, and an existing one is left as it is
    ASSERT_TRUE(rtu::touch_file(p));
    EXPECT_EQ(rtu::read_file(p).value(), "");
    ASSERT_TRUE(rtu::write_status_file(p, "x"));
    ASSERT_TRUE(rtu::touch_file(p));
    EXPECT_EQ(rtu::read_file(p).value(), "x");
    unlink(p.c_str());
}

struct NumberCase {
    const char *text;
    int base;
    std::optional<long long> leading;
    int as_int;
};

TEST(Numbers, LeadingNumberAsStrtollReadsItSaturated) {
    const NumberCase cases[] = {
        {"  42abc", 10, 42, 42},
        {"-7", 10, -7, -7},
        {"+5", 10, 5, 5},
        {"\n\t 3", 10, 3, 3},
        {"abc", 10, std::nullopt, 0},
        {"", 10, std::nullopt, 0},
        {"-", 10, std::nullopt, 0},
        {"4294967396,2147483648", 10, 4294967396LL, INT_MAX},
        {"99999999999999999999", 10, LLONG_MAX, INT_MAX},
        {"-99999999999999999999", 10, LLONG_MIN, INT_MIN},
        // base 0: 0x hexadecimal, a leading 0 octal
        {"2", 0, 2, 2},
        {"0x1", 0, 1, 1},
        {"0X1f", 0, 31, 31},
        {"010", 0, 8, 8},
        {"09", 0, 0, 0},  // octal stops at 9
        {"  7", 0, 7, 7},
        {"0x7fffffff", 0, 0x7fffffffLL, INT_MAX},
        {"0xffffffff", 0, 0xffffffffLL, INT_MAX},
        {"-0x80000001", 0, -0x80000001LL, INT_MIN},
    };
    for (const NumberCase &c : cases) {
        EXPECT_EQ(rtu::leading_number(c.text, c.base), c.leading) << c.text;
        EXPECT_EQ(rtu::leading_int(c.text, c.base), c.as_int) << c.text;
    }
    EXPECT_EQ(rtu::leading_number(std::string_view("\0001", 2)), std::nullopt) << "a NUL ends it";
}

using Views = std::vector<std::string_view>;

TEST(SplitFields, RunsOfSeparatorsAreOneAndNoFieldIsEmpty) {
    EXPECT_EQ(rtu::split_fields("SMS;;+1;;text;", ";"), (Views{"SMS", "+1", "text"}));
    EXPECT_EQ(rtu::split_fields(",,a,,b,c,,", ","), (Views{"a", "b", "c"}));
    EXPECT_EQ(rtu::split_fields(" eth0  10 wan\n", " "), (Views{"eth0", "10", "wan\n"}));
    EXPECT_EQ(rtu::split_fields("a\tb c", " \t"), (Views{"a", "b", "c"}));
    for (const char *none : {"", ";;", ";"}) EXPECT_TRUE(rtu::split_fields(none, ";").empty());
    // The separators may change from one field to the next, as with strtok.
    std::string_view line = "a\rb,16\r\n", field;
    std::size_t pos = 0;
    ASSERT_TRUE(rtu::next_field(line, pos, ",", field));
    EXPECT_EQ(field, "a\rb");
    ASSERT_TRUE(rtu::next_field(line, pos, ",\r\n", field));
    EXPECT_EQ(field, "16");
    EXPECT_FALSE(rtu::next_field(line, pos, ",\r\n", field));
    EXPECT_EQ(pos, line.size());
}

using Words = std::vector<std::string>;

TEST(SplitShellWords, AsTheShellSplitsWithoutExpanding) {
    struct Case {
        const char *text;
        Words words;
        bool plain;  // nothing the shell would expand: it must split it alike
    } const cases[] = {
        {"  -starttls   -auth ", {"-starttls", "-auth"}, true},
        {"-pass 'a b' -user \"x\\\"y\" c\\ d", {"-pass", "a b", "-user", "x\"y", "c d"}, true},
        {"-pass $(id);`id`", {"-pass", "$(id);`id`"}, false},
        {"", {}, false},
        {"'' \"\"", {"", ""}, true},
        {"\"a\\b\\$\"", {"a\\b$"}, true},
        {"x \\", {"x", "\\"}, true},  // a backslash at the end stays
        {"a\rb", {"a\rb"}, true},
    };
    for (const Case &c : cases) {
        auto got = rtu::split_shell_words(c.text);
        ASSERT_TRUE(got) << c.text;
        EXPECT_EQ(*got, c.words) << c.text;
        if (c.plain) {
            EXPECT_EQ(*got, split_by_shell(c.text)) << c.text;
        }
    }
    EXPECT_EQ(rtu::split_shell_words("a\rb", " \r"), (Words{"a", "b"}));
}

TEST(SplitShellWords, AQuoteLeftOpenIsRefused) {
    for (const char *text : {"-pass 'open", "\"a b", "a 'b' \"c", "x\\' '"})
        EXPECT_FALSE(rtu::split_shell_words(text)) << text;
    // Literal characters never quote: the same texts put in from elsewhere split.
    std::string text = "-f 'it's here'";
    std::vector<bool> literal(text.size(), false);
    literal[6] = true;
    EXPECT_FALSE(rtu::split_shell_words(text));
    EXPECT_EQ(rtu::split_shell_words(text, rtu::kShellBlanks, literal), (Words{"-f", "it's here"}));
}

}  // namespace
