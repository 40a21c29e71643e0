// The exported operations of modemctl, called directly. This program runs
// inside a router root only (the process tests start it there): it reads and
// writes the root's /etc, /tmp and uci store, and the platform stand-in
// records the calls in /tmp/platform/calls.log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "modemctl/modemctl.h"
#include "platform.h"
#include "rsmwrapper.h"
#include "rt_test/files.h"
#include "rt_test/root.h"
#include "rtu/files.h"
#include "rtu/shell.h"

namespace fs = std::filesystem;

using rt_test::write_file;

namespace {

const char *kModuleFile = "/etc_ro/MODULE_EC25E_3907_img";
const char *kSample =
    "/dev/cdc-wdm0,usb0,/dev/ttyUSB2,/dev/ttyUSB3,/dev/ttyUSB1,qmi,driver,qmi_wwan,driver,option\n";

std::vector<std::string> lines_of(const std::string &path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

bool contains(const std::vector<std::string> &lines, const std::string &line) {
    for (const auto &l : lines)
        if (l == line) return true;
    return false;
}

std::size_t count_prefix(const std::vector<std::string> &lines, const std::string &prefix) {
    std::size_t n = 0;
    for (const auto &l : lines)
        if (l.rfind(prefix, 0) == 0) ++n;
    return n;
}

class Ops : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!rt_test::in_router_root())
            GTEST_SKIP() << "runs only inside a router root (see test_exported_operations)";
        std::error_code ec;
        fs::remove("/etc/config/.standin.store", ec);
        for (const char *p : {"/etc/if_table_list", "/tmp/.slave_if_list", kModuleFile,
                              "/tmp/platform/calls.log", "/tmp/platform/answers"})
            fs::remove_all(p, ec);
        for (const char *dir : {"/tmp/standin", "/tmp", "/etc"}) {
            for (const auto &e : fs::directory_iterator(dir, ec)) {
                std::string name = e.path().filename().string();
                if (name.ends_with(".log") || name.ends_with(".rc") || name.ends_with(".parts") ||
                    name.find("_modem_version_") != std::string::npos ||
                    name.rfind("qmi-network.conf_", 0) == 0 || name.rfind("wvdial_cmd_", 0) == 0)
                    fs::remove_all(e.path(), ec);
            }
        }
        databoard_getvalue("common", "x");  // makes the segment's key file
        ASSERT_NE(SHMCOMMON_SHMInit(), nullptr);
    }

    static void uci_set(const std::string &key, const std::string &value) {
        ASSERT_EQ(rtu::run_shell("/sbin/uci -q set " + key + "=" + rtu::shell_quote(value)), 0);
    }
    static std::string uci_get(const std::string &key) {
        return rtu::first_line_of("/sbin/uci -q get " + key);
    }
    // Every uci command modemctl ran, as the stand-in recorded it.
    static std::vector<std::string> uci_calls() { return lines_of("/tmp/standin/uci.log"); }
    static std::vector<std::string> platform_calls() { return lines_of("/tmp/platform/calls.log"); }
    static std::vector<std::string> standin_calls(const std::string &name) {
        return lines_of("/tmp/standin/" + name + ".log");
    }
    static void answers(const std::string &text) { write_file("/tmp/platform/answers", text); }
    static std::optional<std::string> shared(const std::string &name) {
        const char *v = databoard_getvalue("common", name.c_str());
        if (!v) return std::nullopt;
        return std::string(v);
    }
    static void clear_logs() {
        std::error_code ec;
        fs::remove("/tmp/standin/uci.log", ec);
        fs::remove("/tmp/platform/calls.log", ec);
    }
};

// ---- uci access -----------------------------------------------------------------

using Uci = Ops;

TEST_F(Uci, SetQuotesValuesWithSingleQuotes) {
    uci_set("modem.parameters.modem_name", "QUECTEL_EC21");
    clear_logs();
    const std::string nasty = "3'; touch /tmp/pwned; echo '";
    EXPECT_EQ(modem_set_radio_type(0, nasty.c_str()), 0);
    // one set command, received as one argument (the stand-in's log quotes it)
    auto calls = uci_calls();
    EXPECT_EQ(uci_get("modem.parameters.modem_radiotype"), nasty);
    EXPECT_FALSE(fs::exists("/tmp/pwned"));
    EXPECT_EQ(count_prefix(calls, "-q set 'modem.parameters.modem_radiotype=3'"), 1u);
    EXPECT_EQ(calls.size(), 3u);  // get the interface, get the name, set
}

TEST_F(Uci, ValueBeyondTheCommandBufferIsRefusedWhole) {
    uci_set("modem.parameters.modem_radiotype", "1");
    uci_set("modem.parameters.modem_name", "QUECTEL_EC21");  // takes no radio command
    EXPECT_EQ(modem_set_radio_type(0, std::string(1100, '7').c_str()), 0);
    EXPECT_EQ(uci_get("modem.parameters.modem_radiotype"), "1");  // not half-stored
    auto log = standin_calls("logger");
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("too long"), std::string::npos) << log.back();
}

TEST_F(Uci, AbsentOptionReadsEmpty) {
    char out[64] = "untouched";
    EXPECT_EQ(modem_get_type(out, 0), 0);
    EXPECT_STREQ(out, "untouched");
    EXPECT_TRUE(contains(uci_calls(), "-q get modem.parameters.modem_type"));
}

// ---- interface table --------------------------------------------------------------

const std::string kFixed =
    "adsl 10 adsl\neth0 10 ethernet\neth0.2 20 ethernet\nwlan0 20 ethernet\n";

using IfTable = Ops;

TEST_F(IfTable, WithoutModemInterfaceOnlyTheFixedLines) {
    EXPECT_EQ(cur_if_table_list_init(), 0);
    EXPECT_EQ(rtu::read_file("/etc/if_table_list").value_or(""), kFixed);

    // a dial interface alone shares the priority a modem would have had less 10
    answers("modem_get_dialif_postfix=ppp0\n");
    EXPECT_EQ(cur_if_table_list_init(), 0);
    EXPECT_EQ(rtu::read_file("/etc/if_table_list").value_or(""), kFixed + "ppp0 40 ppp\n");
}

TEST_F(IfTable, ModemLinesWithAndWithoutType) {
    uci_set("modem.parameters.modem_if", "usb0");
    EXPECT_EQ(cur_if_table_list_init(), 0);
    EXPECT_EQ(rtu::read_file("/etc/if_table_list").value_or(""),
              kFixed + "usb0 50 qmi\nwan1 50 qmi\n");

    uci_set("modem.parameters.modem_type", "atdial");
    answers("modem_get_dialif_postfix.0=ppp0\n");
    EXPECT_EQ(cur_if_table_list_init(), 0);
    EXPECT_EQ(rtu::read_file("/etc/if_table_list").value_or(""),
              kFixed + "usb0 50 atdial\nwan1 50 atdial\nppp0 50 ppp\n");
    EXPECT_TRUE(contains(platform_calls(), "modem_get_dialif_postfix 0"));
}

TEST_F(IfTable, LookUpBySubstring) {
    uci_set("modem.parameters.modem_if", "usb0");
    ASSERT_EQ(cur_if_table_list_init(), 0);
    char prio[64] = "", type[64] = "";
    EXPECT_EQ(cur_if_table_get_byif("eth0", prio, type), 0);
    EXPECT_STREQ(prio, "10");
    EXPECT_STREQ(type, "ethernet");
    EXPECT_EQ(cur_if_table_get_byif("eth0.2", prio, type), 0);
    EXPECT_STREQ(prio, "20");
    EXPECT_EQ(cur_if_table_get_byif("wan1", prio, type), 0);
    EXPECT_STREQ(prio, "50");
    EXPECT_STREQ(type, "qmi");

    std::strcpy(prio, "keep");
    EXPECT_EQ(cur_if_table_get_byif("wwan0", prio, type), -1);
    EXPECT_STREQ(prio, "keep");
    EXPECT_EQ(cur_if_table_get_byif(nullptr, prio, type), -1);
    EXPECT_EQ(cur_if_table_get_byif("eth0", nullptr, type), -1);
}

TEST_F(IfTable, LookUpWithoutFileNeverCreatesIt) {
    char prio[64] = "", type[64] = "";
    EXPECT_EQ(cur_if_table_get_byif("eth0", prio, type), -1);
    EXPECT_FALSE(fs::exists("/etc/if_table_list"));
}

TEST_F(IfTable, FileThatCannotBeCreated) {
    fs::create_directories("/etc/if_table_list");  // a folder in the way
    EXPECT_EQ(cur_if_table_list_init(), -1);
    auto log = standin_calls("logger");
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("/etc/if_table_list"), std::string::npos) << log.back();
}

// ---- failover slaves ------------------------------------------------------------------

using Slaves = Ops;

TEST_F(Slaves, OnlyWanTypeTwoSetsTheModemUp) {
    uci_set("modem.parameters.modem_if", "usb0");
    uci_set("modem.parameters.modem_apn", "internet");
    for (const char *type : {"0", "1", ""}) {
        uci_set("modem.failover.wan_type", type);
        EXPECT_EQ(cur_slave_ifs_detect("2", "on", "off"), 0);  // the argument is not consulted
    }
    EXPECT_TRUE(platform_calls().empty());
    EXPECT_FALSE(shared("wanif"));
}

TEST_F(Slaves, NoApnNoSlave) {
    uci_set("modem.failover.wan_type", "2");
    uci_set("modem.parameters.modem_if", "usb0");
    EXPECT_EQ(cur_slave_ifs_detect("2", "off", "off"), 0);
    EXPECT_EQ(count_prefix(platform_calls(), "cur_slave_ifs_init"), 0u);
    EXPECT_EQ(count_prefix(platform_calls(), "net_wan_if_set_profile"), 0u);
    EXPECT_FALSE(shared("wanif"));
}

TEST_F(Slaves, ModemWithApnBecomesSlave) {
    uci_set("modem.failover.wan_type", "2");
    uci_set("modem.parameters.modem_if", "usb0");
    uci_set("modem.parameters.modem_apn", "internet");
    uci_set("modem.parameters.modemwan_test_site", "9.9.9.9");
    uci_set("modem.parameters.modemwan_fill_gw", "on");
    EXPECT_EQ(cur_slave_ifs_detect("2", "off", "off"), 0);
    auto calls = platform_calls();
    EXPECT_TRUE(contains(calls, "net_wan_if_set_profile 'usb0' 'dhcp' '9.9.9.9' 'on' 0 '' '' ''"));
    EXPECT_TRUE(contains(calls, "cur_slave_ifs_init 'usb0'"));  // no trailing blank
    EXPECT_EQ(shared("wanif"), "usb0");
    EXPECT_EQ(shared("wanif1"), "usb0");
    EXPECT_EQ(shared("usb0_cur_lb_priority"), "1");

    uci_set("modem.parameters.lb_pri", "7");
    EXPECT_EQ(cur_slave_ifs_detect("2", "on", "off"), 0);
    EXPECT_EQ(shared("usb0_cur_lb_priority"), "7");
}

TEST_F(Slaves, DefaultInterfaceWhenNoneConfigured) {
    uci_set("modem.failover.wan_type", "2");
    uci_set("modem.parameters.modem_apn", "internet");
    EXPECT_EQ(cur_slave_ifs_detect("2", "off", "off"), 0);
    EXPECT_TRUE(contains(platform_calls(), "cur_slave_ifs_init 'eth1'"));
    EXPECT_EQ(shared("eth1_cur_lb_priority"), "1");
}

using FillSelected = Ops;

TEST_F(FillSelected, ModemNotBackup) {
    uci_set("modem.parameters.modem_if", "usb0");
    uci_set("modem.parameters.modem_bk", "off");
    EXPECT_EQ(cur_slave_fill_selected("eth0.2"), 0);
    EXPECT_EQ(rtu::read_file("/tmp/.slave_if_list").value_or("<none>"), "eth0.2 ");
    EXPECT_TRUE(platform_calls().empty());
}

TEST_F(FillSelected, ModemAsBackupInOrder) {
    uci_set("modem.parameters.modem_if", "usb0");
    uci_set("modem.parameters.modem_bk", "on");
    uci_set("modem.parameters.modemwan_fill_gw", "off");
    EXPECT_EQ(cur_slave_fill_selected("eth0.2"), 0);
    EXPECT_EQ(rtu::read_file("/tmp/.slave_if_list").value_or("<none>"), "eth0.2 usb0 ");
    std::vector<std::string> want = {
        "set_cur_wan_info 'usb0' 0 '' '' '' '' '' '1'",
        "net_wan_clear_old_ip 'usb0'",
        "net_wan_if_set_profile 'usb0' 'dhcp' '8.8.8.8' 'off' 0 '' '' ''",
    };
    EXPECT_EQ(platform_calls(), want);

    uci_set("modem.parameters.modemwan_test_site", "1.1.1.1");
    clear_logs();
    EXPECT_EQ(cur_slave_fill_selected("wlan0"), 0);
    EXPECT_EQ(platform_calls().back(),
              "net_wan_if_set_profile 'usb0' 'dhcp' '1.1.1.1' 'off' 0 '' '' ''");
}

TEST_F(FillSelected, SameInterfaceIsNotListedTwice) {
    uci_set("modem.parameters.modem_if", "eth0.2");
    uci_set("modem.parameters.modem_bk", "on");
    EXPECT_EQ(cur_slave_fill_selected("eth0.2"), 0);
    EXPECT_EQ(rtu::read_file("/tmp/.slave_if_list").value_or("<none>"), "eth0.2 ");
    EXPECT_TRUE(platform_calls().empty());
}

TEST_F(FillSelected, FileThatCannotBeCreated) {
    fs::create_directories("/tmp/.slave_if_list");
    uci_set("modem.parameters.modem_bk", "on");
    EXPECT_EQ(cur_slave_fill_selected("eth0.2"), -1);
    EXPECT_TRUE(platform_calls().empty());
    EXPECT_FALSE(standin_calls("logger").empty());
}

// ---- device accessors -------------------------------------------------------------------

using Accessors = Ops;

TEST_F(Accessors, DefaultsPerSlot) {
    char out[64];
    EXPECT_EQ(modem_get_if(out, 0), 0);
    EXPECT_STREQ(out, "eth1");
    EXPECT_EQ(modem_get_if(out, 1), 0);
    EXPECT_STREQ(out, "usb0");
    EXPECT_EQ(modem_get_device(out, 0), 0);
    EXPECT_STREQ(out, "/dev/cdc-wdm1");
    EXPECT_EQ(modem_get_device(out, 1), 0);
    EXPECT_STREQ(out, "/dev/cdc-wdm0");
    EXPECT_EQ(modem_get_atif(out, 0), 0);
    EXPECT_STREQ(out, "/dev/ttyUSB1");
    EXPECT_EQ(modem_get_atif(out, 1), 0);
    EXPECT_STREQ(out, "/dev/ttyUSB0");
    std::strcpy(out, "keep");
    EXPECT_EQ(modem_get_dialif(out, 0), 0);
    EXPECT_STREQ(out, "keep");

    // slot 1 reads the suffixed option
    uci_set("modem.parameters.modem_if2", "wwan1");
    uci_set("modem.parameters.modem_dialif", "/dev/ttyUSB3");
    EXPECT_EQ(modem_get_if(out, 1), 0);
    EXPECT_STREQ(out, "wwan1");
    EXPECT_EQ(modem_get_if(out, 0), 0);
    EXPECT_STREQ(out, "eth1");
    EXPECT_EQ(modem_get_dialif(out, 0), 0);
    EXPECT_STREQ(out, "/dev/ttyUSB3");
    EXPECT_TRUE(contains(uci_calls(), "-q get modem.parameters.modem_if2"));

    for (auto fn :
         {modem_get_device, modem_get_if, modem_get_atif, modem_get_dialif, modem_get_type})
        EXPECT_EQ(fn(nullptr, 0), 1);
}

TEST_F(Accessors, NameAndLongValues) {
    char out[64] = "keep";
    EXPECT_EQ(modem_get_name(out), 1);
    EXPECT_EQ(modem_get_name(nullptr), 1);
    uci_set("modem.parameters.modem_name", "QUECTEL_EC25E");
    EXPECT_EQ(modem_get_name(out), 0);
    EXPECT_STREQ(out, "QUECTEL_EC25E");

    // a value longer than the field is cut, never written past it
    char guarded[80];
    std::memset(guarded, '#', sizeof guarded);
    uci_set("modem.parameters.modem_if", std::string(100, 'i'));
    EXPECT_EQ(modem_get_if(guarded, 0), 0);
    EXPECT_EQ(std::strlen(guarded), 63u);
    EXPECT_EQ(guarded[64], '#');
}

// ---- module description -------------------------------------------------------------------

using FixDevice = Ops;

TEST_F(FixDevice, WithoutFileDefaultsUncommitted) {
    EXPECT_EQ(modem_fix_device(), 1);
    EXPECT_EQ(uci_get("modem.parameters.modem_if"), "eth1");
    EXPECT_EQ(uci_get("modem.parameters.cdc_wdm"), "/dev/cdc-wdm1");
    EXPECT_EQ(uci_get("modem.parameters.modem_atif"), "/dev/ttyUSB1");
    EXPECT_EQ(uci_get("modem.parameters.modem_dialif"), "/dev/ttyUSB1");
    EXPECT_EQ(uci_get("modem.parameters.modem_gpsif"), "/dev/ttyUSB2");
    EXPECT_EQ(uci_get("modem.parameters.modem_type"), "qmi");
    auto calls = uci_calls();
    EXPECT_EQ(count_prefix(calls, "-q set "), 6u);
    EXPECT_EQ(calls.front(), "-q set modem.parameters.cdc_wdm=/dev/cdc-wdm1");  // in this order
    EXPECT_EQ(count_prefix(calls, "commit"), 0u);
    EXPECT_FALSE(shared("modem_if"));
    EXPECT_FALSE(shared("cdc_wdm"));
}

TEST_F(FixDevice, SampleTokensSetOnlyWhatDiffers) {
    write_file(kModuleFile, kSample);
    uci_set("modem.parameters.modem_if", "usb0");  // already right
    clear_logs();
    EXPECT_EQ(modem_fix_device(), 0);
    EXPECT_EQ(uci_get("modem.parameters.cdc_wdm"), "/dev/cdc-wdm0");
    EXPECT_EQ(uci_get("modem.parameters.modem_atif"), "/dev/ttyUSB2");
    EXPECT_EQ(uci_get("modem.parameters.modem_dialif"), "/dev/ttyUSB3");
    EXPECT_EQ(uci_get("modem.parameters.modem_gpsif"), "/dev/ttyUSB1");
    EXPECT_EQ(uci_get("modem.parameters.modem_type"), "qmi");
    EXPECT_EQ(uci_get("modem.parameters.modem_driver"), "qmi_wwan,option");
    auto calls = uci_calls();
    EXPECT_EQ(count_prefix(calls, "-q set modem.parameters.modem_if="), 0u);
    EXPECT_EQ(count_prefix(calls, "-q set "), 6u);  // five device options and the drivers
    EXPECT_EQ(count_prefix(calls, "commit modem"), 1u);
    EXPECT_EQ(shared("cdc_wdm"), "/dev/cdc-wdm0");
    EXPECT_EQ(shared("modem_gpsif"), "/dev/ttyUSB1");
    EXPECT_FALSE(shared("modem_if"));  // unchanged, so not copied
    EXPECT_FALSE(shared("loadfix"));
}

TEST_F(FixDevice, SecondRunWithoutLoadfixCommitsNothing) {
    write_file(kModuleFile, kSample);
    EXPECT_EQ(modem_fix_device(), 0);
    EXPECT_EQ(count_prefix(uci_calls(), "commit modem"), 1u);
    clear_logs();
    EXPECT_EQ(modem_fix_device(), 0);
    EXPECT_EQ(count_prefix(uci_calls(), "commit"), 0u);
    EXPECT_EQ(count_prefix(uci_calls(), "-q set"), 0u);
}

TEST_F(FixDevice, LoadfixCommitsEveryRun) {
    write_file(kModuleFile, std::string(kSample) + "loadfix,1\n");
    for (int run = 0; run < 2; ++run) {
        clear_logs();
        EXPECT_EQ(modem_fix_device(), 0);
        EXPECT_EQ(count_prefix(uci_calls(), "commit modem"), 1u) << "run " << run;
        EXPECT_EQ(shared("loadfix"), "1");
    }
}

TEST_F(FixDevice, ShortRecordChangesNothing) {
    write_file(kModuleFile, "/dev/cdc-wdm0,usb0,/dev/ttyUSB2,/dev/ttyUSB3,/dev/ttyUSB1\n");
    EXPECT_EQ(modem_fix_device(), 0);
    EXPECT_EQ(count_prefix(uci_calls(), "-q set"), 0u);
    EXPECT_EQ(count_prefix(uci_calls(), "commit"), 0u);
}

TEST_F(FixDevice, NoTokenAndUnreadableFile) {
    write_file(kModuleFile, ",\n\n");
    EXPECT_EQ(modem_fix_device(), -1);
    EXPECT_TRUE(uci_calls().empty());

    // exists but cannot be opened (no capabilities here, so mode 0 holds)
    write_file(kModuleFile, kSample);
    fs::permissions(kModuleFile, fs::perms::none);
    EXPECT_EQ(modem_fix_device(), 0);
    EXPECT_EQ(count_prefix(uci_calls(), "-q set"), 0u);
}

TEST_F(FixDevice, SecondRecordGoesToSlotOneAndLargeFile) {
    std::string text =
        std::string(kSample) + "/dev/cdc-wdm2,usb1,/dev/ttyUSB6,/dev/ttyUSB7,/dev/ttyUSB5,atdial\n";
    text += std::string(5000, '\n');  // past one read of 4096 bytes
    text += "loadfix,late\n";
    write_file(kModuleFile, text);
    EXPECT_EQ(modem_fix_device(), 0);
    EXPECT_EQ(uci_get("modem.parameters.modem_if2"), "usb1");
    EXPECT_EQ(uci_get("modem.parameters.modem_type2"), "atdial");
    EXPECT_EQ(shared("cdc_wdm2"), "/dev/cdc-wdm2");
    EXPECT_EQ(shared("loadfix"), "late");
}

// ---- start-up initialisation -----------------------------------------------------------------

TEST_F(Ops, InitSetsCountersAndReportsEachModem) {
    write_file(kModuleFile, kSample);
    answers("modem_report_start_atcmd.usb0=4\n");
    EXPECT_EQ(modem_init(), 4);
    EXPECT_EQ(shared("modem_hwreset_count"), "3");
    EXPECT_EQ(shared("modem_apn_max"), "1");
    EXPECT_EQ(standin_calls("modem-check-module").size(), 1u);
    EXPECT_EQ(uci_get("modem.parameters.modem_if"), "usb0");
    EXPECT_TRUE(contains(platform_calls(), "modem_report_start_atcmd 'usb0' 0"));
}

// ---- firmware version -------------------------------------------------------------------------

using Version = Ops;

TEST_F(Version, NewEnoughAndCached) {
    write_file("/tmp/standin/modem_version.parts", "3 5 23\n");
    EXPECT_EQ(modem_check_version("EC25"), 0);
    EXPECT_TRUE(fs::exists("/tmp/EC25_modem_version_ok"));
    EXPECT_EQ(shared("EC25_version3"), "23");
    EXPECT_EQ(modem_check_version("EC25"), 0);
    EXPECT_EQ(standin_calls("modem_version.sh"), std::vector<std::string>{"EC25"});
}

TEST_F(Version, OldPartFailsAndIsRemembered) {
    write_file("/tmp/standin/modem_version.parts", "4 0 30\n");
    EXPECT_EQ(modem_check_version("EC25"), -1);
    EXPECT_TRUE(fs::exists("/tmp/EC25_modem_version_fail"));
    EXPECT_FALSE(fs::exists("/tmp/EC25_modem_version_ok"));
    EXPECT_EQ(modem_check_version("EC25"), -1);
    EXPECT_EQ(standin_calls("modem_version.sh").size(), 1u);
}

TEST_F(Version, MissingPartLeavesNoMarker) {
    write_file("/tmp/standin/modem_version.parts", "3 5\n");
    EXPECT_EQ(modem_check_version("EC25"), -1);
    EXPECT_FALSE(fs::exists("/tmp/EC25_modem_version_fail"));
    EXPECT_FALSE(fs::exists("/tmp/EC25_modem_version_ok"));
    EXPECT_EQ(modem_check_version(nullptr), -1);
}

TEST_F(Version, IdentifierRunsNothing) {
    write_file("/tmp/standin/modem_version.parts", "3 5 23\n");
    const char *id = "x'; : >pwned; '";
    EXPECT_EQ(modem_check_version(id), 0);
    EXPECT_FALSE(fs::exists("/pwned"));
    EXPECT_FALSE(fs::exists("/tmp/pwned"));
    EXPECT_EQ(standin_calls("modem_version.sh").size(), 1u);
    EXPECT_TRUE(fs::exists("/tmp/x'; : >pwned; '_modem_version_ok"));
}

// ---- radio type
// ----------------------------------------------------------------------------------

using Radio = Ops;

TEST_F(Radio, TypeText) {
    char out[64] = "keep";
    uci_set("modem.parameters.modem_radiotype", "6");
    EXPECT_EQ(modem_dev_radio_type_get(out, 0), 0);
    EXPECT_STREQ(out, "keep");
    uci_set("modem.parameters.modem_radiotype", "");
    EXPECT_EQ(modem_dev_radio_type_get(out, 0), 1);
    EXPECT_STREQ(out, "gsm, umts, lte");
    uci_set("modem.parameters.modem_radiotype", "3");
    EXPECT_EQ(modem_dev_radio_type_get(out, 0), 1);
    EXPECT_STREQ(out, "lte");
    uci_set("modem.parameters.modem_radiotype2", "5");
    EXPECT_EQ(modem_dev_radio_type_get(out, 1), 1);
    EXPECT_STREQ(out, "gsm");
    EXPECT_EQ(modem_dev_hwreset_atcmd(0), 0);
}

TEST_F(Radio, Mc74CreatesItsWvdialFileFirst) {
    uci_set("modem.parameters.modem_name", "SIERRA_MC7455");
    uci_set("modem.parameters.modem_if", "usb0");
    EXPECT_EQ(modem_set_radio_type(0, "3"), 0);
    EXPECT_EQ(standin_calls("modem-report_atcmd"), std::vector<std::string>{"usb0 create"});
    EXPECT_EQ(standin_calls("wvdial-report"),
              std::vector<std::string>{"-C /etc/wvdial_cmd_usb0 SETURAT3"});
    EXPECT_EQ(uci_get("modem.parameters.modem_radiotype"), "3");
    EXPECT_EQ(count_prefix(uci_calls(), "commit"), 0u);
    // the stand-in made the file: the next call goes straight to the radio command
    ASSERT_TRUE(fs::exists("/etc/wvdial_cmd_usb0"));
    write_file("/tmp/standin/wvdial-report.rc", "3");
    EXPECT_EQ(modem_set_radio_type(0, "1"), 3);
    EXPECT_EQ(standin_calls("modem-report_atcmd").size(), 1u);
    EXPECT_EQ(standin_calls("wvdial-report").back(), "-C /etc/wvdial_cmd_usb0 SETURAT1");
}

TEST_F(Radio, OtherModules) {
    uci_set("modem.parameters.modem_if", "usb0");
    EXPECT_EQ(modem_set_radio_type(0, "2"), -1);  // no module name
    EXPECT_TRUE(standin_calls("wvdial-report").empty());
    EXPECT_EQ(uci_get("modem.parameters.modem_radiotype"), "");

    uci_set("modem.parameters.modem_name", "QUECTEL_EC25E");
    EXPECT_EQ(modem_set_radio_type(0, "2"), 0);
    EXPECT_EQ(standin_calls("wvdial-report"),
              std::vector<std::string>{"-C /etc/wvdial_cmd_usb0 SETURAT2"});
    EXPECT_TRUE(standin_calls("modem-report_atcmd").empty());

    uci_set("modem.parameters.modem_name", "QUECTEL_EC21");
    EXPECT_EQ(modem_set_radio_type(0, "4"), 0);
    EXPECT_EQ(standin_calls("wvdial-report").size(), 1u);
    EXPECT_EQ(uci_get("modem.parameters.modem_radiotype"), "4");
}

// ---- QMI network file and APN
// ---------------------------------------------------------------------

using QmiFile = Ops;

TEST_F(QmiFile, FourLinesAlways) {
    uci_set("modem.parameters.modem_if", "usb0");
    EXPECT_EQ(modem_renewconf(0), 0);
    EXPECT_EQ(rtu::read_file("/etc/qmi-network.conf_usb0").value_or("<none>"),
              "APN=\nUsername=\nPassword=\nPIN=\n");

    uci_set("modem.parameters.modem_apn", "internet");
    uci_set("modem.parameters.modem_user", "u");
    uci_set("modem.parameters.modem_passwd", "p w'd");
    uci_set("modem.parameters.modem_pin", "1234");
    EXPECT_EQ(modem_renewconf(0), 0);
    EXPECT_EQ(rtu::read_file("/etc/qmi-network.conf_usb0").value_or("<none>"),
              "APN=internet\nUsername=u\nPassword=p w'd\nPIN=1234\n");
    struct stat st {};
    ASSERT_EQ(::stat("/etc/qmi-network.conf_usb0", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds the SIM's credentials
}

TEST_F(QmiFile, CannotBeCreated) {
    uci_set("modem.parameters.modem_if", "usb0");
    fs::create_directories("/etc/qmi-network.conf_usb0");
    EXPECT_EQ(modem_renewconf(0), -2);
}

TEST_F(Ops, ApnCheck) {
    EXPECT_EQ(modem_is_apn_empty(), 1);
    uci_set("modem.parameters.modem_apn2", "other");  // slot 1 is not managed
    EXPECT_EQ(modem_is_apn_empty(), 1);
    uci_set("modem.parameters.modem_apn", "internet");
    EXPECT_EQ(modem_is_apn_empty(), 0);
}

// ---- connection start
// -------------------------------------------------------------------------------

using Start = Ops;

TEST_F(Start, QmiInTheForegroundReturnsTheStatus) {
    uci_set("modem.parameters.modem_if", "usb0");
    write_file("/tmp/standin/qmi-network_all.rc", "5");
    EXPECT_EQ(modem_start(0, 0), 5);
    EXPECT_EQ(standin_calls("qmi-network_all"), std::vector<std::string>{"usb0 start"});
    EXPECT_TRUE(standin_calls("qmi-network_atcmd").empty());
    EXPECT_TRUE(fs::exists("/etc/qmi-network.conf_usb0"));
}

TEST_F(Start, AtdialBranchPassesTheControlDeviceFirst) {
    uci_set("modem.parameters.modem_if", "usb0");
    uci_set("modem.parameters.cdc_wdm", "/dev/cdc-wdm0");
    answers("modem_check_type.0.qmi=1\nmodem_check_type.0.atdial=0\n");
    EXPECT_EQ(modem_start(0, 0), 0);
    EXPECT_EQ(standin_calls("qmi-network_atcmd"),
              std::vector<std::string>{"/dev/cdc-wdm0 start usb0"});
    EXPECT_TRUE(standin_calls("qmi-network_all").empty());
}

TEST_F(Start, OtherTypesUseTheQmiScript) {
    uci_set("modem.parameters.modem_if", "usb0");
    answers("modem_check_type.qmi=7\nmodem_check_type.atdial=-1\n");
    EXPECT_EQ(modem_start(0, 0), 0);
    EXPECT_EQ(standin_calls("qmi-network_all"), std::vector<std::string>{"usb0 start"});
    std::vector<std::string> checks;
    for (const auto &c : platform_calls())
        if (c.rfind("modem_check", 0) == 0) checks.push_back(c);
    EXPECT_EQ(checks, (std::vector<std::string>{"modem_check_valid 0", "modem_check_type 0 'qmi'",
                                                "modem_check_type 0 'atdial'"}));
}

TEST_F(Start, InvalidModemStartsNothing) {
    answers("modem_check_valid=1\n");
    EXPECT_EQ(modem_start(0, 0), 0);
    EXPECT_TRUE(standin_calls("qmi-network_all").empty());
    EXPECT_FALSE(fs::exists("/etc/qmi-network.conf_eth1"));
}

TEST_F(Start, AutomaticModemIsOnlyConfiguredWithoutPermission) {
    uci_set("modem.failover.wan_type", "2");
    uci_set("modem.parameters.modem_if", "usb0");
    uci_set("modem.parameters.modem_apn", "internet");
    EXPECT_EQ(net_wan_if_up(0), 0);
    EXPECT_EQ(platform_calls().back(), "net_wan_if_set_profile 'usb0' 'dhcp' '' 'off' 0 '' '' ''");
    EXPECT_TRUE(standin_calls("qmi-network_all").empty());
    EXPECT_FALSE(fs::exists("/etc/qmi-network.conf_usb0"));
}

}  // namespace
