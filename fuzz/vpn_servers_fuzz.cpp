// The portal's VPN server list and network reply, and the openvpn command
// line made from each server entry it leaves.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config.h"
#include "log.h"
#include "push.h"
#include "recorded.h"
#include "state.h"
#include "vpn_cmdline.h"
#include "vpn_internal.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    agent_log_set_path("/dev/null");
    fuzz::record_agent_commands();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    agent_config_reset();
    vpn_servers_clear();
    AgentConfig &c = agent_state().config;
    // The first byte chooses which configuration texts take part.
    if (data[0] & 1) c.tls_auth = "/etc/openvpn/ta key";
    if (data[0] & 2) {
        c.proxy_enabled = 1;
        c.proxy_url = "proxy.example";
        c.proxy_port = 3128;
    }
    if (data[0] & 4) {
        c.proxy_auth_required = 1;
        c.proxy_auth_file = "/tmp/proxy auth";
        c.proxy_auth_method = "basic";
    }
    c.vpn_mgmt_port = 7505;
    c.ssl_cert = "/etc/ssl/cert.pem";
    c.ssl_key = "/etc/ssl/key.pem";
    c.ca_file = "/etc/ssl/ca.pem";

    std::string reply(reinterpret_cast<const char *>(data + 1), size - 1);
    parse_push_network_reply(reply.c_str());
    parse_vpn_server_list(reply.c_str());
    int count = agent_state().vpn_server_count.load();
    if (count < 0 || count > kMaxVpnServers) std::abort();
    for (int i = 0; i < count; ++i) {
        auto entry = vpn_server_get(i);
        if (!entry) continue;
        vpn::CmdResult cmd = vpn::build_openvpn_command(vpn_launch_input(*entry));
        if (cmd.status == vpn::CmdStatus::ok) {
            if (cmd.command.size() > vpn::kCommandMax) std::abort();
            // The command is split into words for execution: it must split.
            vpn::MarkedText whole{cmd.command, std::vector<bool>(cmd.command.size(), false)};
            std::vector<std::string> words;
            if (!vpn::split_words(whole, words) || words.empty() || words[0] != "openvpn")
                std::abort();
        }
    }
    vpn_servers_clear();
    return 0;
}
