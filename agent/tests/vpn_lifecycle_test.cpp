// vpn_start and vpn_stop with a stand-in openvpn that never opens its
// management port (it waits like OpenVPN in its hold). These tests write the
// agent's /tmp files, so they run only inside a throwaway router root
// (test_vpn_lifecycle.py starts them there).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <tuple>

#include "console.h"
#include "heartbeat.h"
#include "rt_test/poll.h"
#include "rt_test/root.h"
#include "state.h"
#include "test_util.h"
#include "vpn.h"
#include "vpn_internal.h"

namespace {

using namespace std::chrono_literals;
using rt_test::wait_for;
using Clock = std::chrono::steady_clock;

const char *kFakeDir = "/tmp/fakebin";
const char *kPids = "/tmp/fake_openvpn.pids";
const char *kArgs = "/tmp/fake_openvpn.args";

std::vector<pid_t> fake_pids() {
    std::vector<pid_t> out;
    std::ifstream f(kPids);
    long p;
    while (f >> p) out.push_back(static_cast<pid_t>(p));
    return out;
}

bool alive(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    if (!f) return false;
    std::string s((std::istreambuf_iterator<char>(f)), {});
    auto close = s.rfind(')');
    return close != std::string::npos && close + 2 < s.size() && s[close + 2] != 'Z';
}

std::unique_ptr<VpnServerEntry> entry(const char *args) {
    auto e = std::make_unique<VpnServerEntry>();
    std::memset(e.get(), 0, sizeof *e);
    std::strcpy(e->host, "127.0.0.1");
    std::strcpy(e->ip, " ");
    std::strcpy(e->name, "test-server");
    std::strcpy(e->port, "1");
    std::strcpy(e->proto, "tcp-client");
    std::strncpy(e->args, args, sizeof e->args - 1);
    return e;
}

class VpnLifecycle : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!rt_test::in_router_root()) GTEST_SKIP() << "runs only inside a router root";
        mkdir(kFakeDir, 0755);
        std::ofstream f(std::string(kFakeDir) + "/openvpn");
        f << "#!/bin/sh\necho $$ >> " << kPids << "\necho \"$@\" >> " << kArgs
          << "\nexec sleep 60\n";
        f.close();
        chmod((std::string(kFakeDir) + "/openvpn").c_str(), 0755);
        std::remove(kPids);
        std::remove(kArgs);
        std::string path = std::string(kFakeDir) + ":" + std::getenv("PATH");
        setenv("PATH", path.c_str(), 1);

        AgentState &st = agent_state();
        st.running = 1;
        st.vpn_state = VPN_STATE_IDLE;
        st.config = AgentConfig{};
        // a port nothing listens on
        st.config.vpn_mgmt_port = 9;
        st.config.ssl_cert = "/etc/c.crt";
        st.config.ssl_key = "/etc/c.key";
        st.config.ca_file = "/etc/ca.crt";
        std::vector<std::unique_ptr<VpnServerEntry>> list;
        list.push_back(entry(" "));
        vpn_servers_replace(std::move(list));
    }
    void TearDown() override {
        if (!rt_test::in_router_root()) return;
        vpn_stop();
        for (pid_t p : fake_pids()) kill(p, SIGKILL);
    }
    LogCapture log_{"vpn_lifecycle"};
};

TEST_F(VpnLifecycle, StartRefusedWithoutServersOrWhenNotIdle) {
    vpn_servers_clear();
    EXPECT_EQ(vpn_start(), 12);
    std::vector<std::unique_ptr<VpnServerEntry>> list;
    list.push_back(entry(" "));
    vpn_servers_replace(std::move(list));
    agent_state().vpn_state = VPN_STATE_CONNECTED;
    EXPECT_EQ(vpn_start(), 12);
    agent_state().vpn_state = VPN_STATE_EXITING;
    EXPECT_EQ(vpn_start(), 12);
    agent_state().vpn_state = VPN_STATE_IDLE;
    EXPECT_NE(log_.text().find("VPN  ERROR No list of usable VPN server available."),
              std::string::npos);
    EXPECT_TRUE(fake_pids().empty());
}

TEST_F(VpnLifecycle, StartRefusedOnceTheAgentIsOnItsWayOut) {
    // The exit path sets the flag, then stops the VPN: a connectvpn that
    // arrives meanwhile must not leave an openvpn nobody ends.
    agent_state().exiting = true;
    EXPECT_EQ(vpn_start(), 12);
    agent_state().exiting = false;
    EXPECT_TRUE(fake_pids().empty());
}

// A heartbeat thread whose exchange completes just as the connection is stopped.
void late_exchange() {
    AgentState &st = agent_state();
    st.hbs_state = HBS_SM_RUNNING;  // the first reply
    rt_test::wait_for([&] { return st.hbs_stop_requested.load(); }, 10s, 10ms);
    st.hbs_state = HBS_SM_RUNNING;  // the reply that was on its way
}

TEST_F(VpnLifecycle, HeartbeatStopLeavesTheConnectionStopped) {
    ASSERT_EQ(hbs_connection_create(late_exchange), 0);
    EXPECT_EQ(hbs_connection_stop(), 0);
    EXPECT_EQ(agent_state().hbs_state.load(), HBS_SM_STOPPED);
    // so the next connection is not refused as one that already exists
    ASSERT_EQ(hbs_connection_create(late_exchange), 0);
    hbs_connection_stop();
}

TEST_F(VpnLifecycle, StopWithoutVpnReturnsAfterOneSecond) {
    auto t0 = Clock::now();
    EXPECT_EQ(vpn_stop(), 0);
    auto took = Clock::now() - t0;
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(agent_state().vpn_state.load(), VPN_STATE_IDLE);
}

TEST_F(VpnLifecycle, GivingUpOnTheManagementPortEndsOpenvpn) {
    ASSERT_EQ(vpn_start(), 0);
    ASSERT_TRUE(wait_for([] { return !fake_pids().empty(); }, 3s));
    pid_t pid = fake_pids().front();
    EXPECT_TRUE(alive(pid));
    // six tries of about half a second, then the end sequence
    // (the state is IDLE during the tries too: wait for the thread's end)
    EXPECT_TRUE(wait_for([] { return !agent_state().vpn_mgmt_thread_active.load(); }, 15s));
    EXPECT_EQ(agent_state().vpn_state.load(), VPN_STATE_IDLE);
    EXPECT_FALSE(alive(pid));
    std::string log = log_.text();
    EXPECT_NE(log.find("MGMT       Try #6 to connect to management interface failed. "),
              std::string::npos);
    EXPECT_EQ(log.find("Try #7"), std::string::npos);
    EXPECT_NE(log.find("VPN  ERROR Error - giving up."), std::string::npos);
    // a later start works without a stop in between
    ASSERT_EQ(vpn_start(), 0);
    EXPECT_TRUE(wait_for([] { return fake_pids().size() == 2; }, 3s));
}

TEST_F(VpnLifecycle, StopDuringTheTriesReturnsAndLeavesNoProcess) {
    ASSERT_EQ(vpn_start(), 0);
    ASSERT_TRUE(wait_for([] { return !fake_pids().empty(); }, 3s));
    pid_t pid = fake_pids().front();
    std::this_thread::sleep_for(700ms);
    auto t0 = Clock::now();
    EXPECT_EQ(vpn_stop(), 0);
    EXPECT_LT(Clock::now() - t0, 8s);
    EXPECT_FALSE(alive(pid));
    EXPECT_EQ(agent_state().vpn_state.load(), VPN_STATE_IDLE);
    EXPECT_EQ(log_.text().find("Error - giving up."), std::string::npos);
}

TEST_F(VpnLifecycle, FailedManagementThreadEndsOpenvpn) {
    vpn_test_fail_thread_creation(2);
    EXPECT_EQ(vpn_start(), 15);
    EXPECT_NE(log_.text().find("VPN  ERROR Error creating VPN management thread."),
              std::string::npos);
    EXPECT_EQ(agent_state().vpn_state.load(), VPN_STATE_IDLE);
    for (pid_t p : fake_pids()) EXPECT_FALSE(alive(p));
    // nothing is left that would block the next start
    ASSERT_EQ(vpn_start(), 0);
    EXPECT_TRUE(wait_for(
        [] {
            auto p = fake_pids();
            return !p.empty() && alive(p.back());
        },
        3s));
}

TEST_F(VpnLifecycle, FailedOpenvpnThreadStartsNothing) {
    vpn_test_fail_thread_creation(1);
    EXPECT_EQ(vpn_start(), 15);
    EXPECT_NE(log_.text().find("VPN  ERROR Error creating OpenVPN thread."), std::string::npos);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(fake_pids().empty());
    EXPECT_EQ(agent_state().vpn_state.load(), VPN_STATE_IDLE);
}

TEST_F(VpnLifecycle, PlaceholderWithoutTlsAuthDoesNotStartOpenvpn) {
    std::vector<std::unique_ptr<VpnServerEntry>> list;
    list.push_back(entry("--tls-auth %tlsauthfile% 1"));
    vpn_servers_replace(std::move(list));
    ASSERT_EQ(vpn_start(), 0);
    EXPECT_TRUE(wait_for(
        [] {
            return agent_state().vpn_state.load() == VPN_STATE_IDLE &&
                   !agent_state().vpn_mgmt_thread_active.load();
        },
        10s));
    EXPECT_TRUE(fake_pids().empty());
    EXPECT_EQ(agent_state().vpn_exit_reason.load(), 2);
    std::string log = log_.text();
    EXPECT_NE(log.find("TELVSDK_CFG_TLSAUTH is not configured"), std::string::npos);
    EXPECT_EQ(log.find("VPN DISCONNECTED"), std::string::npos);
    // Ended by the missing path, not by the management tries running out (one
    // try may come first when the OpenVPN thread is slow to end).
    EXPECT_EQ(log.find("Error - giving up."), std::string::npos);
}

TEST_F(VpnLifecycle, OverlongCommandIsRefusedNotCut) {
    std::string args = "--tls-auth %tlsauthfile% 1 " + std::string(900, 'x');
    std::vector<std::unique_ptr<VpnServerEntry>> list;
    list.push_back(entry(args.c_str()));
    vpn_servers_replace(std::move(list));
    agent_state().config.tls_auth = "/etc/telvsdk/ta.key";
    ASSERT_EQ(vpn_start(), 0);
    EXPECT_TRUE(wait_for(
        [] {
            return agent_state().vpn_state.load() == VPN_STATE_IDLE &&
                   !agent_state().vpn_mgmt_thread_active.load();
        },
        10s));
    EXPECT_TRUE(fake_pids().empty());
    EXPECT_NE(log_.text().find("is longer than 1023"), std::string::npos);
    EXPECT_EQ(agent_state().vpn_exit_reason.load(), 2);
}

TEST_F(VpnLifecycle, ProxyCredentialsAreWrittenPrivatelyAndRemovedAtTheEnd) {
    AgentConfig &c = agent_state().config;
    c.proxy_auth_required = 1;
    c.proxy_auth_file = "/tmp/proxy auth";
    c.proxy_user = "user";
    c.proxy_pass = "s3cret";
    ASSERT_EQ(vpn_start(), 0);
    ASSERT_TRUE(wait_for([] { return !fake_pids().empty(); }, 3s));
    struct stat sb {};
    ASSERT_EQ(stat("/tmp/proxy auth", &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
    EXPECT_EQ(slurp("/tmp/proxy auth"), "user\ns3cret\n");
    EXPECT_EQ(log_.text().find("s3cret"), std::string::npos);
    vpn_stop();
    EXPECT_NE(stat("/tmp/proxy auth", &sb), 0);
}

TEST_F(VpnLifecycle, StatusLineTextAndStateFile) {
    AgentState &st = agent_state();
    st.hbs_state = HBS_SM_RUNNING;
    st.vpn_state = VPN_STATE_CONNECTED;
    st.vpn_server_index = 0;
    st.hbs_server_delay = 60;
    st.hbs_client_delay = 30;
    ::testing::internal::CaptureStdout();
    console_status_line(5);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "\33[1A5       HBS_SM_RUNNING VPN_STATE_CONNECTED   #1         60              30\n"
              "\33[1A\33[110C    \33[1B\33[128D");
    EXPECT_EQ(slurp("/tmp/vpn_status"), "3\n");
    for (auto [state, file, name] :
         {std::tuple{4, "0\n", "VPN_STATE_IDLE"}, std::tuple{5, "0\n", "VPN_STATE_IDLE"},
          std::tuple{99, "4\n", "VPN_STATE_EXITING"}, std::tuple{1, "1\n", "VPN_STATE_HOLD"},
          std::tuple{2, "2\n", "VPN_STATE_CONNECTING"}}) {
        st.vpn_state = state;
        st.hbs_state = HBS_SM_INIT;
        ::testing::internal::CaptureStdout();
        console_status_line(1);
        out = ::testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(std::string("HBS_SM_INIT    ") + name), std::string::npos) << out;
        EXPECT_EQ(slurp("/tmp/vpn_status"), file) << state;
    }
    st.vpn_state = VPN_STATE_IDLE;
    st.hbs_state = 7;
    ::testing::internal::CaptureStdout();
    console_status_line(1);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("HBS_SM_STOPPED"), std::string::npos);
}

TEST_F(VpnLifecycle, TrafficLineAndFile) {
    std::int64_t deadline = static_cast<std::int64_t>(std::time(nullptr)) + 100;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(console_traffic_line(3, 1024, 2047, deadline), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    // sent first, then received, each right-aligned in 8 columns
    ASSERT_EQ(out.rfind("\33[1A\33[90C    2047     1024 (timeout:", 0), 0u) << out;
    EXPECT_EQ(out.substr(out.size() - 11), ")\33[1B\33[126D");
    int left = std::stoi(out.substr(out.find("timeout:") + 8));
    EXPECT_GE(left, 98);
    EXPECT_LE(left, 100);
    EXPECT_EQ(slurp("/tmp/vpn_txrx_packet"), "1 kBytes / 1 kBytes");
    // after the deadline the remaining time is negative
    ::testing::internal::CaptureStdout();
    console_traffic_line(3, 0, 0, deadline - 200);
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_LT(std::stoi(out.substr(out.find("timeout:") + 8)), -90);
    EXPECT_EQ(slurp("/tmp/vpn_txrx_packet"), "0 kBytes / 0 kBytes");
    // the first call has no deadline yet, and a busy tunnel's counts are
    // wider than their columns: the cursor still goes back to column 0
    ::testing::internal::CaptureStdout();
    console_traffic_line(3, 0, 5000000000LL, 0);
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "\33[1A\33[90C5000000000        0 (timeout:-9999999)\33[1B\33[128D");
    EXPECT_EQ(slurp("/tmp/vpn_txrx_packet"), "4882812 kBytes / 0 kBytes");
}

TEST_F(VpnLifecycle, DisconnectMarkerWhileIdleIsHandled) {
    { std::ofstream("/tmp/.novra_vpn_disconn"); }
    auto t0 = Clock::now();
    console_poll_vpn_markers();
    EXPECT_GE(Clock::now() - t0, 900ms);  // vpn_stop's second
    EXPECT_NE(access("/tmp/.novra_vpn_disconn", F_OK), 0);
    EXPECT_NE(log_.text().find("VPN        handle VPN disconnect CMD."), std::string::npos);
    EXPECT_EQ(agent_state().vpn_state.load(), VPN_STATE_IDLE);
}

TEST_F(VpnLifecycle, BothMarkersStartThenStopInOneCall) {
    { std::ofstream("/tmp/.novra_vpn_conn"); }
    { std::ofstream("/tmp/.novra_vpn_disconn"); }
    console_poll_vpn_markers();
    EXPECT_NE(access("/tmp/.novra_vpn_conn", F_OK), 0);
    EXPECT_NE(access("/tmp/.novra_vpn_disconn", F_OK), 0);
    std::string log = log_.text();
    EXPECT_NE(log.find("using vpn server #1 test-server"), std::string::npos);
    EXPECT_NE(log.find("VPN        handle VPN disconnect CMD."), std::string::npos);
    EXPECT_EQ(agent_state().vpn_state.load(), VPN_STATE_IDLE);
    EXPECT_FALSE(agent_state().vpn_mgmt_thread_active.load());
    for (pid_t p : fake_pids()) EXPECT_FALSE(alive(p));
}

}  // namespace
