// Portal push requests: the VPN server list and the local networks.
#pragma once

#include <curl/curl.h>

#include <string>

inline constexpr const char *kServerListBody =
    "[{\"action\":\"call\",\"function\":\"get_vpn_client_server\"}]";

int push_get_vpn_servers();  // 0, or 14
// The script that tells the LAN network and mask (first output line).
inline constexpr const char *kPushNetworkScript = "/usr/bin/get_push_network.sh";

int push_networks();  // 0; 14, 1 or 18 on failure

// Posts the raw-deflated body on the handle; 0 with the decompressed reply
// in reply_out, -1 on any failure.
int push_send(CURL *handle, const std::string &body, std::string *reply_out);

int parse_vpn_server_list(const char *reply);     // 0 or 16
int parse_push_network_reply(const char *reply);  // 0 or 16

// The networks body from networks 0..9: 0, or 18 when an address or mask is
// not a dotted quad (nothing is built then).
int build_networks_body(std::string &body);

int is_dotted_quad(const char *text);
int is_decimal_digits(const char *text);
