// Status and marker files of the remote-access agent.
//
// The agent publishes its state in small files under /tmp that the digital
// I/O daemon, scripts and status pages read; the daemon (and the agent
// itself) leave the VPN marker files for the agent's main loop. The numeric
// files hold a number and a line end (rtu::write_number_file), the marker
// files are empty: their existence is the request (rtu::touch_file).
#pragma once

namespace rtu::status {

// Certificate state: 99 test running, 0 certificate present, 1 CA not
// fetched, 2 request not made, 3 enrollment failed.
inline constexpr const char *kCodeStatus = "/tmp/code_status";
// 0 agent up without a connection yet, 2 heartbeat connection up, 1 none.
inline constexpr const char *kHbsStatus = "/tmp/hbs_status";
// The VPN: one of the kVpn* values below.
inline constexpr const char *kVpnStatus = "/tmp/vpn_status";
inline constexpr int kVpnIdle = 0;
inline constexpr int kVpnHold = 1;
inline constexpr int kVpnConnecting = 2;
inline constexpr int kVpnConnected = 3;
inline constexpr int kVpnExiting = 4;

// "ONLINE", "OFFLINE" or "ERROR", and the error keyword of the last failure.
inline constexpr const char *kHbsWord = "/tmp/telvsdk.hbs.status";
inline constexpr const char *kHbsError = "/tmp/telvsdk.errormsg_hbs";
inline constexpr const char *kLastHbs = "/tmp/last_hbs";
inline constexpr const char *kHbsConnTime = "/tmp/hbs_conn_time";
inline constexpr const char *kVpnTraffic = "/tmp/vpn_txrx_packet";
inline constexpr const char *kVpnConnSince = "/tmp/vpn_conn_since";

// Requests to start and to end the VPN.
inline constexpr const char *kVpnConnectMarker = "/tmp/.novra_vpn_conn";
inline constexpr const char *kVpnDisconnectMarker = "/tmp/.novra_vpn_disconn";

}  // namespace rtu::status
