// Inside the VPN controller: the two thread bodies and what they share.
#pragma once

#include <optional>
#include <string>

#include "vpn_child.h"
#include "vpn_cmdline.h"

// Body of the OpenVPN thread: runs openvpn for the selected server until it ends.
void openvpn_launch();

// Body of the VPN management thread: drives OpenVPN over its management port.
void vpn_manage();

// Writes the proxy credentials for OpenVPN's --http-proxy: 0, or 1 when the
// file cannot be written.
int write_proxy_auth_file();

// "rm -f <file> >>/var/log/telvsdk-vpn.log 2>&1" for the proxy credentials
// file, the path quoted; nullopt (logged) when it would not fit the command
// buffer.
struct AgentConfig;
std::optional<std::string> proxy_auth_remove_command(const AgentConfig &c);

// The openvpn process of the current VPN.
vpn::ChildProcess &vpn_child();

// The launch input of the configuration and a server entry (for tests too).
struct VpnServerEntry;
vpn::LaunchInput vpn_launch_input(const VpnServerEntry &entry);

// Test hook: make creating the OpenVPN thread (1) or the management thread
// (2) fail once, as when the system has no resources left.
void vpn_test_fail_thread_creation(int which);
