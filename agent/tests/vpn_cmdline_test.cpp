// The openvpn command line: option order, proxy variants, the tls-auth
// placeholder and the quoting of everything the portal or the file supplies.
#include "vpn_cmdline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// What /bin/sh makes of a command line: its words, one per line.
std::vector<std::string> shell_words(const std::string &cmd) {
    std::string script = "set -- " + cmd.substr(std::string("openvpn ").size()) +
                         "; for w in \"$@\"; do printf '%s\\001' \"$w\"; done";
    std::string quoted = "'";
    for (char c : script) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    FILE *p = popen(("/bin/sh -c " + quoted).c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    std::vector<std::string> words;
    std::string cur;
    for (char c : out) {
        if (c == '\001') {
            words.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    return words;
}

const std::vector<std::string> kFixedTail = {"--remote-cert-eku",
                                             "TLS Web Server Authentication",
                                             "--management-hold",
                                             "--management",
                                             "127.0.0.1",
                                             "7505",
                                             "--pull",
                                             "--tls-client",
                                             "--nobind",
                                             "--float",
                                             "--log",
                                             "/var/log/telvsdk-vpn.log",
                                             "--verb",
                                             "3",
                                             "--dev",
                                             "tap",
                                             "--persist-tun",
                                             "--persist-key",
                                             "--resolv-retry",
                                             "infinite",
                                             "--cert",
                                             "/etc/telvsdk/client.crt",
                                             "--key",
                                             "/etc/telvsdk/client.key",
                                             "--ca",
                                             "/etc/telvsdk/ca.crt"};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(VpnCommandLine, PlainServerGivesTheFixedOptionsInOrder) {
    auto r = vpn::build_openvpn_command(sample_launch_input());
    ASSERT_EQ(r.status, vpn::CmdStatus::ok);
    EXPECT_EQ(r.command.rfind("openvpn --remote ", 0), 0u);
    EXPECT_EQ(shell_words(r.command),
              join({"--remote", "vpn.example.net", "1194", "tcp-client"}, kFixedTail));
    // the quotes of the EKU text are part of the command text itself
    EXPECT_NE(r.command.find("--remote-cert-eku \"TLS Web Server Authentication\""),
              std::string::npos);
}

TEST(VpnCommandLine, VerbosityFollowsTheVerboseFlag) {
    auto in = sample_launch_input();
    in.verbose = 1;
    auto words = shell_words(vpn::build_openvpn_command(in).command);
    auto it = std::find(words.begin(), words.end(), "--verb");
    ASSERT_NE(it, words.end());
    EXPECT_EQ(*(it + 1), "4");
    in.verbose = 0;
    words = shell_words(vpn::build_openvpn_command(in).command);
    EXPECT_EQ(*(std::find(words.begin(), words.end(), "--verb") + 1), "3");
}

TEST(VpnCommandLine, ProxyWithoutAuthenticationHasTwoValues) {
    auto in = sample_launch_input();
    in.proxy_enabled = true;
    in.proxy_url = "proxy.lan";
    in.proxy_port = 3128;
    in.proxy_auth_file = "/tmp/proxy.auth";
    in.proxy_auth_method = "basic";
    auto words = shell_words(vpn::build_openvpn_command(in).command);
    EXPECT_EQ(words, join({"--remote", "vpn.example.net", "1194", "tcp-client", "--http-proxy",
                           "proxy.lan", "3128"},
                          kFixedTail));
}

TEST(VpnCommandLine, ProxyWithAuthenticationHasFourValues) {
    auto in = sample_launch_input();
    in.proxy_enabled = true;
    in.proxy_auth_required = true;
    in.proxy_url = "proxy.lan";
    in.proxy_port = 3128;
    in.proxy_auth_file = "/tmp/proxy.auth";
    in.proxy_auth_method = "basic";
    auto words = shell_words(vpn::build_openvpn_command(in).command);
    EXPECT_EQ(words, join({"--remote", "vpn.example.net", "1194", "tcp-client", "--http-proxy",
                           "proxy.lan", "3128", "/tmp/proxy.auth", "basic"},
                          kFixedTail));
}

TEST(VpnCommandLine, AuthenticationWithoutProxyAddsNoProxyOption) {
    auto in = sample_launch_input();
    in.proxy_auth_required = true;
    in.proxy_auth_file = "/tmp/proxy.auth";
    auto cmd = vpn::build_openvpn_command(in).command;
    EXPECT_EQ(cmd.find("--http-proxy"), std::string::npos);
}

TEST(VpnCommandLine, ArgumentsWithoutPlaceholderAreNotUsed) {
    auto in = sample_launch_input();
    in.args = "--cipher AES-256-GCM --tls-auth /x 1";
    auto r = vpn::build_openvpn_command(in);
    ASSERT_EQ(r.status, vpn::CmdStatus::ok);
    EXPECT_EQ(shell_words(r.command).back(), "/etc/telvsdk/ca.crt");
    in.args = " ";
    EXPECT_EQ(shell_words(vpn::build_openvpn_command(in).command).back(), "/etc/telvsdk/ca.crt");
}

TEST(VpnCommandLine, PlaceholderIsReplacedByTheTlsAuthPath) {
    auto in = sample_launch_input();
    in.args = "--tls-auth %tlsauthfile% 1";
    auto r = vpn::build_openvpn_command(in);
    ASSERT_EQ(r.status, vpn::CmdStatus::ok);
    EXPECT_EQ(r.expanded_args, "--tls-auth /etc/telvsdk/ta.key 1");
    auto words = shell_words(r.command);
    ASSERT_GE(words.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(words.end() - 3, words.end()),
              (std::vector<std::string>{"--tls-auth", "/etc/telvsdk/ta.key", "1"}));
}

TEST(VpnCommandLine, PortalTextsCannotChangeTheShellCommand) {
    auto in = sample_launch_input();
    in.host = "h;touch /tmp/pwned";
    in.port = "1194$(id)";
    in.proto = "tcp-client`id`";
    in.args = "--tls-auth %tlsauthfile% 1; rm -rf / ; echo $HOME | cat > x 'a b' \"c $d\"";
    in.ssl_cert = "/etc/it's here.crt";
    in.tls_auth = "/etc/ta key;$(reboot)";
    auto r = vpn::build_openvpn_command(in);
    ASSERT_EQ(r.status, vpn::CmdStatus::ok);
    auto words = shell_words(r.command);
    ASSERT_GE(words.size(), 4u);
    EXPECT_EQ(words[1], "h;touch /tmp/pwned");
    EXPECT_EQ(words[2], "1194$(id)");
    EXPECT_EQ(words[3], "tcp-client`id`");
    EXPECT_NE(std::find(words.begin(), words.end(), "/etc/it's here.crt"), words.end());
    ASSERT_GE(words.size(), 15u);
    std::vector<std::string> tail(words.end() - 15, words.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"--tls-auth", "/etc/ta key;$(reboot)", "1;", "rm",
                                              "-rf", "/", ";", "echo", "$HOME", "|", "cat", ">",
                                              "x", "a b", "c $d"}))
        << r.command;
}

TEST(VpnCommandLine, QuotedServerArgumentsKeepTheirWords) {
    auto in = sample_launch_input();
    in.args = "--tls-auth %tlsauthfile% 1 --setenv 'A B' \"c \\\"d\\\"\" e\\ f";
    auto words = shell_words(vpn::build_openvpn_command(in).command);
    std::vector<std::string> tail(words.end() - 7, words.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"--tls-auth", "/etc/telvsdk/ta.key", "1", "--setenv",
                                              "A B", "c \"d\"", "e f"}));
}

TEST(VpnCommandLine, UnterminatedQuoteIsRefused) {
    auto in = sample_launch_input();
    in.args = "--tls-auth %tlsauthfile% 1 'open";
    EXPECT_EQ(vpn::build_openvpn_command(in).status, vpn::CmdStatus::unterminated_quote);
}

TEST(VpnCommandLine, MissingTlsAuthWithPlaceholderIsRefused) {
    auto in = sample_launch_input();
    in.has_tls_auth = false;
    in.tls_auth.clear();
    in.args = "--tls-auth %tlsauthfile% 1";
    EXPECT_EQ(vpn::build_openvpn_command(in).status, vpn::CmdStatus::no_tls_auth);
    in.args = "--tls-auth /fixed 1";  // no placeholder: tls-auth not needed
    EXPECT_EQ(vpn::build_openvpn_command(in).status, vpn::CmdStatus::ok);
}

TEST(VpnCommandLine, CommandOverTheLimitIsRefusedNotCut) {
    auto in = sample_launch_input();
    in.args = "%tlsauthfile% ";
    // find the longest path that still fits, then one more character
    auto fits = [&](size_t n) {
        in.tls_auth = std::string(n, 'a');
        return vpn::build_openvpn_command(in);
    };
    size_t n = 1;
    while (fits(n).status == vpn::CmdStatus::ok) ++n;
    EXPECT_EQ(fits(n).status, vpn::CmdStatus::too_long);
    EXPECT_EQ(fits(n).length, 1024u);
    EXPECT_EQ(fits(n - 1).command.size(), 1023u);
    EXPECT_TRUE(fits(n).command.empty());
}

TEST(VpnCommandLine, ExpandedArgumentsOverTheLimitAreRefused) {
    auto in = sample_launch_input();
    in.args = "%tlsauthfile%" + std::string(1100, 'x');
    EXPECT_EQ(vpn::build_openvpn_command(in).status, vpn::CmdStatus::args_too_long);
}

struct ExpandCase {
    const char *args, *tls, *expected;
};

class VpnExpansion : public ::testing::TestWithParam<ExpandCase> {};

TEST_P(VpnExpansion, CountsPercentSigns) {
    const auto &c = GetParam();
    auto m = vpn::expand_server_args(c.args, c.tls);
    EXPECT_EQ(m.text, c.expected);
    ASSERT_EQ(m.inserted.size(), m.text.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VpnExpansion,
    ::testing::Values(ExpandCase{"--tls-auth %tlsauthfile% 1", "/etc/telvsdk/ta.key",
                                 "--tls-auth /etc/telvsdk/ta.key 1"},
                      // any name between the first two signs is replaced
                      ExpandCase{"a %other% b %tlsauthfile% c", "/k", "a /k b "},
                      // text before the first and after the second sign is kept
                      ExpandCase{"pre%tlsauthfile%post", "/k", "pre/kpost"},
                      // after a third sign nothing more is copied
                      ExpandCase{"x %tlsauthfile% y % z", "/k", "x /k y "},
                      // two signs in a row: no character after the first, the path never comes
                      ExpandCase{"a %%b %tlsauthfile%", "/k", "a tlsauthfile"},
                      ExpandCase{"%tlsauthfile%", "", ""}));

TEST(VpnExpansion, InsertedCharactersAreMarked) {
    auto m = vpn::expand_server_args("-x %tlsauthfile% 1", "a b");
    ASSERT_EQ(m.text, "-x a b 1");
    std::vector<bool> want = {false, false, false, true, true, true, false, false};
    EXPECT_EQ(m.inserted, want);
    std::vector<std::string> words;
    ASSERT_TRUE(vpn::split_words(m, words));
    EXPECT_EQ(words, (std::vector<std::string>{"-x", "a b", "1"}));
}

}  // namespace
