// The live status line on standard output, /tmp/vpn_status and
// /tmp/vpn_txrx_packet, and the VPN marker files other programs leave.
//
// The main thread prints the status line once a second, the VPN management
// thread the traffic figures into the same line; each print starts and ends
// at column 0 of the line below the status line.
#include "console.h"

#include <cstdio>
#include <ctime>

#include "log.h"
#include "rtu/files.h"
#include "rtu/shell.h"
#include "state.h"
#include "vpn.h"

namespace {

const char *hbs_state_name(int s) {
    switch (s) {
    case HBS_SM_INIT: return "HBS_SM_INIT";
    case HBS_SM_RUNNING: return "HBS_SM_RUNNING";
    default: return "HBS_SM_STOPPED";
    }
}

struct VpnShown {
    const char *name;
    const char *command;
};

VpnShown vpn_state_shown(int s) {
    switch (s) {
    case VPN_STATE_HOLD: return {"VPN_STATE_HOLD", "echo 1 > /tmp/vpn_status"};
    case VPN_STATE_CONNECTING: return {"VPN_STATE_CONNECTING", "echo 2 > /tmp/vpn_status"};
    case VPN_STATE_CONNECTED: return {"VPN_STATE_CONNECTED", "echo 3 > /tmp/vpn_status"};
    case VPN_STATE_EXITING: return {"VPN_STATE_EXITING", "echo 4 > /tmp/vpn_status"};
    default: return {"VPN_STATE_IDLE", "echo 0 > /tmp/vpn_status"};
    }
}

constexpr const char *kConnMarker = "/tmp/.novra_vpn_conn";
constexpr const char *kDisconnMarker = "/tmp/.novra_vpn_disconn";

}  // namespace

void console_status_line(int counter) {
    const AgentState &st = agent_state();
    VpnShown vpn = vpn_state_shown(st.vpn_state.load());
    rtu::run_shell(vpn.command);
    std::printf("\33[1A");
    std::printf("%-7d %-14s %-21s #%d         %-d              %-d\n", counter,
                hbs_state_name(st.hbs_state.load()), vpn.name, st.vpn_server_index.load() + 1,
                st.hbs_server_delay.load(), st.hbs_client_delay.load());
    std::printf("\33[1A\33[110C    \33[1B\33[128D");
    std::fflush(stdout);
}

int console_traffic_line(int, int bytes_in, int bytes_out, std::int64_t deadline) {
    std::int64_t left = deadline - static_cast<std::int64_t>(std::time(nullptr));
    std::printf("\33[1A\33[90C%8d %8d (timeout:%8lld)\33[1B\33[126D", bytes_out, bytes_in,
                static_cast<long long>(left));
    std::fflush(stdout);
    rtu::run_shell(rtu::format_bounded(256, "echo -n \"%d kBytes / %d kBytes\" > /tmp/vpn_txrx_packet",
                                       bytes_out / 1024, bytes_in / 1024));
    return 0;
}

void console_poll_vpn_markers() {
    if (rtu::file_exists(kConnMarker)) {
        std::remove(kConnMarker);
        vpn_start();
    }
    if (rtu::file_exists(kDisconnMarker)) {
        std::remove(kDisconnMarker);
        agent_log(LOG_VPN, "handle VPN disconnect CMD.");
        vpn_stop();
    }
}
