// Placeholder until the VPN controller lands: the status line shows the
// heartbeat state and the delays; the VPN state file, the traffic line and
// the marker files come with it.
#include "console.h"

#include <cstdio>

#include "state.h"

namespace {
const char *hbs_state_name(int s) {
    switch (s) {
    case HBS_SM_INIT: return "HBS_SM_INIT";
    case HBS_SM_RUNNING: return "HBS_SM_RUNNING";
    default: return "HBS_SM_STOPPED";
    }
}
const char *vpn_state_name(int s) {
    switch (s) {
    case VPN_STATE_HOLD: return "VPN_STATE_HOLD";
    case VPN_STATE_CONNECTING: return "VPN_STATE_CONNECTING";
    case VPN_STATE_CONNECTED: return "VPN_STATE_CONNECTED";
    case VPN_STATE_EXITING: return "VPN_STATE_EXITING";
    default: return "VPN_STATE_IDLE";
    }
}
}  // namespace

void console_status_line(int counter) {
    const AgentState &st = agent_state();
    std::printf("\33[1A");
    std::printf("%-7d %-14s %-21s #%d         %-d              %-d\n", counter,
                hbs_state_name(st.hbs_state), vpn_state_name(st.vpn_state),
                st.vpn_server_index + 1, st.hbs_server_delay.load(), st.hbs_client_delay.load());
    std::printf("\33[1A\33[110C    \33[1B\33[128D");
    std::fflush(stdout);
}

int console_traffic_line(int, int, int, std::int64_t) { return 0; }

void console_poll_vpn_markers() {}
