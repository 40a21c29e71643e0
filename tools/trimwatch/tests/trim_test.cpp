// Reserve, interval and configuration line parsing of trimfile and trimwatch.
#include "trim.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <initializer_list>

namespace {

TEST(ReserveBytes, KilobytesToBytesIn64Bits) {
    EXPECT_EQ(trim::reserve_bytes("0"), 0);
    EXPECT_EQ(trim::reserve_bytes("512"), 512 * 1024);
    EXPECT_EQ(trim::reserve_bytes(" +7"), 7 * 1024);
    // 2 GiB and 4 GiB do not fit 32 bits; 4 GiB would wrap to 0.
    EXPECT_EQ(trim::reserve_bytes("2097152"), std::int64_t{1} << 31);
    EXPECT_EQ(trim::reserve_bytes("4194304"), std::int64_t{1} << 32);
    EXPECT_EQ(trim::reserve_bytes("99999999999999999999999"), INT64_MAX);
    EXPECT_EQ(trim::reserve_bytes("9007199254740991"), INT64_C(9007199254740991) * 1024);
    EXPECT_EQ(trim::reserve_bytes("9007199254740992"), INT64_MAX);  // * 1024 overflows
}

TEST(ReserveBytes, AnythingButANonNegativeNumberIsRefused) {
    for (const char *bad : std::initializer_list<const char *>{"", " ", "-1", "-0", "abc", "12abc",
                                                               "1.5", "0x10", "1 ", "+", nullptr})
        EXPECT_FALSE(trim::reserve_bytes(bad).has_value()) << (bad ? bad : "(null)");
}

TEST(Interval, ZeroNegativeOrNoNumberGiveSixty) {
    EXPECT_EQ(trim::interval_from_option("1"), 1);
    EXPECT_EQ(trim::interval_from_option("300"), 300);
    EXPECT_EQ(trim::interval_from_option("0"), 60);
    EXPECT_EQ(trim::interval_from_option("-5"), 60);
    EXPECT_EQ(trim::interval_from_option("soon"), 60);
    EXPECT_EQ(trim::interval_from_option("99999999999999"), INT_MAX);
    EXPECT_EQ(trim::interval_from_option("-99999999999999"), 60);
}

TEST(ConfigLine, PathCommaSize) {
    auto e = trim::parse_config_line("/var/log/messages,512\n");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->path, "/var/log/messages");
    EXPECT_EQ(e->size, 512);

    e = trim::parse_config_line("/var/log/a b,64\r\n");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->path, "/var/log/a b");
    EXPECT_EQ(e->size, 64);

    // Fields after the second are ignored, and so is text after the number.
    e = trim::parse_config_line("/tmp/x,16,extra,more");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->size, 16);
    e = trim::parse_config_line("/tmp/x,16kb");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->size, 16);
}

TEST(ConfigLine, InvalidLinesAreSkipped) {
    for (const char *bad :
         {"", "\n", "/var/log/messages\n", "/var/log/messages,\n", "/var/log/messages,0\n",
          "/var/log/messages,-4\n", "/var/log/messages,big\n", ",512\n"})
        EXPECT_FALSE(trim::parse_config_line(bad)) << bad;
}

TEST(ConfigLine, EmptyFieldsAreSkippedLikeStrtok) {
    auto e = trim::parse_config_line(",,/tmp/y,,,8");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->path, "/tmp/y");
    EXPECT_EQ(e->size, 8);
}

TEST(ConfigLine, OnlyTheFirst255CharactersCount) {
    std::string path(250, 'p');
    auto e = trim::parse_config_line("/" + path + ",1234\n");  // size cut to "1234"[0..3]
    ASSERT_TRUE(e);
    EXPECT_EQ(e->size, 123);
    EXPECT_FALSE(trim::parse_config_line("/" + std::string(300, 'p') + ",12\n"));
}

TEST(TrimCommand, PathIsOneShellWordQuotedOnlyWhenNeeded) {
    trim::mon_entry e{"/var/log/my log;rm -rf /'x'", 512};
    EXPECT_EQ(trim::trim_command(e),
              "/usr/sbin/trimfile 512 '/var/log/my log;rm -rf /'\\''x'\\'''");
    e.path = "/var/log/messages";
    EXPECT_EQ(trim::trim_command(e), "/usr/sbin/trimfile 512 /var/log/messages");
    e.path = "/tmp/~x*";
    EXPECT_EQ(trim::trim_command(e), "/usr/sbin/trimfile 512 '/tmp/~x*'");
}

TEST(TrimCommand, TooLongToQuoteIsNotCut) {
    trim::mon_entry e{std::string(254, '\''), 1};
    EXPECT_EQ(trim::trim_command(e), "");
    e.path = std::string(254, 'a');
    EXPECT_FALSE(trim::trim_command(e).empty());
}

}  // namespace
