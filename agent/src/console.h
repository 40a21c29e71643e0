// The live status line on standard output and the VPN marker files.
#pragma once

#include <cstdint>

inline constexpr const char *kConsoleHeader =
    "counter hbs_state      vpn_state             vpn_server hbs_server_delay hbs_client_delay   "
    "vpn-tx   vpn-rx frm-update\n";

void console_status_line(int counter);
int console_traffic_line(int vpn_state, std::int64_t bytes_in, std::int64_t bytes_out,
                         std::int64_t deadline);
void console_poll_vpn_markers();
