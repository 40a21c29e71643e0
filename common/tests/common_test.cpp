#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "rtu/files.h"
#include "rtu/shell.h"

namespace {

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
    const char *hostile[] = {"plain", "with blank", "a'b", "$(touch /nonexistent)", "`id`;rm -rf x",
                             "'", "", "line\nbreak", "\\'\\"};
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
    const char *hostile[] = {"a'b", "$(touch /nonexistent)", "`id`;rm -rf x", "~root", "x*",
                             "-n", "a&b", "line\nbreak", "#c", "{a,b}", "!x", "a=b;c"};
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
    unlink(p.c_str());
    unlink(target.c_str());
}

TEST(StatusFiles, NumbersAsEchoWritesThemAndOnlyDigitsReadBack) {
    std::string p = temp_path("number");
    ASSERT_TRUE(rtu::write_number_file(p, 4));
    EXPECT_EQ(rtu::read_file(p).value(), "4\n");
    EXPECT_EQ(rtu::read_number_file(p), 4);
    for (const char *text : {"3", "3\r\n", "007\n"})
        EXPECT_TRUE(rtu::write_status_file(p, text) && rtu::read_number_file(p).has_value()) << text;
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

}  // namespace
