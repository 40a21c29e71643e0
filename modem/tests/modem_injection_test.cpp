// Shell injection through modemctl's operations, inside a router root only
// (started by test_modemctl.py with the other operations): uci values and
// keys, the module description file, the interface and device names read
// back from uci into the scripts' command lines, and the firmware
// identifier. The canary is the root's /tmp/CANARY.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "modem_internal.h"
#include "modemctl/modemctl.h"
#include "platform.h"
#include "rt_test/files.h"
#include "rt_test/payloads.h"
#include "rt_test/root.h"
#include "rtu/shell.h"

namespace fs = std::filesystem;
using rt_test::Payload;
using rt_test::recorder_line;
using rt_test::shown;
using rt_test::slurp;
using rt_test::write_file;

namespace {

const std::string kCanary = "/tmp/CANARY";
const char *kModuleFile = "/etc_ro/MODULE_EC25E_3907_img";

std::string first_line(const std::string &text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

class Injection : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!rt_test::in_router_root())
            GTEST_SKIP() << "runs only inside a router root (see test_exported_operations)";
        std::error_code ec;
        fs::remove("/etc/config/.standin.store", ec);
        fs::remove(kModuleFile, ec);
        fs::remove("/tmp/platform/answers", ec);
        databoard_getvalue("common", "x");
        clear();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove(kModuleFile, ec);
        fs::remove(kCanary, ec);
    }
    static void clear() {
        std::error_code ec;
        fs::remove(kCanary, ec);
        for (const char *name : {"qmi-network_all", "qmi-network_atcmd", "wvdial-report",
                                 "modem-report_atcmd", "modem_version.sh", "uci"})
            fs::remove(std::string("/tmp/standin/") + name + ".log", ec);
        for (const auto &e : fs::directory_iterator("/etc", ec))
            if (e.path().filename().string().rfind("wvdial_cmd_", 0) == 0 ||
                e.path().filename().string().rfind("qmi-network.conf_", 0) == 0)
                fs::remove_all(e.path(), ec);
    }
    static bool canary_ran() { return fs::exists(kCanary); }
    static std::string calls(const std::string &name) {
        return slurp("/tmp/standin/" + name + ".log");
    }
};

TEST_F(Injection, UciValuesAndKeysStayOneWord) {
    for (const Payload &p : rt_test::payloads(kCanary)) {
        clear();
        EXPECT_EQ(uci_set_value("modem", "parameters", "modem_apn", p.text), 0) << p.name;
        EXPECT_EQ(uci_get_value("modem", "parameters", "modem_apn"), first_line(p.text)) << p.name;
        EXPECT_FALSE(canary_ran()) << "value [" << p.name << "]";
        EXPECT_EQ(calls("uci"),
                  recorder_line({"-q", "set", "modem.parameters.modem_apn=" + p.text}) +
                      recorder_line({"-q", "get", "modem.parameters.modem_apn"}))
            << p.name;
        // A key is a fixed text in modemctl; one that were not would still
        // reach uci as one word.
        clear();
        uci_set_value("modem", "parameters", p.text, "1");
        uci_get_value("modem", p.text, "modem_apn");
        EXPECT_FALSE(canary_ran()) << "key [" << p.name << "]";
        EXPECT_EQ(calls("uci"), recorder_line({"-q", "set", "modem.parameters." + p.text + "=1"}) +
                                    recorder_line({"-q", "get", "modem." + p.text + ".modem_apn"}))
            << p.name;
    }
}

TEST_F(Injection, ModuleDescriptionValuesReachUciWhole) {
    // The description's fields end at ',' and line ends; one record of six
    // fields per slot. All payloads in one file: record k, field f.
    const auto table = rt_test::payloads(kCanary, ",\r\n");
    std::string text;
    for (std::size_t i = 0; i < table.size(); ++i) text += table[i].text + ",";
    for (std::size_t i = table.size(); i % 6 != 0; ++i) text += "pad,";
    write_file(kModuleFile, text + "driver," + table[0].text + "\n");
    EXPECT_EQ(modem_fix_device(), 0);
    EXPECT_FALSE(canary_ran());
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::string key =
            modem::slot_key(modem::kDeviceOptions[i % 6], static_cast<int>(i / 6));
        EXPECT_EQ(uci_get_value("modem", "parameters", key), table[i].text)
            << key << " [" << table[i].name << "]";
        const char *shared = databoard_getvalue("common", key.c_str());
        EXPECT_EQ(shared ? std::string(shared) : "<none>", table[i].text)
            << key << " [" << table[i].name << "]";
    }
    EXPECT_EQ(uci_get_value("modem", "parameters", "modem_driver"), table[0].text);
}

TEST_F(Injection, InterfaceReadBackFromUciReachesTheConnectionScriptWhole) {
    // The command builders have their own table-driven test (modem unit
    // tests); this is the whole road once, with the payload that mixes most.
    for (const Payload &p : rt_test::payloads(kCanary)) {
        if (p.name != "nested") continue;
        write_file(kModuleFile,
                   p.text + "," + p.text + ",/dev/ttyUSB2,/dev/ttyUSB3,/dev/ttyUSB1,qmi\n");
        EXPECT_EQ(modem_fix_device(), 0);
        clear();
        modem_start(0, 0);
        EXPECT_FALSE(canary_ran());
        EXPECT_EQ(calls("qmi-network_all"), recorder_line({p.text, "start"}));
        uci_set_value("modem", "parameters", "modem_name", "SIERRA_MC7430");
        modem_set_radio_type(0, p.text.c_str());
        EXPECT_FALSE(canary_ran());
        EXPECT_EQ(calls("modem-report_atcmd"), recorder_line({p.text, "create"}));
        EXPECT_EQ(calls("wvdial-report"),
                  recorder_line({"-C", "/etc/wvdial_cmd_" + p.text, "SETURAT" + p.text}));
        EXPECT_EQ(uci_get_value("modem", "parameters", "modem_radiotype"), p.text);
    }
}

TEST_F(Injection, FirmwareIdentifierReachesTheVersionScriptWhole) {
    for (const Payload &p : rt_test::payloads(kCanary)) {
        clear();
        // No version parts: the script runs, leaves nothing, no verdict.
        EXPECT_EQ(modem_check_version(p.text.c_str()), -1) << p.name;
        EXPECT_FALSE(canary_ran()) << "[" << p.name << "]";
        EXPECT_EQ(calls("modem_version.sh"), recorder_line({p.text})) << p.name;
    }
}

TEST_F(Injection, ValuesTooLongForTheCommandBufferRunNothing) {
    // A command cut at 1023 characters could end inside its quotes: the
    // operation refuses the value and logs why.
    const std::string v = std::string(1000, 'x') + "';touch /tmp/CANARY;'";
    uci_set_value("modem", "parameters", "modem_if", "usb0");
    uci_set_value("modem", "parameters", "modem_name", "SIERRA_MC7430");
    uci_set_value("modem", "parameters", "modem_radiotype", "1");
    clear();
    fs::remove("/tmp/standin/logger.log");
    EXPECT_EQ(modem_set_radio_type(0, v.c_str()), -1);
    EXPECT_EQ(calls("wvdial-report"), "");
    EXPECT_EQ(calls("modem-report_atcmd"), "");
    EXPECT_EQ(uci_get_value("modem", "parameters", "modem_radiotype"), "1");
    EXPECT_NE(calls("logger").find("radio type too long"), std::string::npos) << calls("logger");

    EXPECT_EQ(modem_check_version(v.c_str()), -1);
    EXPECT_EQ(calls("modem_version.sh"), "");
    EXPECT_NE(calls("logger").find("identifier too long"), std::string::npos) << calls("logger");
    EXPECT_FALSE(canary_ran());
}

}  // namespace
