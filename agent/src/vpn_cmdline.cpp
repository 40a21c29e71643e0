#include "vpn_cmdline.h"

#include <optional>

#include "rtu/shell.h"
#include "rtu/split.h"

namespace vpn {
namespace {

// A CR in the portal's arguments separates words too.
constexpr std::string_view kArgBlanks = " \t\n\r";

}  // namespace

bool args_use_placeholder(std::string_view args) {
    return args.find(kTlsAuthPlaceholder) != std::string_view::npos;
}

MarkedText expand_server_args(std::string_view args, std::string_view tls_auth) {
    MarkedText out;
    int percent = 0;
    for (char c : args) {
        if (c == '%') {
            ++percent;
            continue;
        }
        if (percent == 0 || percent == 3) {
            out.text.push_back(c);
            out.inserted.push_back(false);
        } else if (percent == 1) {
            out.text.append(tls_auth);
            out.inserted.insert(out.inserted.end(), tls_auth.size(), true);
            percent = 2;
        }
        // count 2 (inside the name) and 4 or more: dropped
    }
    return out;
}

bool split_words(const MarkedText &in, std::vector<std::string> &words) {
    std::optional<std::vector<std::string>> split =
        rtu::split_shell_words(in.text, kArgBlanks, in.inserted);
    words = split.value_or(std::vector<std::string>{});
    return split.has_value();
}

CmdResult build_openvpn_command(const LaunchInput &in) {
    CmdResult r;
    // Values from the portal and the configuration: plain words unless the
    // shell would interpret them.
    using rtu::shell_word;
    std::string o =
        "--remote " + shell_word(in.host) + " " + shell_word(in.port) + " " + shell_word(in.proto);
    if (in.proxy_enabled) {
        o += " --http-proxy " + shell_word(in.proxy_url) + " " + std::to_string(in.proxy_port);
        if (in.proxy_auth_required)
            o += " " + shell_word(in.proxy_auth_file) + " " + shell_word(in.proxy_auth_method);
    }
    o += " --remote-cert-eku \"TLS Web Server Authentication\"";
    o += " --management-hold";
    o += std::string(" --management ") + kMgmtAddress + " " + std::to_string(in.mgmt_port);
    o += " --pull --tls-client --nobind --float";
    o += std::string(" --log ") + kVpnLogFile;
    o += std::string(" --verb ") + (in.verbose > 0 ? "4" : "3");
    o += std::string(" --dev ") + kTunnelDevice;
    o += " --persist-tun --persist-key --resolv-retry infinite";
    o += " --cert " + shell_word(in.ssl_cert);
    o += " --key " + shell_word(in.ssl_key);
    o += " --ca " + shell_word(in.ca_file);
    if (args_use_placeholder(in.args)) {
        if (!in.has_tls_auth) {
            r.status = CmdStatus::no_tls_auth;
            return r;
        }
        MarkedText ex = expand_server_args(in.args, in.tls_auth);
        r.expanded_args = ex.text;
        if (ex.text.size() > kCommandMax) {
            r.status = CmdStatus::args_too_long;
            r.length = ex.text.size();
            return r;
        }
        std::vector<std::string> words;
        if (!split_words(ex, words)) {
            r.status = CmdStatus::unterminated_quote;
            return r;
        }
        for (const auto &w : words) o += " " + shell_word(w);
    }
    std::string cmd = "openvpn " + o;
    r.length = cmd.size();
    if (cmd.size() > kCommandMax) {
        r.status = CmdStatus::too_long;
        return r;
    }
    r.command = std::move(cmd);
    return r;
}

const char *cmd_status_text(CmdStatus s) {
    switch (s) {
        case CmdStatus::ok:
            return "ok";
        case CmdStatus::no_tls_auth:
            return "no tls-auth file configured";
        case CmdStatus::args_too_long:
            return "server arguments too long";
        case CmdStatus::unterminated_quote:
            return "unterminated quote in server arguments";
        case CmdStatus::too_long:
            return "command too long";
    }
    return "?";
}

}  // namespace vpn
