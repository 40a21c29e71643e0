// The live status line on standard output, /tmp/vpn_status and
// /tmp/vpn_txrx_packet, and the VPN marker files other programs leave.
//
// The main thread prints the status line once a second, the VPN management
// thread the traffic figures into the same line; each print starts and ends
// at column 0 of the line below the status line.
#include "console.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "log.h"
#include "rtu/files.h"
#include "rtu/shell.h"
#include "rtu/status_files.h"
#include "rtu/streams.h"
#include "state.h"
#include "vpn.h"

namespace {

const char *hbs_state_name(int s) {
    switch (s) {
        case HBS_SM_INIT:
            return "HBS_SM_INIT";
        case HBS_SM_RUNNING:
            return "HBS_SM_RUNNING";
        default:
            return "HBS_SM_STOPPED";
    }
}

struct VpnShown {
    const char *name;
    int status;  // the value of /tmp/vpn_status
};

VpnShown vpn_state_shown(int s) {
    using namespace rtu::status;
    switch (s) {
        case VPN_STATE_HOLD:
            return {"VPN_STATE_HOLD", kVpnHold};
        case VPN_STATE_CONNECTING:
            return {"VPN_STATE_CONNECTING", kVpnConnecting};
        case VPN_STATE_CONNECTED:
            return {"VPN_STATE_CONNECTED", kVpnConnected};
        case VPN_STATE_EXITING:
            return {"VPN_STATE_EXITING", kVpnExiting};
        default:
            return {"VPN_STATE_IDLE", kVpnIdle};
    }
}

}  // namespace

void console_status_line(int counter) {
    const AgentState &st = agent_state();
    VpnShown vpn = vpn_state_shown(st.vpn_state.load());
    rtu::write_number_file(rtu::status::kVpnStatus, vpn.status);
    // One redraw is one piece of output: the traffic figures, written by the
    // VPN management thread, wait until the cursor is back where they expect it.
    flockfile(stdout);
    std::printf("\33[1A");
    std::printf("%-7d %-14s %-21s #%d         %-d              %-d\n", counter,
                hbs_state_name(st.hbs_state.load()), vpn.name, st.vpn_server_index.load() + 1,
                st.hbs_server_delay.load(), st.hbs_client_delay.load());
    std::printf("\33[1A\33[110C    \33[1B\33[128D");
    rtu::flush(stdout);
    funlockfile(stdout);
}

int console_traffic_line(int, std::int64_t bytes_in, std::int64_t bytes_out,
                         std::int64_t deadline) {
    // The remaining time stays within its eight columns (before the first
    // deadline it is some -1.8e9 s), and the cursor goes back to column 0 by
    // the text's own length (126 for the usual 36 characters, more once the
    // counts pass 99,999,999 bytes), so the next redraw starts where it should.
    std::int64_t left = deadline - static_cast<std::int64_t>(std::time(nullptr));
    left = std::clamp<std::int64_t>(left, -9999999, 99999999);
    std::string text =
        rtu::format_bounded(128, "%8lld %8lld (timeout:%8lld)", static_cast<long long>(bytes_out),
                            static_cast<long long>(bytes_in), static_cast<long long>(left));
    flockfile(stdout);
    std::printf("\33[1A\33[90C%s\33[1B\33[%zuD", text.c_str(), 90 + text.size());
    rtu::flush(stdout);
    funlockfile(stdout);
    rtu::write_status_file(rtu::status::kVpnTraffic,
                           rtu::format_bounded(256, "%lld kBytes / %lld kBytes",
                                               static_cast<long long>(bytes_out / 1024),
                                               static_cast<long long>(bytes_in / 1024)));
    return 0;
}

void console_poll_vpn_markers() {
    using namespace rtu::status;
    if (rtu::file_exists(kVpnConnectMarker)) {
        if (!rtu::remove_file(kVpnConnectMarker))
            agent_logf(LOG_VPN_ERROR, "cannot remove %s", kVpnConnectMarker);
        vpn_start();
    }
    if (rtu::file_exists(kVpnDisconnectMarker)) {
        if (!rtu::remove_file(kVpnDisconnectMarker))
            agent_logf(LOG_VPN_ERROR, "cannot remove %s", kVpnDisconnectMarker);
        agent_log(LOG_VPN, "handle VPN disconnect CMD.");
        vpn_stop();
    }
}
