// Shell injection: every value the portal or the configuration file hands
// the agent's command builders is run through the real /bin/sh with the
// shared payload table; the tool (a recorder in its place) must get it as one
// whole word and the canary must stay absent. Values the agent checks
// (routes) must be refused with their logged error instead.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cert.h"
#include "config.h"
#include "dispatch.h"
#include "push.h"
#include "rt_test/payloads.h"
#include "scep.h"
#include "state.h"
#include "test_util.h"
#include "vpn_cmdline.h"
#include "vpn_internal.h"

namespace {

using rt_test::Payload;
using rt_test::Scratch;
using rt_test::shown;

// The word after `flag` in a call, or "<none>".
std::string after(const std::vector<std::string> &args, const std::string &flag) {
    auto it = std::find(args.begin(), args.end(), flag);
    if (it == args.end() || it + 1 == args.end()) return "<none>";
    return *(it + 1);
}

TEST(VpnInjection, ServerEntryAndConfigurationValuesReachOpenvpnWhole) {
    // Two commands per payload (all of them in one would outgrow the buffer):
    // the server entry's host, port and protocol with the proxy settings,
    // then the certificate and tls-auth paths; each value whole in its place.
    Scratch s("vpn");
    for (const Payload &p : rt_test::payloads(s.canary())) {
        const std::string &v = p.text;
        vpn::LaunchInput entry = sample_launch_input();
        entry.host = entry.port = entry.proto = v;
        entry.proxy_enabled = entry.proxy_auth_required = true;
        entry.proxy_port = 3128;
        entry.proxy_url = entry.proxy_auth_file = entry.proxy_auth_method = v;
        vpn::LaunchInput files = sample_launch_input();
        files.ssl_cert = files.ssl_key = files.ca_file = v;
        files.args = "--tls-auth %tlsauthfile% 1";
        files.tls_auth = v;
        for (int which = 0; which < 2; ++which) {
            const vpn::LaunchInput &in = which == 0 ? entry : files;
            auto r = vpn::build_openvpn_command(in);
            ASSERT_EQ(r.status, vpn::CmdStatus::ok) << p.name;
            bool form = false;
            auto run = s.run(r.command, "openvpn", "", form);
            ASSERT_TRUE(form) << r.command;
            EXPECT_FALSE(s.canary_ran()) << "[" << p.name << "]: " << shown(r.command);
            ASSERT_EQ(run.calls.size(), 1u) << "[" << p.name << "]: " << shown(r.command);
            const auto &a = run.calls[0];
            ASSERT_GE(a.size(), 9u) << p.name;
            if (which == 0) {
                EXPECT_EQ(std::vector<std::string>(a.begin(), a.begin() + 9),
                          (std::vector<std::string>{"--remote", v, v, v, "--http-proxy", v, "3128",
                                                    v, v}))
                    << "[" << p.name << "]";
            } else {
                for (const char *flag : {"--cert", "--key", "--ca", "--tls-auth"})
                    EXPECT_EQ(after(a, flag), v) << flag << " [" << p.name << "]";
            }
        }
    }
}

TEST(VpnInjection, ServerArgumentsGiveTheirOwnWordsOrAreRefused) {
    // The portal's server arguments are split into words on purpose; what the
    // shell passes on must be exactly those words, nothing run, nothing expanded.
    Scratch s("vpnargs");
    int refused = 0;
    for (const Payload &p : rt_test::payloads(s.canary())) {
        vpn::LaunchInput in = sample_launch_input();
        in.args = "--tls-auth %tlsauthfile% 1 --setenv X " + p.text;
        auto r = vpn::build_openvpn_command(in);
        if (r.status == vpn::CmdStatus::unterminated_quote) {
            ++refused;
            continue;
        }
        ASSERT_EQ(r.status, vpn::CmdStatus::ok) << p.name;
        std::vector<std::string> words;
        ASSERT_TRUE(vpn::split_words(vpn::expand_server_args(in.args, in.tls_auth), words));
        bool form = false;
        auto run = s.run(r.command, "openvpn", "", form);
        EXPECT_FALSE(s.canary_ran()) << "[" << p.name << "]: " << shown(r.command);
        ASSERT_EQ(run.calls.size(), 1u) << "[" << p.name << "]: " << shown(r.command);
        const auto &args = run.calls[0];
        ASSERT_GE(args.size(), words.size());
        EXPECT_EQ(
            std::vector<std::string>(args.end() - static_cast<long>(words.size()), args.end()),
            words)
            << "[" << p.name << "]";
    }
    // The quote-breaking payloads leave a quote open: refused, not guessed at.
    EXPECT_GT(refused, 0);
}

class ScepInjection : public ::testing::Test {
  protected:
    void SetUp() override {
        agent_config_reset();
        AgentConfig &c = agent_state().config;
        sample_scep_config(c);
        c.proxy_enabled = 1;
        c.proxy_url = "proxy.local";
        c.proxy_port = 3128;
        c.proxy_auth_required = 1;
        c.proxy_user = "dev";
        c.proxy_pass = "secret";
    }
    void TearDown() override { agent_config_reset(); }
    LogCapture log_{"scep_injection"};
};

TEST_F(ScepInjection, ConfigurationValuesReachSscepAndOpensslWhole) {
    // Every text value of the SCEP and proxy configuration holds the payload
    // at once; each must show whole after its own option.
    Scratch s("scep");
    const std::string tail = std::string(">>") + kScepLogPath + " 2>&1";
    for (const Payload &p : rt_test::payloads(s.canary())) {
        SetUp();
        AgentConfig &c = agent_state().config;
        for (auto member :
             {&AgentConfig::scep_server_url, &AgentConfig::scep_ca, &AgentConfig::ssl_key,
              &AgentConfig::ssl_cert, &AgentConfig::scep_req, &AgentConfig::scep_cnf,
              &AgentConfig::proxy_url, &AgentConfig::proxy_user, &AgentConfig::proxy_pass})
            c.*member = p.text;
        const std::string &v = p.text;
        struct Built {
            const char *what;
            std::optional<std::string> cmd;
            const char *program;
            std::vector<std::pair<std::string, std::string>> want;  // option, value after it
        };
        const std::vector<std::pair<std::string, std::string>> proxy = {
            {"-q", v}, {"-y", v}, {"-z", v}};
        auto with_proxy = [&](std::vector<std::pair<std::string, std::string>> w) {
            w.insert(w.end(), proxy.begin(), proxy.end());
            return w;
        };
        const std::vector<Built> built = {
            {"getca", scep_getca_command(c), "/usr/bin/sscep", with_proxy({{"-u", v}, {"-c", v}})},
            {"enroll", scep_enroll_command(c, ScepCaForm::single), "/usr/bin/sscep",
             with_proxy({{"-u", v}, {"-c", v}, {"-k", v}, {"-r", v}, {"-l", v}})},
            {"enroll numbered", scep_enroll_command(c, ScepCaForm::numbered), "/usr/bin/sscep",
             with_proxy(
                 {{"-u", v}, {"-c", v + "-0"}, {"-e", v + "-1"}, {"-k", v}, {"-r", v}, {"-l", v}})},
            {"req",
             scep_request_command(c),
             "openssl",
             {{"-config", v}, {"-keyout", v}, {"-out", v}}},
        };
        for (const Built &b : built) {
            ASSERT_TRUE(b.cmd.has_value()) << b.what << " [" << p.name << "]";
            bool form = false;
            auto run = s.run(*b.cmd, b.program, tail, form);
            ASSERT_TRUE(form) << *b.cmd;
            EXPECT_FALSE(s.canary_ran()) << b.what << " [" << p.name << "]: " << shown(*b.cmd);
            ASSERT_EQ(run.calls.size(), 1u) << b.what << " [" << p.name << "]: " << shown(*b.cmd);
            for (const auto &[flag, value] : b.want)
                EXPECT_EQ(after(run.calls[0], flag), value)
                    << b.what << " " << flag << " [" << p.name << "]";
        }
    }
}

// ---- portal commands ---------------------------------------------------------

std::string rpc_result(const std::string &answer) {
    JsonPtr root(json_tokener_parse(answer.c_str()));
    if (!root || !json_object_is_type(root.get(), json_type_array)) return "";
    json_object *res = nullptr;
    if (!json_object_object_get_ex(json_object_array_get_idx(root.get(), 0), "result", &res))
        return "";
    JsonPtr inner(json_tokener_parse(json_object_get_string(res)));
    json_object *r = nullptr;
    if (!inner ||
        !json_object_object_get_ex(json_object_array_get_idx(inner.get(), 0), "result", &r))
        return "";
    return json_object_get_string(r);
}

// A heartbeat reply carrying one JSON-RPC request built with json-c, so that
// every payload character arrives as it is.
std::string reply_with(const char *method,
                       const std::vector<std::pair<std::string, std::string>> &params) {
    JsonPtr req(json_object_new_object());
    json_object_object_add(req.get(), "method", json_object_new_string(method));
    json_object *p = json_object_new_object();
    for (const auto &[k, v] : params)
        json_object_object_add(p, k.c_str(),
                               json_object_new_string_len(v.data(), static_cast<int>(v.size())));
    json_object_object_add(req.get(), "params", p);
    JsonPtr arr(json_object_new_array());
    json_object_array_add(arr.get(), json_object_get(req.get()));
    JsonPtr el(json_object_new_object());
    json_object_object_add(el.get(), "key", json_object_new_string("jsonrpc"));
    json_object_object_add(el.get(), "action", json_object_new_string("call"));
    json_object_object_add(
        el.get(), "val1",
        json_object_new_string(json_object_to_json_string_ext(arr.get(), JSON_C_TO_STRING_PLAIN)));
    return std::string("[") + json_object_to_json_string_ext(el.get(), JSON_C_TO_STRING_PLAIN) +
           "]";
}

class PortalInjection : public ::testing::Test {
  protected:
    void SetUp() override {
        AgentState &st = agent_state();
        st.config = AgentConfig{};
        st.config.portal_action = 1;
        vpn_servers_clear();
    }
    void TearDown() override { SetUp(); }
    LogCapture log_{"portal_injection"};
};

TEST_F(PortalInjection, RouteParametersThatAreNotDottedQuadsAreRefusedAndLogged) {
    Scratch s("route");
    const char *names[] = {"network", "subnet", "gateway"};
    for (const Payload &p : rt_test::payloads(s.canary())) {
        for (int field = 0; field < 3; ++field) {
            // The payload alone, and behind a valid address.
            for (const std::string &value : {p.text, "10.8.0.1" + p.text}) {
                std::vector<std::pair<std::string, std::string>> params = {
                    {"network", "10.8.0.0"}, {"subnet", "255.255.0.0"}, {"gateway", "10.8.0.1"}};
                params[field].second = value;
                std::remove(log_.path().c_str());
                std::string answer;
                hbs_reply_parse(reply_with("addroute", params).c_str(), answer);
                EXPECT_EQ(rpc_result(answer), "0") << names[field] << " [" << p.name << "]";
                std::string log = log_.text();
                EXPECT_NE(log.find("ERROR      Error adding route."), std::string::npos)
                    << names[field] << " [" << p.name << "]";
                EXPECT_EQ(log.find("route add"), std::string::npos)
                    << names[field] << " [" << p.name << "]";
                EXPECT_FALSE(s.canary_ran()) << names[field] << " [" << p.name << "]";
            }
        }
    }
}

TEST_F(PortalInjection, UpdatePathIsOnlyLoggedAsItCame) {
    Scratch s("update");
    for (const Payload &p : rt_test::payloads(s.canary())) {
        std::remove(log_.path().c_str());
        std::string answer;
        hbs_reply_parse(reply_with("doupdate", {{"updatePath", p.text}}).c_str(), answer);
        EXPECT_EQ(rpc_result(answer), "1") << "[" << p.name << "]";
        EXPECT_NE(log_.text().find("updatepath : " + p.text), std::string::npos)
            << "[" << p.name << "]";
        EXPECT_FALSE(s.canary_ran()) << "[" << p.name << "]";
    }
}

}  // namespace

// ---- the roads from the portal reply and the configuration file -------------

namespace {

// The agent's configuration with everything the VPN command needs.
void vpn_config() {
    agent_config_reset();
    AgentConfig &c = agent_state().config;
    c.ssl_cert = "/etc/telvsdk/client.crt";
    c.ssl_key = "/etc/telvsdk/client.key";
    c.ca_file = "/etc/telvsdk/ca.crt";
    c.tls_auth = "/etc/telvsdk/ta.key";
    c.vpn_mgmt_port = 7505;
}

std::string server_list_reply(const std::string &value) {
    JsonPtr e(json_object_new_object());
    json_object_object_add(e.get(), "name", json_object_new_string("n"));
    for (const char *k : {"host", "port", "proto"})
        json_object_object_add(
            e.get(), k, json_object_new_string_len(value.data(), static_cast<int>(value.size())));
    JsonPtr list(json_object_new_array());
    json_object_array_add(list.get(), json_object_get(e.get()));
    JsonPtr first(json_object_new_object());
    json_object_object_add(first.get(), "get_vpn_client_server", json_object_get(list.get()));
    JsonPtr root(json_object_new_array());
    json_object_array_add(root.get(), json_object_get(first.get()));
    return json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PLAIN);
}

}  // namespace

TEST(PortalServerList, ValuesOfTheReplyReachOpenvpnWhole) {
    Scratch s("serverlist");
    LogCapture log("serverlist");
    for (const Payload &p : rt_test::payloads(s.canary())) {
        vpn_config();
        vpn_servers_clear();
        ASSERT_EQ(parse_vpn_server_list(server_list_reply(p.text).c_str()), 0) << p.name;
        auto entry = vpn_server_get(0);
        ASSERT_TRUE(entry) << p.name;
        auto r = vpn::build_openvpn_command(vpn_launch_input(*entry));
        ASSERT_EQ(r.status, vpn::CmdStatus::ok) << p.name;
        bool form = false;
        auto run = s.run(r.command, "openvpn", "", form);
        ASSERT_TRUE(form);
        EXPECT_FALSE(s.canary_ran()) << "[" << p.name << "]: " << shown(r.command);
        ASSERT_EQ(run.calls.size(), 1u) << "[" << p.name << "]: " << shown(r.command);
        EXPECT_EQ(std::vector<std::string>(run.calls[0].begin(), run.calls[0].begin() + 4),
                  (std::vector<std::string>{"--remote", p.text, p.text, p.text}))
            << "[" << p.name << "]";
    }
    vpn_servers_clear();
    agent_config_reset();
}

TEST(ConfigFileInjection, ValuesReadFromTheFileReachTheCommandsWhole) {
    // A file line ends at its line end; the value is what follows the blanks
    // after the key.
    Scratch s("configfile");
    LogCapture log("configfile");
    const std::string tail = std::string(">>") + kScepLogPath + " 2>&1";
    const std::string file = s.dir() + "/telvsdk.cnf";
    for (const Payload &p : rt_test::payloads(s.canary(), "\r\n")) {
        {
            std::ofstream f(file, std::ios::trunc);
            for (const char *key :
                 {"TELVSDK_CFG_CA", "TELVSDK_CFG_SSLCERT", "TELVSDK_CFG_SSLKEY",
                  "TELVSDK_CFG_TLSAUTH", "TELVSDK_CFG_PROXY_URL", "TELVSDK_CFG_PROXY_USER",
                  "TELVSDK_CFG_PROXY_PASS", "TELVSDK_CFG_PROXY_AUTHMETHOD",
                  "TELVSDK_CFG_PROXY_AUTH_FILE", "TELVSDK_CFG_SCEP_SERVER_URL",
                  "TELVSDK_CFG_SCEP_CA", "TELVSDK_CFG_SCEP_CNF", "TELVSDK_CFG_SCEP_REQ"})
                f << key << " " << p.text << "\n";
            f << "TELVSDK_CFG_PROXY_ENABLED 1\nTELVSDK_CFG_PROXY_AUTH_REQUIRED 1\n"
                 "TELVSDK_CFG_PROXY_PORT 3128\nTELVSDK_VPN_LOCAL_MGM_PORT 7505\n";
        }
        agent_config_reset();
        ASSERT_EQ(read_agent_config_file(file), 0);
        const AgentConfig &c = agent_state().config;
        ASSERT_TRUE(c.ssl_cert.has_value()) << p.name;
        const std::string v = *c.ssl_cert;  // the value as the file gave it
        EXPECT_EQ(v, p.text.substr(p.text.find_first_not_of(" \t"))) << p.name;

        auto r = vpn::build_openvpn_command(vpn_launch_input(VpnServerEntry{}));
        ASSERT_EQ(r.status, vpn::CmdStatus::ok) << p.name;
        bool form = false;
        auto run = s.run(r.command, "openvpn", "", form);
        EXPECT_FALSE(s.canary_ran()) << "openvpn [" << p.name << "]: " << shown(r.command);
        ASSERT_EQ(run.calls.size(), 1u) << "[" << p.name << "]: " << shown(r.command);
        for (const char *flag : {"--cert", "--key", "--ca", "--http-proxy"})
            EXPECT_EQ(after(run.calls[0], flag), v) << flag << " [" << p.name << "]";

        for (const auto &cmd :
             {scep_getca_command(c), scep_enroll_command(c, ScepCaForm::single)}) {
            ASSERT_TRUE(cmd.has_value()) << p.name;
            auto sc = s.run(*cmd, "/usr/bin/sscep", tail, form);
            ASSERT_TRUE(form) << *cmd;
            EXPECT_FALSE(s.canary_ran()) << "sscep [" << p.name << "]: " << shown(*cmd);
            ASSERT_EQ(sc.calls.size(), 1u) << "[" << p.name << "]: " << shown(*cmd);
            for (const char *flag : {"-u", "-c", "-q", "-y", "-z"})
                EXPECT_EQ(after(sc.calls[0], flag), v) << flag << " [" << p.name << "]";
        }
        auto req = scep_request_command(c);
        ASSERT_TRUE(req.has_value());
        auto rc = s.run(*req, "openssl", tail, form);
        EXPECT_FALSE(s.canary_ran()) << "openssl [" << p.name << "]: " << shown(*req);
        ASSERT_EQ(rc.calls.size(), 1u) << "[" << p.name << "]: " << shown(*req);
        EXPECT_EQ(after(rc.calls[0], "-config"), v) << p.name;
    }
    agent_config_reset();
}

TEST(CertificateCheck, CertificatePathReachesOpensslWhole) {
    // The path names an existing file that is no certificate: openssl reads
    // it, finds no CommonName, the check answers 20 and nothing else runs.
    Scratch s("certpath");
    LogCapture log("certpath");
    int i = 0;
    for (const Payload &p : rt_test::payloads(s.canary())) {
        std::filesystem::path path = s.dir() + "/c" + std::to_string(i++) + "/" + p.text;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << "not a certificate\n";
        std::string cn = "unchanged";
        EXPECT_EQ(cert_common_name(path.c_str(), &cn), 20) << p.name;
        EXPECT_EQ(cn, "unchanged") << p.name;
        EXPECT_FALSE(s.canary_ran()) << "[" << p.name << "]";
    }
}

TEST(ProxyAuthFile, RemovalGetsThePathWholeOrRefusesIt) {
    Scratch s("proxyauth");
    LogCapture log("proxyauth");
    const std::string tail = std::string(">>") + vpn::kVpnLogFile + " 2>&1";
    for (const Payload &p : rt_test::payloads(s.canary())) {
        agent_config_reset();
        agent_state().config.proxy_auth_file = p.text;
        auto cmd = proxy_auth_remove_command(agent_state().config);
        ASSERT_TRUE(cmd.has_value()) << p.name;
        bool form = false;
        auto run = s.run(*cmd, "rm", tail, form);
        ASSERT_TRUE(form) << *cmd;
        EXPECT_FALSE(s.canary_ran()) << "[" << p.name << "]: " << shown(*cmd);
        ASSERT_EQ(run.calls.size(), 1u) << "[" << p.name << "]: " << shown(*cmd);
        EXPECT_EQ(run.calls[0], (std::vector<std::string>{"-f", p.text})) << "[" << p.name << "]";
    }
    // A path whose command would not fit is not cut (a cut could leave a
    // shorter, different path), it is refused and logged.
    agent_state().config.proxy_auth_file = std::string(1000, 'x') + "'";
    EXPECT_FALSE(proxy_auth_remove_command(agent_state().config).has_value());
    EXPECT_NE(log.text().find("not run"), std::string::npos);
    agent_config_reset();
}
