#include "state.h"

const char *cfg_text(const std::optional<std::string> &v) {
    return v ? v->c_str() : "(null)";
}

AgentState &agent_state() {
    static AgentState *s = new AgentState;
    return *s;
}

std::optional<VpnServerEntry> vpn_server_get(int index) {
    AgentState &st = agent_state();
    std::lock_guard<std::mutex> lock(st.vpn_servers_lock);
    if (index < 0 || index >= st.vpn_server_count.load() || index >= kMaxVpnServers ||
        !st.vpn_servers[static_cast<std::size_t>(index)])
        return std::nullopt;
    return *st.vpn_servers[static_cast<std::size_t>(index)];
}

void vpn_servers_replace(std::vector<std::unique_ptr<VpnServerEntry>> entries) {
    AgentState &st = agent_state();
    std::array<std::unique_ptr<VpnServerEntry>, kMaxVpnServers> old;
    {
        std::lock_guard<std::mutex> lock(st.vpn_servers_lock);
        old.swap(st.vpn_servers);
        std::size_t n = 0;
        for (auto &e : entries) {
            if (n >= st.vpn_servers.size()) break;
            st.vpn_servers[n++] = std::move(e);
        }
        st.vpn_server_count = static_cast<int>(n);
    }
    // old entries are freed here, outside the lock
}

void vpn_servers_clear() {
    vpn_servers_replace({});
}
