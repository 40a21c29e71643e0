// Starting and ending the VPN: the OpenVPN thread and the management thread.
//
// vpn_start and vpn_stop may run in the heartbeat thread, the main thread and
// the exit path at the same time; the thread handles are touched under one
// lock, while the refusal of vpn_start and the EXITING request of vpn_stop
// happen before it, as callers expect (a start during a stop is refused).
#include "vpn.h"

#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "log.h"
#include "state.h"
#include "vpn_internal.h"

namespace {

std::mutex g_handles;
std::atomic<int> g_fail_thread{0};

// Joins a finished thread so its handle can take a new one.
void reap(std::thread &t) {
    if (t.joinable()) t.join();
}

std::thread make_thread(int which, void (*body)()) {
    int expected = which;
    if (g_fail_thread.compare_exchange_strong(expected, 0))
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(body);
}

}  // namespace

void vpn_test_fail_thread_creation(int which) {
    g_fail_thread = which;
}

int vpn_start() {
    AgentState &st = agent_state();
    if (st.vpn_server_count.load() <= 0 || st.vpn_state.load() != VPN_STATE_IDLE) {
        agent_log(LOG_VPN_ERROR, "No list of usable VPN server available.");
        return 12;
    }
    std::lock_guard<std::mutex> lock(g_handles);
    // Once the agent is on its way out (the exit path stops the VPN under this
    // lock after setting the flag), no new openvpn may start: nobody would end it.
    if (st.vpn_state.load() != VPN_STATE_IDLE || st.exiting.load()) {
        agent_log(LOG_VPN_ERROR, "No list of usable VPN server available.");
        return 12;
    }
    // Handles of a VPN that ended by itself.
    reap(st.vpn_mgmt_thread);
    reap(st.vpn_thread);
    st.vpn_thread_active = false;
    st.vpn_mgmt_thread_active = false;
    // Reset here, before the OpenVPN thread may already report a failure.
    st.vpn_exit_reason = 0;
    st.vpn_wait_count = 0;
    vpn_child().reset();

    try {
        st.vpn_thread_active = true;
        st.vpn_thread = make_thread(1, openvpn_launch);
    } catch (const std::system_error &) {
        st.vpn_thread_active = false;
        agent_log(LOG_VPN_ERROR, "Error creating OpenVPN thread.");
        return 15;
    }
    try {
        st.vpn_mgmt_thread_active = true;
        st.vpn_mgmt_thread = make_thread(2, vpn_manage);
    } catch (const std::system_error &) {
        st.vpn_mgmt_thread_active = false;
        agent_log(LOG_VPN_ERROR, "Error creating VPN management thread.");
        // Nobody would release OpenVPN's hold: end it and its thread.
        st.vpn_state = VPN_STATE_EXITING;
        vpn_child().terminate(std::chrono::seconds(3), std::chrono::seconds(3));
        reap(st.vpn_thread);
        st.vpn_state = VPN_STATE_IDLE;
        return 15;
    }
    return 0;
}

int vpn_stop() {
    AgentState &st = agent_state();
    st.vpn_state = VPN_STATE_EXITING;
    {
        std::lock_guard<std::mutex> lock(g_handles);
        if (st.vpn_mgmt_thread.joinable()) {
            st.vpn_mgmt_thread.join();
            reap(st.vpn_thread);
        }
        st.vpn_state = VPN_STATE_IDLE;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return 0;
}
