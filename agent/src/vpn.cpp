// Placeholder until the VPN controller lands: vpn_start refuses as the
// controller does and otherwise reports that no OpenVPN thread was created;
// vpn_stop takes the state through EXITING to IDLE as it does when no VPN
// runs. Neither starts or ends any thread yet.
#include "vpn.h"

#include <chrono>
#include <thread>

#include "log.h"
#include "state.h"

int vpn_start() {
    AgentState &st = agent_state();
    if (st.vpn_server_count <= 0 || st.vpn_state != VPN_STATE_IDLE) {
        agent_log(LOG_VPN_ERROR, "No list of usable VPN server available.");
        return 12;
    }
    agent_log(LOG_VPN_ERROR, "Error creating OpenVPN thread.");
    return 15;
}

int vpn_stop() {
    AgentState &st = agent_state();
    st.vpn_state = VPN_STATE_EXITING;
    st.vpn_state = VPN_STATE_IDLE;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
}
