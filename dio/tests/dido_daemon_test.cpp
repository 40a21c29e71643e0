// The daemon's passes against a fake bridge and a fake router.
#include "dido_daemon.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <set>
#include <vector>

#include "xr_bridge.h"

namespace dio {
namespace {

class FakePins : public PinIo {
  public:
    std::int32_t state = dio::kMaskDi | dio::kMaskDo;  // both pins high: DI off, DO off
    bool fail_reads = false;
    std::vector<std::pair<std::int32_t, bool>> drives;

    int read_state(std::int32_t &value) override {
        if (fail_reads) return -1;
        value = state;
        return 0;
    }
    int drive(std::int32_t mask, bool high) override {
        drives.emplace_back(mask, high);
        state = high ? (state | mask) : (state & ~mask);
        return 0;
    }
    void set_di(int level) { state = level ? (state | kMaskDi) : (state & ~kMaskDi); }
    int do_level() const { return (state & kMaskDo) ? 1 : 0; }
};

class FakeHost : public DaemonHost {
  public:
    std::string printed;
    std::vector<std::string> commands;  // run and run_piped, in order
    std::vector<std::string> piped;
    std::map<std::string, std::string> outputs;  // command -> its output
    std::set<std::string> files;
    std::map<std::string, int> numbers;  // status file -> the number it holds
    std::vector<std::string> touched;
    std::map<std::string, std::string> shared;
    std::vector<std::pair<std::string, std::string>> shared_writes;

    void print(const std::string &text) override { printed += text; }
    void run(const std::string &cmd) override { commands.push_back(cmd); }
    void run_piped(const std::string &cmd) override {
        commands.push_back(cmd);
        piped.push_back(cmd);
    }
    std::string output(const std::string &cmd, std::size_t max) override {
        auto it = outputs.find(cmd);
        if (it == outputs.end()) return {};
        return it->second.substr(0, max);
    }
    bool file_exists(const std::string &path) override { return files.count(path) != 0; }
    std::optional<int> read_number(const std::string &path) override {
        auto it = numbers.find(path);
        if (it == numbers.end()) return std::nullopt;
        return it->second;
    }
    void touch(const std::string &path) override { touched.push_back(path); }
    std::optional<std::string> get_shared(const std::string &name) override {
        auto it = shared.find(name);
        if (it == shared.end()) return std::nullopt;
        return it->second;
    }
    void set_shared(const std::string &name, const std::string &value) override {
        shared[name] = value;
        shared_writes.emplace_back(name, value);
    }

    bool ran(const std::string &cmd) const {
        return std::find(commands.begin(), commands.end(), cmd) != commands.end();
    }
    void clear() {
        printed.clear();
        commands.clear();
        piped.clear();
        shared_writes.clear();
    }
};

const char *const kEvent20 =
    "/usr/sbin/event_notify.sh all 20 'Digital Input changed from OFF to ON' 2>/dev/null &";
const char *const kEvent21 =
    "/usr/sbin/event_notify.sh all 21 'Digital Input changed from ON to OFF' 2>/dev/null &";
const char *const kEvent22 =
    "/usr/sbin/event_notify.sh all 22 'Digital Output changed from OFF to ON' 2>/dev/null &";
const char *const kEvent23 =
    "/usr/sbin/event_notify.sh all 23 'Digital Output changed from ON to OFF' 2>/dev/null &";
const char *const kPidof = "pidof openvpn 2>/dev/null";
const char *const kEth1 = "databoard get common \"eth1_link_status\" 2>/dev/null";
const char *const kVpnStatus = "/tmp/vpn_status";
const char *const kDisconnect = "/tmp/.novra_vpn_disconn";
const char *const kAction = "uci -q get novra.config.action 2>/dev/null";

struct Rig {
    FakePins pins;
    FakeHost host;
    DidoDaemon daemon;
    explicit Rig(RuleCodes codes) : daemon(pins, host, codes) { daemon.start(); }
    // One whole pass of the loop, the sleep left out.
    void pass(bool usr2 = false) {
        daemon.pass(usr2);
        daemon.end_pass();
    }
};

TEST(DidoDaemonStart, BannerAndBothSharedLevelsSetToOne) {
    Rig rig({0, 0, 0, 0});
    EXPECT_EQ(rig.host.printed, "dido_daemon\n");
    EXPECT_EQ(rig.host.shared["do_status"], "1");
    EXPECT_EQ(rig.host.shared["di_status"], "1");
    EXPECT_EQ(rig.daemon.prev_di(), 1);
    EXPECT_EQ(rig.daemon.prev_do(), 1);
}

TEST(DidoDaemonSampling, FirstPassWithDiOnFiresEventMarkLedAndEdgeAction) {
    Rig rig({1, 0, 0, 0});
    rig.pins.set_di(0);
    rig.host.clear();
    rig.daemon.pass(false);
    EXPECT_EQ(rig.host.shared["di_status"], "0");
    EXPECT_EQ(rig.daemon.sms_mark(), kSmsDiOn);
    ASSERT_GE(rig.host.commands.size(), 3u);
    EXPECT_EQ(rig.host.commands[0], kEvent20);
    EXPECT_EQ(rig.host.commands[1], "echo 0 > /sys/class/gpio/gpio13/value");
    EXPECT_EQ(rig.host.piped, std::vector<std::string>{"trigger_vpn.sh on 2>/dev/null"});
    EXPECT_EQ(rig.host.printed,
              "change_dido_led di, 0\n"
              "start_vpn_s_service\n"
              "trigger_vpn cmd is trigger_vpn.sh on 2>/dev/null\n");
}

TEST(DidoDaemonSampling, SteadyInputsDoNothingAfterTheFirstPass) {
    Rig rig({1, 5, 0, 0});
    rig.pins.set_di(0);
    rig.pass();
    rig.host.clear();
    rig.pass();
    rig.pass();
    EXPECT_TRUE(rig.host.commands.empty());
    EXPECT_TRUE(rig.host.printed.empty());
    EXPECT_TRUE(rig.host.shared_writes.empty());
}

TEST(DidoDaemonSampling, DiGoingOffSetsMarkOneAndEvent21) {
    Rig rig({0, 0, 0, 0});
    rig.pins.set_di(0);
    rig.pass();
    rig.pins.set_di(1);
    rig.host.clear();
    rig.pass();
    EXPECT_EQ(rig.host.shared["di_status"], "1");
    EXPECT_EQ(rig.daemon.sms_mark(), kSmsDiOff);
    EXPECT_TRUE(rig.host.ran(kEvent21));
    EXPECT_TRUE(rig.host.ran("echo 1 > /sys/class/gpio/gpio13/value"));
}

TEST(DidoDaemonSampling, FailedReadCountsAsChangeToMinusOne) {
    Rig rig({1, 0, 0, 0});
    rig.pins.fail_reads = true;
    rig.host.clear();
    rig.daemon.pass(false);
    EXPECT_EQ(rig.host.shared["di_status"], "-1");
    EXPECT_EQ(rig.host.shared["do_status"], "-1");
    EXPECT_TRUE(rig.host.ran(kEvent20));
    EXPECT_TRUE(rig.host.ran(kEvent22));
    EXPECT_TRUE(rig.host.ran("echo 1 > /sys/class/gpio/gpio13/value"));
    EXPECT_TRUE(rig.host.ran("echo 1 > /sys/class/gpio/gpio8/value"));
    EXPECT_EQ(rig.daemon.sms_mark(), kSmsDiOn);
    // -1 is neither edge: no DI action.
    EXPECT_TRUE(rig.host.piped.empty());
}

TEST(DidoDaemonSampling, DoChangeIsTakenAtOnceAndReportedWithEventAndLed) {
    Rig rig({0, 0, 0, 0});
    rig.pins.state &= ~kMaskDo;
    rig.host.clear();
    rig.daemon.pass(false);
    EXPECT_EQ(rig.host.shared["do_status"], "0");
    EXPECT_EQ(rig.daemon.prev_do(), 0);
    EXPECT_TRUE(rig.host.ran(kEvent22));
    EXPECT_TRUE(rig.host.ran("echo 0 > /sys/class/gpio/gpio8/value"));
    EXPECT_NE(rig.host.printed.find("change_dido_led do, 0\n"), std::string::npos);
    rig.pins.state |= kMaskDo;
    rig.host.clear();
    rig.daemon.pass(false);
    EXPECT_TRUE(rig.host.ran(kEvent23));
}

struct EdgeCase {
    int code;
    bool on_edge;  // fires when DI turns ON (else OFF)
    const char *printed;
    const char *command;
};

std::ostream &operator<<(std::ostream &os, const EdgeCase &c) {
    return os << "DI code " << c.code;
}

class DiEdgeActions : public ::testing::TestWithParam<EdgeCase> {};

// Runs the rule over a DI edge to ON and then one to OFF; the action must
// fire on exactly the edge of its code.
TEST_P(DiEdgeActions, FiresOnItsEdgeOnly) {
    const EdgeCase &c = GetParam();
    Rig rig({0, c.code, 0, 0});
    rig.pass();  // DI stays off: no edge
    EXPECT_EQ(rig.host.printed.find(c.printed), std::string::npos);

    for (int level : {0, 1}) {
        rig.pins.set_di(level);
        rig.host.clear();
        rig.pass();
        bool expect = (level == 0) == c.on_edge;
        EXPECT_EQ(rig.host.printed.find(std::string(c.printed) + "\n") != std::string::npos, expect)
            << "code " << c.code << " DI " << level << ": " << rig.host.printed;
        EXPECT_EQ(rig.host.ran(c.command), expect) << "code " << c.code << " DI " << level;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, DiEdgeActions,
    ::testing::Values(
        EdgeCase{1, true, "start_vpn_s_service", "trigger_vpn.sh on 2>/dev/null"},
        EdgeCase{2, false, "start_vpn_s_service", "trigger_vpn.sh on 2>/dev/null"},
        EdgeCase{3, true, "close_vpn_s_service", "trigger_vpn.sh off 2>/dev/null"},
        EdgeCase{4, false, "close_vpn_s_service", "trigger_vpn.sh off 2>/dev/null"},
        EdgeCase{5, true, "start_vpn_c_service", "trigger_vpn.sh on 2>/dev/null"},
        EdgeCase{6, false, "start_vpn_c_service", "trigger_vpn.sh on 2>/dev/null"},
        EdgeCase{7, true, "close_vpn_c_service", "trigger_vpn.sh off 2>/dev/null"},
        EdgeCase{8, false, "close_vpn_c_service", "trigger_vpn.sh off 2>/dev/null"},
        EdgeCase{9, true, "start_mobile_service", "/etc/init.d/modem restart 2>/dev/null"},
        EdgeCase{10, false, "close_mobile_service", "/etc/init.d/modem stop 2>/dev/null"},
        EdgeCase{11, true, "close_mobile_service", "/etc/init.d/modem stop 2>/dev/null"},
        EdgeCase{12, false, "start_mobile_service", "/etc/init.d/modem restart 2>/dev/null"}));

TEST(DidoDaemonMobile, RestartTouchesTheConnectMarkerFirstStopDoesNot) {
    Rig rig({9, 10, 0, 0});
    rig.pins.set_di(0);
    rig.host.clear();
    rig.pass();
    auto touch =
        std::find(rig.host.commands.begin(), rig.host.commands.end(), "touch /tmp/.modem_connect");
    auto modem = std::find(rig.host.commands.begin(), rig.host.commands.end(),
                           "/etc/init.d/modem restart 2>/dev/null");
    ASSERT_NE(touch, rig.host.commands.end());
    ASSERT_NE(modem, rig.host.commands.end());
    EXPECT_LT(touch, modem);
    EXPECT_NE(rig.host.printed.find(
                  "str is restart\ntrigger_modbile cmd is /etc/init.d/modem restart 2>/dev/null\n"),
              std::string::npos);

    rig.pins.set_di(1);
    rig.host.clear();
    rig.pass();
    EXPECT_TRUE(rig.host.ran("/etc/init.d/modem stop 2>/dev/null"));
    EXPECT_FALSE(rig.host.ran("touch /tmp/.modem_connect"));
    EXPECT_EQ(rig.host.printed.find("str is restart"), std::string::npos);
}

TEST(DidoDaemonSms, MatchingCodeSendsAndClears) {
    Rig rig({14, 0, 0, 0});
    rig.pins.set_di(0);  // mark 2
    rig.host.clear();
    rig.pass();
    EXPECT_TRUE(rig.host.ran("event_notify.sh didosms 2"));
    EXPECT_NE(rig.host.printed.find("send sms 2\n"), std::string::npos);
    EXPECT_EQ(rig.daemon.sms_mark(), kSmsNone);
    rig.host.clear();
    rig.pass();
    EXPECT_FALSE(rig.host.ran("event_notify.sh didosms 2"));
}

TEST(DidoDaemonSms, FirstRuleClearsTheMarkOfTheOther) {
    {  // 13 then 14: a mark of 2 is cleared by rule 1, nothing sent
        Rig rig({13, 14, 0, 0});
        rig.pins.set_di(0);
        rig.host.clear();
        rig.pass();
        EXPECT_FALSE(rig.host.ran("event_notify.sh didosms 2"));
        EXPECT_FALSE(rig.host.ran("event_notify.sh didosms 1"));
        EXPECT_EQ(rig.host.printed.find("send sms"), std::string::npos);
        EXPECT_EQ(rig.daemon.sms_mark(), kSmsNone);
    }
    {  // 14 then 13: a mark of 1 is lost the same way; a mark of 2 is sent
        Rig rig({14, 13, 0, 0});
        rig.pins.set_di(0);
        rig.host.clear();
        rig.pass();
        EXPECT_TRUE(rig.host.ran("event_notify.sh didosms 2"));
        rig.pins.set_di(1);  // mark 1
        rig.host.clear();
        rig.pass();
        EXPECT_FALSE(rig.host.ran("event_notify.sh didosms 1"));
        EXPECT_EQ(rig.daemon.sms_mark(), kSmsNone);
    }
}

TEST(DidoDaemonVpnDisconnect, Code15NeedsStatusFileConnectedActionTwoAndDiOff) {
    struct Case {
        std::optional<int> status;  // nullopt: no status file (or no number in it)
        const char *action;
        int di;
        bool touch;
    };
    const Case cases[] = {
        {3, "2\n", 1, true},  {std::nullopt, "2\n", 1, false},
        {2, "2\n", 1, false}, {3, "1\n", 1, false},
        {3, "2\n", 0, false}, {3, "2", 1, true},
    };
    for (const Case &c : cases) {
        Rig rig({0, 15, 0, 0});
        if (c.status) rig.host.numbers[kVpnStatus] = *c.status;
        rig.host.outputs[kAction] = c.action;
        rig.pins.set_di(c.di);
        rig.pass();
        EXPECT_EQ(rig.host.touched == std::vector<std::string>{kDisconnect}, c.touch)
            << c.status.value_or(-1) << " " << c.action << " " << c.di;
    }
}

struct DoCase {
    int code;
    bool vpn;    // pidof openvpn prints something
    bool eth1;   // eth1 link "connected"
    int expect;  // DO level after the pass; -1 untouched
};

std::ostream &operator<<(std::ostream &os, const DoCase &c) {
    return os << "DO code " << c.code << " vpn " << c.vpn << " eth1 " << c.eth1;
}

class DoActions : public ::testing::TestWithParam<DoCase> {};

TEST_P(DoActions, DriveDoFromVpnOrLink) {
    const DoCase &c = GetParam();
    Rig rig({0, 0, c.code, 0});
    if (c.vpn) rig.host.outputs[kPidof] = "1234\n";
    rig.host.outputs[kEth1] = c.eth1 ? "connected\n" : "disconnected\n";
    rig.daemon.pass(false);
    if (c.expect < 0) {
        EXPECT_TRUE(rig.pins.drives.empty()) << "code " << c.code;
    } else {
        ASSERT_EQ(rig.pins.drives.size(), 1u) << "code " << c.code;
        EXPECT_EQ(rig.pins.drives[0].first, kMaskDo);
        EXPECT_EQ(rig.pins.do_level(), c.expect) << "code " << c.code;
    }
    bool announced = rig.host.printed.find("check do_case:" + std::to_string(c.code) + "\n") !=
                     std::string::npos;
    EXPECT_EQ(announced, c.code == 1 || c.code == 4);
}

INSTANTIATE_TEST_SUITE_P(Codes, DoActions,
                         ::testing::Values(DoCase{1, true, false, 0}, DoCase{1, false, false, -1},
                                           DoCase{2, true, false, 1}, DoCase{2, false, false, -1},
                                           DoCase{3, false, false, 0}, DoCase{3, true, false, -1},
                                           DoCase{4, false, false, 1}, DoCase{4, true, false, -1},
                                           DoCase{5, true, false, 0}, DoCase{6, true, false, 1},
                                           DoCase{7, false, false, 0}, DoCase{8, false, false, 1},
                                           DoCase{8, true, false, -1}, DoCase{9, false, true, 0},
                                           DoCase{9, false, false, -1}, DoCase{10, false, true, 1},
                                           DoCase{11, false, false, 0}, DoCase{11, false, true, -1},
                                           DoCase{12, false, false, 1}, DoCase{12, false, true, -1},
                                           DoCase{14, true, true, -1}, DoCase{0, true, true, -1}));

TEST(DidoDaemonDoActions, EmptyFirstLineIsNotARunningVpnAndLinkWordMustMatchWhole) {
    Rig rig({0, 0, 3, 12});
    rig.host.outputs[kPidof] = "\n4321\n";
    rig.host.outputs[kEth1] = "connected-ish\n";
    rig.daemon.pass(false);
    // code 3 (VPN not running -> 0) then code 12 (eth1 not connected -> 1)
    ASSERT_EQ(rig.pins.drives.size(), 2u);
    EXPECT_FALSE(rig.pins.drives[0].second);
    EXPECT_TRUE(rig.pins.drives[1].second);
}

TEST(DidoDaemonDoActions, Code13FollowsTheVpnStatusNumber) {
    for (auto [status, level] :
         {std::pair<std::optional<int>, int>{3, 0}, {2, 1}, {std::nullopt, 1}}) {
        Rig rig({0, 0, 13, 0});
        if (status) rig.host.numbers[kVpnStatus] = *status;
        rig.daemon.pass(false);
        EXPECT_EQ(rig.pins.do_level(), level) << status.value_or(-1);
    }
}

TEST(DidoDaemonDoActions, RuleChangeIsSeenOnTheNextPass) {
    Rig rig({0, 0, 3, 0});  // VPN not running: DO 0
    rig.host.clear();
    rig.pass();
    EXPECT_FALSE(rig.host.ran(kEvent22));
    EXPECT_EQ(rig.pins.do_level(), 0);
    rig.host.clear();
    rig.pass();
    EXPECT_TRUE(rig.host.ran(kEvent22));
    EXPECT_EQ(rig.host.shared["do_status"], "0");
}

TEST(DidoDaemonRules, RuleOneRunsBeforeRuleTwoDiBeforeDo) {
    Rig rig({1, 3, 13, 2});
    rig.host.outputs[kPidof] = "99\n";
    rig.pins.set_di(0);
    rig.host.clear();
    rig.daemon.pass(false);
    std::string p = rig.host.printed;
    auto s = p.find("start_vpn_s_service");
    auto c = p.find("close_vpn_s_service");
    ASSERT_NE(s, std::string::npos);
    ASSERT_NE(c, std::string::npos);
    EXPECT_LT(s, c);
    // code 13 (status missing -> 1) then code 2 (VPN running -> 1)
    ASSERT_EQ(rig.pins.drives.size(), 2u);
}

TEST(DidoDaemonSignal, AppliesSharedDoAndSimSlot) {
    Rig rig({0, 0, 0, 0});
    rig.host.shared["do_status"] = "1";
    rig.host.shared["set_sim_slot"] = "2";
    rig.pins.state &= ~kMaskDo;
    rig.host.clear();
    rig.daemon.pass(true);
    ASSERT_GE(rig.pins.drives.size(), 2u);
    EXPECT_EQ(rig.pins.drives[0], std::make_pair(kMaskDo, true));
    EXPECT_EQ(rig.pins.drives[1], std::make_pair(kMaskSimSlot, true));
    EXPECT_EQ(rig.host.printed.rfind("set do 1\nset sim slot 2\n", 0), 0u) << rig.host.printed;

    rig.host.shared["do_status"] = "0";
    rig.host.shared["set_sim_slot"] = "1";
    rig.pins.drives.clear();
    rig.host.clear();
    rig.daemon.pass(true);
    EXPECT_EQ(rig.pins.drives[0], std::make_pair(kMaskDo, false));
    EXPECT_EQ(rig.pins.drives[1], std::make_pair(kMaskSimSlot, false));
    EXPECT_EQ(rig.host.printed.rfind("set do 0\nset sim slot 1\n", 0), 0u);
}

TEST(DidoDaemonSignal, AbsentSharedValuesCountAsDoZeroAndSlotOne) {
    Rig rig({0, 0, 0, 0});
    rig.host.shared.clear();
    rig.host.clear();
    rig.daemon.pass(true);
    ASSERT_GE(rig.pins.drives.size(), 2u);
    EXPECT_EQ(rig.pins.drives[0], std::make_pair(kMaskDo, false));
    EXPECT_EQ(rig.pins.drives[1], std::make_pair(kMaskSimSlot, false));
    EXPECT_EQ(rig.host.printed.rfind("set do 0\nset sim slot 1\n", 0), 0u);
}

TEST(DidoDaemonSignal, WithoutTheRequestNothingIsApplied) {
    Rig rig({0, 0, 0, 0});
    rig.host.shared["set_sim_slot"] = "2";
    rig.daemon.pass(false);
    EXPECT_TRUE(rig.pins.drives.empty());
}

}  // namespace
}  // namespace dio
