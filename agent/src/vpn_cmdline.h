// The openvpn command line of the agent's tunnel: option string, the
// "%tlsauthfile%" expansion of the portal's server arguments, quoting.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vpn {

// Fixed texts of the tunnel.
inline constexpr const char *kMgmtAddress = "127.0.0.1";
inline constexpr const char *kVpnLogFile = "/var/log/telvsdk-vpn.log";
inline constexpr const char *kTunnelDevice = "tap";
inline constexpr const char *kTlsAuthPlaceholder = "%tlsauthfile%";
// The option string, the expanded arguments and the final command live in
// 1024-byte buffers on the router: at most 1023 characters each.
inline constexpr std::size_t kCommandMax = 1023;

// Everything the command line is made of. Absent configuration texts are
// passed as empty texts (has_tls_auth tells an absent tls-auth path apart).
struct LaunchInput {
    // the selected server entry
    std::string host, port, proto, args;
    // configuration
    bool proxy_enabled = false;
    bool proxy_auth_required = false;
    std::string proxy_url;
    int proxy_port = 0;
    std::string proxy_auth_file, proxy_auth_method;
    int mgmt_port = 0;
    int verbose = 0;
    std::string ssl_cert, ssl_key, ca_file;
    bool has_tls_auth = false;
    std::string tls_auth;
};

enum class CmdStatus {
    ok,
    no_tls_auth,         // arguments use the placeholder, no tls-auth path configured
    args_too_long,       // the expanded arguments exceed 1023 characters
    unterminated_quote,  // the arguments end inside a quoted text
    too_long,            // the whole command exceeds 1023 characters
};

struct CmdResult {
    CmdStatus status = CmdStatus::ok;
    std::string command;        // "openvpn " + options, when status is ok
    std::string expanded_args;  // the expansion as text (for the debug log)
    std::size_t length = 0;     // length the command would have had
};

// A text in which some characters are marked as inserted (the tls-auth path):
// those are taken literally when the text is split into words.
struct MarkedText {
    std::string text;
    std::vector<bool> inserted;
};

bool args_use_placeholder(std::string_view args);

// The first %name% group is replaced by tls_auth; after a third '%' nothing
// more is copied. '%' characters themselves are never copied.
MarkedText expand_server_args(std::string_view args, std::string_view tls_auth);

// Splits expanded arguments into words the way the shell would split a plain
// command line (rtu::split_shell_words; a CR separates words too). Nothing is
// expanded or substituted. Inserted characters are always literal. Returns
// false, with no words, on an unterminated quote.
bool split_words(const MarkedText &in, std::vector<std::string> &words);

CmdResult build_openvpn_command(const LaunchInput &in);

const char *cmd_status_text(CmdStatus s);

}  // namespace vpn
