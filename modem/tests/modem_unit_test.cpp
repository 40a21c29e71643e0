// Plain logic of modemctl that needs no router root: the module description
// walk, the slot key rule, table look-ups on a file of the test's own, the
// version rule, the radio texts and the supervision pid check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "modem_internal.h"

namespace fs = std::filesystem;
using namespace modem;

namespace {

// A scratch folder inside the build tree (never the host's /tmp).
class Scratch : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *build = std::getenv("RT_BUILD");
        fs::path base =
            build && *build ? fs::path(build) : fs::read_symlink("/proc/self/exe").parent_path();
        dir_ = base / "modem-unit-scratch" /
               (std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string &name, const std::string &text) {
        fs::path p = dir_ / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }

    fs::path dir_;
};

const std::string kTable =
    "adsl 10 adsl\n"
    "eth0 10 ethernet\n"
    "eth0.2 20 ethernet\n"
    "wlan0 20 ethernet\n"
    "usb0 50 qmi\n"
    "wan1 50 qmi\n"
    "ppp0 50 ppp\n";

}  // namespace

TEST(ModuleDescription, SampleRecordWithDrivers) {
    auto d = parse_module_description(
        "/dev/cdc-wdm0,usb0,/dev/ttyUSB2,/dev/ttyUSB3,/dev/ttyUSB1,qmi,driver,qmi_wwan,driver,"
        "option\n");
    ASSERT_TRUE(d.has_tokens);
    ASSERT_EQ(d.records.size(), 1u);
    EXPECT_EQ(d.records[0][0], "/dev/cdc-wdm0");
    EXPECT_EQ(d.records[0][1], "usb0");
    EXPECT_EQ(d.records[0][2], "/dev/ttyUSB2");
    EXPECT_EQ(d.records[0][3], "/dev/ttyUSB3");
    EXPECT_EQ(d.records[0][4], "/dev/ttyUSB1");
    EXPECT_EQ(d.records[0][5], "qmi");
    EXPECT_EQ(d.drivers, "qmi_wwan,option");
    EXPECT_FALSE(d.loadfix);
}

TEST(ModuleDescription, KeywordPairsDoNotMoveTheFieldPosition) {
    // Pairs in the middle of a record, line feeds and commas mixed, empty
    // tokens from doubled separators.
    auto d = parse_module_description(
        "/dev/cdc-wdm0\nusb0,,driver,qmi_wwan\n/dev/ttyUSB2,loadfix,1,/dev/ttyUSB3,"
        "/dev/ttyUSB1\nqmi\nloadfix\n2\n");
    ASSERT_EQ(d.records.size(), 1u);
    EXPECT_EQ(d.records[0][2], "/dev/ttyUSB2");
    EXPECT_EQ(d.records[0][3], "/dev/ttyUSB3");
    EXPECT_EQ(d.records[0][5], "qmi");
    EXPECT_EQ(d.drivers, "qmi_wwan");
    ASSERT_TRUE(d.loadfix);
    EXPECT_EQ(*d.loadfix, "2");  // the later value replaces the earlier
}

TEST(ModuleDescription, SecondRecordDescribesSlotOne) {
    auto d = parse_module_description("a0,a1,a2,a3,a4,qmi,b0,b1,b2,b3,b4,atdial,c0,c1");
    ASSERT_EQ(d.records.size(), 2u);
    EXPECT_EQ(d.records[1][0], "b0");
    EXPECT_EQ(d.records[1][5], "atdial");
}

TEST(ModuleDescription, ShortRecordAndEmptyFile) {
    auto shortrec = parse_module_description("/dev/cdc-wdm0,usb0,/dev/ttyUSB2,/dev/ttyUSB3,qmi\n");
    EXPECT_TRUE(shortrec.has_tokens);
    EXPECT_TRUE(shortrec.records.empty());

    EXPECT_FALSE(parse_module_description("").has_tokens);
    EXPECT_FALSE(parse_module_description(",\n,,\n").has_tokens);
}

TEST(ModuleDescription, FirstTokenIsAlwaysPositional) {
    // "driver" as the very first token is the control device of record 0.
    auto d = parse_module_description("driver,b,c,d,e,f");
    ASSERT_EQ(d.records.size(), 1u);
    EXPECT_EQ(d.records[0][0], "driver");
    EXPECT_TRUE(d.drivers.empty());
}

TEST(ModuleDescription, KeywordWithoutValueEndsTheWalk) {
    auto d = parse_module_description("a,b,c,d,e,qmi,driver,x,driver");
    EXPECT_EQ(d.records.size(), 1u);
    EXPECT_EQ(d.drivers, "x");
    auto cut_short = parse_module_description("a,b,c,loadfix");
    EXPECT_FALSE(cut_short.loadfix);
    EXPECT_TRUE(cut_short.records.empty());
}

TEST(ModuleDescription, LargerThanOneRead) {
    // A description past 4096 bytes keeps its later records and pairs.
    std::string text;
    for (int i = 0; i < 120; ++i)
        text += "/dev/cdc-wdm0,usb0,/dev/ttyUSB2,/dev/ttyUSB3,/dev/ttyUSB1,qmi\n";
    ASSERT_GT(text.size(), 4096u);
    text += "loadfix,tail\n";
    auto d = parse_module_description(text);
    EXPECT_EQ(d.records.size(), 120u);
    ASSERT_TRUE(d.loadfix);
    EXPECT_EQ(*d.loadfix, "tail");
}

TEST(SlotKeys, BaseNameForSlotZeroNumberAfterwards) {
    EXPECT_EQ(slot_key("modem_if", 0), "modem_if");
    EXPECT_EQ(slot_key("modem_if", 1), "modem_if2");
    EXPECT_EQ(slot_key("lb_pri", 2), "lb_pri3");
    EXPECT_EQ(slot_composite_key("wan_test_site", 0), "modemwan_test_site");
    EXPECT_EQ(slot_composite_key("wan_fill_gw", 1), "modem2wan_fill_gw");
    EXPECT_EQ(slot_profile(0), 0);
    EXPECT_EQ(slot_profile(1), 2);
    EXPECT_EQ(slot_key(std::string(100, 'k'), 0).size(), kNameMax);
}

TEST(Fields, CopyIsCutAt63) {
    char out[80];
    std::memset(out, 'x', sizeof out);
    copy_field(out, std::string(70, 'a'));
    EXPECT_EQ(std::strlen(out), 63u);
    EXPECT_EQ(out[64], 'x');  // nothing written past the 64-byte field
}

TEST(Version, EachPartOnItsOwn) {
    EXPECT_TRUE(version_meets_minimum(3, 5, 23));
    EXPECT_TRUE(version_meets_minimum(3, 6, 30));
    EXPECT_FALSE(version_meets_minimum(4, 0, 30));
    EXPECT_FALSE(version_meets_minimum(3, 5, 22));
    EXPECT_FALSE(version_meets_minimum(2, 9, 99));
}

TEST(Radio, TextsAndModuleFamilies) {
    EXPECT_STREQ(radio_type_text(0), "gsm, umts, lte");
    EXPECT_STREQ(radio_type_text(3), "lte");
    EXPECT_STREQ(radio_type_text(5), "gsm");
    EXPECT_EQ(radio_type_text(6), nullptr);
    EXPECT_EQ(radio_type_text(-1), nullptr);

    EXPECT_TRUE(module_needs_wvdial_file("SIERRA_MC7430"));
    EXPECT_TRUE(module_needs_wvdial_file("MC8805"));
    EXPECT_FALSE(module_needs_wvdial_file("EC25EFA"));
    EXPECT_TRUE(module_takes_radio_cmd("QUECTEL_EC25E"));
    EXPECT_TRUE(module_takes_radio_cmd("HUAWEI_E909S-21"));
    EXPECT_FALSE(module_takes_radio_cmd("EC21"));
}

using TableLookup = Scratch;

TEST_F(TableLookup, FirstContainingLineWins) {
    std::string path = write("if_table_list", kTable);
    auto eth0 = table_lookup(path, "eth0");
    EXPECT_EQ(eth0.rc, 0);
    EXPECT_EQ(eth0.priority, "10");
    EXPECT_EQ(eth0.type, "ethernet");

    auto eth02 = table_lookup(path, "eth0.2");
    EXPECT_EQ(eth02.priority, "20");

    auto wan1 = table_lookup(path, "wan1");
    EXPECT_EQ(wan1.rc, 0);
    EXPECT_EQ(wan1.priority, "50");
    EXPECT_EQ(wan1.type, "qmi");

    // A substring of a later field still matches: "an1" is in wan1's line.
    EXPECT_EQ(table_lookup(path, "an1").type, "qmi");
    EXPECT_EQ(table_lookup(path, "ppp0").type, "ppp");
}

TEST_F(TableLookup, NoMatchMissingFileShortLine) {
    std::string path = write("if_table_list", kTable);
    auto none = table_lookup(path, "wwan9");
    EXPECT_EQ(none.rc, -1);
    EXPECT_FALSE(none.priority);

    EXPECT_EQ(table_lookup((dir_ / "absent").string(), "eth0").rc, -1);

    // Two tokens only: -1, but the priority already seen is kept.
    std::string shortp = write("short", "usb0 50\nusb0 60 qmi\n");
    auto m = table_lookup(shortp, "usb0");
    EXPECT_EQ(m.rc, -1);
    EXPECT_EQ(m.priority, "50");
    EXPECT_FALSE(m.type);
}

TEST_F(TableLookup, CarriageReturnsAndLongTokensAreTrimmed) {
    std::string path = write("crlf", "usb0 50 qmi\r\n" + std::string("x ") + std::string(150, '9') +
                                         " " + std::string(90, 't') + "\n");
    auto m = table_lookup(path, "usb0");
    EXPECT_EQ(m.type, "qmi");
    auto big = table_lookup(path, "x ");
    EXPECT_EQ(big.rc, 0);
    EXPECT_EQ(big.priority->size(), kNameMax);
    EXPECT_EQ(big.type->size(), kNameMax);
}

using SupervisorPid = Scratch;

TEST_F(SupervisorPid, AcceptsOnlyTheSupervisionScript) {
    std::string proc = (dir_ / "proc").string();
    write("proc/4242/cmdline",
          std::string("/bin/sh\0/usr/sbin/exe_alive_checker.sh\0usb0\0003\0001\0", 46));
    write("proc/4343/cmdline", std::string("/usr/sbin/exe_alive_checker.sh\0eth0.2\0", 38));
    write("proc/4444/cmdline",
          std::string("/usr/sbin/dropbear\0-p\0/tmp/exe_alive_checker.sh.log\0", 52));
    // "#!/bin/sh -e": the interpreter's option comes before the script
    write("proc/4646/cmdline",
          std::string("/bin/sh\0-e\0-x\0/usr/sbin/exe_alive_checker.sh\0usb0\0", 50));
    std::string why;

    std::string pidfile = write("a.pid", "4242\n");
    EXPECT_EQ(supervisor_pid(pidfile, proc, why), 4242);

    pidfile = write("b.pid", "4343");
    EXPECT_EQ(supervisor_pid(pidfile, proc, why), 4343);

    pidfile = write("e.pid", "4646\n");
    EXPECT_EQ(supervisor_pid(pidfile, proc, why), 4646) << why;

    // pid reused by another program
    pidfile = write("c.pid", "4444\n");
    EXPECT_FALSE(supervisor_pid(pidfile, proc, why));
    EXPECT_NE(why.find("not the supervision script"), std::string::npos) << why;

    // the process is gone
    pidfile = write("d.pid", "4545\n");
    EXPECT_FALSE(supervisor_pid(pidfile, proc, why));
    EXPECT_NE(why.find("not running"), std::string::npos) << why;
}

TEST_F(SupervisorPid, RefusesWhatIsNotOneNumber) {
    std::string proc = (dir_ / "proc").string();
    write("proc/12/cmdline", std::string("/usr/sbin/exe_alive_checker.sh\0", 31));
    std::string why;
    for (const char *text :
         {"", "\n", "abc", "12 1", "12;reboot", "-12", "1", "0", "99999999999999999999"}) {
        std::string pidfile = write("p.pid", text);
        EXPECT_FALSE(supervisor_pid(pidfile, proc, why)) << "'" << text << "'";
        EXPECT_NE(why.find("no process number"), std::string::npos) << why;
    }
    // a second number far behind blanks still counts
    std::string hidden = write("h.pid", "12" + std::string(5000, ' ') + "1\n");
    EXPECT_FALSE(supervisor_pid(hidden, proc, why));

    EXPECT_FALSE(supervisor_pid((dir_ / "missing.pid").string(), proc, why));
    EXPECT_NE(why.find("no pid file"), std::string::npos) << why;

    std::string padded = write("q.pid", "  12 \r\n");
    EXPECT_EQ(supervisor_pid(padded, proc, why), 12);
}

TEST(CommandTexts, AsTheScriptsExpectThem) {
    // Two blanks where a "%s " meets the redirection, which has its own.
    EXPECT_EQ(connection_cmd(ConnectionKind::Qmi, true, "/dev/cdc-wdm0", "usb0"),
              "/usr/sbin/qmi-network_all usb0 start  >>/tmp/console_log 2>&1 &");
    EXPECT_EQ(connection_cmd(ConnectionKind::Other, false, "/dev/cdc-wdm0", "usb0"),
              "/usr/sbin/qmi-network_all usb0 start  >>/tmp/console_log 2>&1");
    EXPECT_EQ(connection_cmd(ConnectionKind::Atdial, false, "/dev/cdc-wdm0", "usb0"),
              "/usr/sbin/qmi-network_atcmd /dev/cdc-wdm0 start usb0  >>/tmp/console_log 2>&1");
    EXPECT_EQ(connection_cmd(ConnectionKind::Atdial, true, "/dev/cdc-wdm0", "usb0"),
              "/usr/sbin/qmi-network_atcmd /dev/cdc-wdm0 start usb0  >>/tmp/console_log 2>&1 &");
    EXPECT_EQ(supervision_cmd("eth0.2", 3, 0),
              "/usr/sbin/exe_alive_checker.sh eth0.2 3 0  >>/tmp/console_log 2>&1 &");
    EXPECT_EQ(supervision_cmd("", 10, 1),
              "/usr/sbin/exe_alive_checker.sh none 10 1  >>/tmp/console_log 2>&1 &");
    EXPECT_EQ(radio_cmd("usb0", "3"),
              "/usr/sbin/wvdial-report -C /etc/wvdial_cmd_usb0 SETURAT3  >>/tmp/console_log 2>&1");
    EXPECT_EQ(report_create_cmd("usb0"),
              "/usr/sbin/modem-report_atcmd usb0 create  >>/tmp/console_log 2>&1");
}

TEST(CommandTexts, OutsideValuesStayOneWord) {
    const std::string bad = "usb0;touch /x";
    EXPECT_EQ(supervision_cmd(bad, 3, 1),
              "/usr/sbin/exe_alive_checker.sh 'usb0;touch /x' 3 1  >>/tmp/console_log 2>&1 &");
    EXPECT_EQ(
        connection_cmd(ConnectionKind::Atdial, false, "$(reboot)", bad),
        "/usr/sbin/qmi-network_atcmd '$(reboot)' start 'usb0;touch /x'  >>/tmp/console_log 2>&1");
    EXPECT_EQ(
        radio_cmd("usb0", "3 `id`"),
        "/usr/sbin/wvdial-report -C /etc/wvdial_cmd_usb0 'SETURAT3 `id`'  >>/tmp/console_log 2>&1");
}
