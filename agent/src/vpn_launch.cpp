// The OpenVPN thread: builds the command line for the selected server and
// runs openvpn in the foreground until it ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "command.h"
#include "log.h"
#include "rtu/handles.h"
#include "rtu/shell.h"
#include "rtu/streams.h"
#include "state.h"
#include "vpn_internal.h"

namespace {

std::string text_of(const std::optional<std::string> &v) {
    return v ? *v : std::string();
}

// Ends the thread the way every path of it ends: the VPN goes to EXITING,
// the flag that tells the thread is running is cleared one second later.
void launch_done(AgentState &st) {
    st.vpn_state = VPN_STATE_EXITING;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    st.vpn_thread_active = false;
}

}  // namespace

vpn::ChildProcess &vpn_child() {
    static vpn::ChildProcess child;
    return child;
}

int write_proxy_auth_file() {
    const AgentConfig &c = agent_state().config;
    const char *path = cfg_text(c.proxy_auth_file);
    // The file holds a password: readable by its owner only.
    rtu::Fd fd(c.proxy_auth_file ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600) : -1);
    rtu::FilePtr f(fd ? fdopen(fd.get(), "w") : nullptr);
    if (!f) {
        agent_logf(LOG_VPN_ERROR, "Can't write PROXY_AUTH file %s", path);
        return 1;
    }
    fd.release();  // the stream closes it
    fchmod(fileno(f.get()), 0600);
    rtu::put(f.get(), "%s\n", cfg_text(c.proxy_user));
    rtu::put(f.get(), "%s\n", cfg_text(c.proxy_pass));
    if (!rtu::close_file(std::move(f))) {
        agent_logf(LOG_VPN_ERROR, "Can't write PROXY_AUTH file %s", path);
        return 1;
    }
    return 0;
}

std::optional<std::string> proxy_auth_remove_command(const AgentConfig &c) {
    return agent_command("rm -f %s >>%s 2>&1", agent_word(c.proxy_auth_file).c_str(),
                         vpn::kVpnLogFile);
}

vpn::LaunchInput vpn_launch_input(const VpnServerEntry &e) {
    const AgentConfig &c = agent_state().config;
    vpn::LaunchInput in;
    in.host = e.host;
    in.port = e.port;
    in.proto = e.proto;
    in.args = e.args;
    in.proxy_enabled = c.proxy_enabled == 1;
    in.proxy_auth_required = c.proxy_auth_required == 1;
    in.proxy_url = text_of(c.proxy_url);
    in.proxy_port = c.proxy_port;
    in.proxy_auth_file = text_of(c.proxy_auth_file);
    in.proxy_auth_method = text_of(c.proxy_auth_method);
    in.mgmt_port = c.vpn_mgmt_port;
    in.verbose = c.verbose;
    in.ssl_cert = text_of(c.ssl_cert);
    in.ssl_key = text_of(c.ssl_key);
    in.ca_file = text_of(c.ca_file);
    in.has_tls_auth = c.tls_auth.has_value() && !c.tls_auth->empty();
    in.tls_auth = text_of(c.tls_auth);
    return in;
}

void openvpn_launch() {
    AgentState &st = agent_state();
    if (st.config.proxy_auth_required != 0) write_proxy_auth_file();

    int index = st.vpn_server_index.load();
    std::optional<VpnServerEntry> entry = vpn_server_get(index);
    if (!entry) {
        agent_log(LOG_ERROR, "Error executing openvpn - no valid vpn_serverlist available!");
        st.vpn_exit_reason = 2;
        launch_done(st);
        return;
    }
    agent_logf(LOG_VPN, "using vpn server #%d %s %s %s %s %s", index + 1, entry->name, entry->host,
               entry->ip, entry->port, entry->proto);

    vpn::CmdResult cmd = build_openvpn_command(vpn_launch_input(*entry));
    if (!cmd.expanded_args.empty())
        agent_logf(LOG_DEBUG, "Connection args : %s", cmd.expanded_args.c_str());
    if (cmd.status != vpn::CmdStatus::ok) {
        // Nothing is run cut short or with an empty tls-auth path.
        if (cmd.status == vpn::CmdStatus::no_tls_auth)
            agent_log(LOG_VPN_ERROR,
                      "Error executing openvpn - server arguments need a tls-auth file, "
                      "but TELVSDK_CFG_TLSAUTH is not configured!");
        else if (cmd.status == vpn::CmdStatus::too_long ||
                 cmd.status == vpn::CmdStatus::args_too_long)
            agent_logf(LOG_VPN_ERROR,
                       "Error executing openvpn - command of %d characters is longer than %d!",
                       static_cast<int>(cmd.length), static_cast<int>(vpn::kCommandMax));
        else
            agent_logf(LOG_VPN_ERROR, "Error executing openvpn - %s!",
                       vpn::cmd_status_text(cmd.status));
        st.vpn_exit_reason = 2;
        launch_done(st);
        return;
    }

    agent_log(LOG_INFO, cmd.command);
    // A shell that cannot be started at all is a failure too, not a normal end.
    // The shell replaces itself by openvpn, which so ends with this thread
    // (also when the agent is killed).
    int status = vpn_child().start("exec " + cmd.command) ? vpn_child().wait() : 1;
    if (status > 0) {
        agent_log(LOG_ERROR, "Error executing openvpn.");
        st.vpn_exit_reason = 2;
    }
    launch_done(st);
}
