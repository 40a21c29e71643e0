#include "push.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "command.h"
#include "state.h"
#include "test_util.h"

namespace {

TEST(DottedQuad, Validity) {
    for (const char *ok :
         {"10.0.0.1", "0.0.0.0", "255.255.255.255", "1..2.3.4", ".1.2.3.4.", "001.2.3.4"})
        EXPECT_EQ(is_dotted_quad(ok), 1) << ok;
    for (const char *bad :
         {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1.2.3.a", "", "....", "1.2.3.-4", "1.2.3.4 ",
          "255.255.255.0\n", "99999999999999999999.1.1.1", "1.2.3.+4"})
        EXPECT_EQ(is_dotted_quad(bad), 0) << bad;
    EXPECT_EQ(is_dotted_quad(nullptr), 0);
    EXPECT_EQ(is_decimal_digits(""), 1);
    EXPECT_EQ(is_decimal_digits("0123"), 1);
    EXPECT_EQ(is_decimal_digits("12a"), 0);
}

class ServerList : public ::testing::Test {
  protected:
    void SetUp() override { vpn_servers_clear(); }
    void TearDown() override { vpn_servers_clear(); }
    LogCapture log_{"servers"};
};

TEST_F(ServerList, DefaultsAndTextForms) {
    ASSERT_EQ(
        parse_vpn_server_list(
            R"([{"get_vpn_client_server":[{"name":"a","ip":"10.0.0.9"},)"
            R"({"name":"b","host":"vpn.b","ip":"1.2.3.4","port":1194,"proto":"udp","args":"--x %tlsauthfile% 1"}]}])"),
        0);
    ASSERT_EQ(agent_state().vpn_server_count, 2);
    auto a = vpn_server_get(0);
    ASSERT_TRUE(a);
    EXPECT_STREQ(a->host, "10.0.0.9");
    EXPECT_STREQ(a->ip, "10.0.0.9");
    EXPECT_STREQ(a->port, "443");
    EXPECT_STREQ(a->proto, "tcp-client");
    EXPECT_STREQ(a->args, " ");
    auto b = vpn_server_get(1);
    ASSERT_TRUE(b);
    EXPECT_STREQ(b->host, "vpn.b");
    EXPECT_STREQ(b->port, "1194");  // a number is taken in its text form
    EXPECT_STREQ(b->args, "--x %tlsauthfile% 1");
    EXPECT_FALSE(vpn_server_get(2));
    std::string log = log_.text();
    EXPECT_NE(log.find("PUSH       ----------------------------\n"), std::string::npos);
    char expected[256];
    std::snprintf(expected, sizeof expected, "PUSH       vpn server 2 %20s %30s %15s %4s %12s %s\n",
                  "b", "vpn.b", "1.2.3.4", "1194", "udp", "--x %tlsauthfile% 1");
    EXPECT_NE(log.find(expected), std::string::npos) << log;
}

TEST_F(ServerList, AnEntryWithoutAddressStopsTheListKeepingEarlierOnes) {
    EXPECT_EQ(
        parse_vpn_server_list(
            R"([{"get_vpn_client_server":[{"name":"a","host":"h1"},{"name":"b","host":"h2"},{"name":"c"},{"name":"d","host":"h4"}]}])"),
        16);
    EXPECT_EQ(agent_state().vpn_server_count, 2);
    EXPECT_NE(log_.text().find("vpn server not used - neither hostname or ip given!"),
              std::string::npos);
}

TEST_F(ServerList, AnEntryWithoutNameIsRefused) {
    EXPECT_EQ(parse_vpn_server_list(R"([{"get_vpn_client_server":[{"host":"h1"}]}])"), 16);
    EXPECT_EQ(agent_state().vpn_server_count, 0);
    EXPECT_FALSE(vpn_server_get(0));
}

TEST_F(ServerList, BadRepliesKeepThePreviousList) {
    ASSERT_EQ(parse_vpn_server_list(R"([{"get_vpn_client_server":[{"name":"keep","host":"h"}]}])"),
              0);
    for (const char *bad :
         {"not json", "[]", R"([{"other":[]}])", R"([{"get_vpn_client_server":[]}])",
          R"({"get_vpn_client_server":[{"name":"x","host":"y"}]})"}) {
        EXPECT_EQ(parse_vpn_server_list(bad), 16) << bad;
        ASSERT_EQ(agent_state().vpn_server_count, 1) << bad;
        EXPECT_STREQ(vpn_server_get(0)->name, "keep");
    }
    EXPECT_EQ(parse_vpn_server_list(nullptr), 16);
}

TEST_F(ServerList, MoreThanTenKeepsTheFirstTenAndSaysSo) {
    std::string reply = R"([{"get_vpn_client_server":[)";
    for (int i = 0; i < 13; ++i)
        reply +=
            (i ? "," : "") + std::string(R"({"name":"s)") + std::to_string(i) + R"(","host":"h"})";
    reply += "]}]";
    EXPECT_EQ(parse_vpn_server_list(reply.c_str()), 0);
    EXPECT_EQ(agent_state().vpn_server_count, 10);
    EXPECT_STREQ(vpn_server_get(9)->name, "s9");
    EXPECT_NE(log_.text().find("only the first 10 are used"), std::string::npos);
}

TEST_F(ServerList, TextsLongerThanTheirFieldAreRefusedNotCut) {
    std::string fits(254, 'h');
    std::string too_long(255, 'h');
    std::string reply = R"([{"get_vpn_client_server":[{"name":"ok","host":")" + fits +
                        R"("},{"name":"long","host":")" + too_long + R"("}]}])";
    EXPECT_EQ(parse_vpn_server_list(reply.c_str()), 16);
    ASSERT_EQ(agent_state().vpn_server_count, 1);
    EXPECT_EQ(std::strlen(vpn_server_get(0)->host), 254u);
    std::string args(1024, 'a');
    reply = R"([{"get_vpn_client_server":[{"name":"n","host":"h","args":")" + args + R"("}]}])";
    EXPECT_EQ(parse_vpn_server_list(reply.c_str()), 16);
    EXPECT_EQ(agent_state().vpn_server_count, 0);
    EXPECT_NE(log_.text().find("longer than its field"), std::string::npos);
}

TEST(PushNetworkReply, OnlyOkCounts) {
    EXPECT_EQ(parse_push_network_reply(R"([{"push_network":"ok"}])"), 0);
    for (const char *bad : {R"([{"push_network":"fail"}])", R"([{"push_network":1}])", "[]", "x",
                            R"({"push_network":"ok"})"})
        EXPECT_EQ(parse_push_network_reply(bad), 16) << bad;
}

class NetworksBody : public ::testing::Test {
  protected:
    void SetUp() override {
        AgentState &st = agent_state();
        for (auto &n : st.networks) n.reset();
        std::strcpy(st.lan_network, "192.168.1.0");
        std::strcpy(st.lan_mask, "255.255.255.0");
        st.networks[0] = std::make_unique<NetworkEntry>(NetworkEntry{st.lan_network, st.lan_mask});
    }
    void TearDown() override {
        for (auto &n : agent_state().networks) n.reset();
    }
};

TEST_F(NetworksBody, LanOnlyAndWithPortalNetworks) {
    std::string body;
    ASSERT_EQ(build_networks_body(body), 0);
    EXPECT_EQ(body,
              "[{\"action\":\"call\",\"function\":\"push_network\",\"networks\":["
              "{\"network\":\"192.168.1.0\",\"subnetmask\":\"255.255.255.0\"}]}]");
    AgentState &st = agent_state();
    std::strcpy(st.network_text[1][0], "10.1.0.0");
    std::strcpy(st.network_text[1][1], "255.255.0.0");
    st.networks[1] =
        std::make_unique<NetworkEntry>(NetworkEntry{st.network_text[1][0], st.network_text[1][1]});
    ASSERT_EQ(build_networks_body(body), 0);
    EXPECT_NE(
        body.find(
            "\"255.255.255.0\"},{\"network\":\"10.1.0.0\",\"subnetmask\":\"255.255.0.0\"}]}]"),
        std::string::npos)
        << body;
}

TEST_F(NetworksBody, AMaskWithLineEndIsRefused) {
    std::strcpy(agent_state().lan_mask, "255.255.255.0\n");
    std::string body = "unchanged";
    EXPECT_EQ(build_networks_body(body), 18);
    EXPECT_EQ(body, "unchanged");
}

// The network script as the runner of the agent's commands sees it.
class ScriptAnswer : public CommandRunner {
  public:
    std::optional<std::string> line;  // nullopt: the script cannot be started
    int run(const std::string &) override { return 0; }
    std::optional<std::string> output(const std::string &, std::size_t) override { return line; }
};

TEST_F(NetworksBody, EveryFailedPushIsLogged) {
    LogCapture log("push_networks");
    ScriptAnswer script;
    set_command_runner(&script);
    struct Case {
        bool lan;
        std::optional<std::string> line;
        int result;
        const char *logged;
    } cases[] = {
        {false, "192.168.1.0 255.255.255.0\n", 14,
         "PUSH ERROR No LAN network known - networks not pushed."},
        {true, std::nullopt, 1,
         "PUSH ERROR Unable to run /usr/bin/get_push_network.sh - networks not pushed."},
        {true, "192.168.1.0 255.255.255.300\n", 18,
         "PUSH ERROR Network '192.168.1.0' with mask '255.255.255.300' is not a valid address"},
        // the script's line end is no part of the mask: the request is made
        // (and fails here, where no portal is configured)
        {true, "192.168.1.0 255.255.255.0\n", 14, "PUSH ERROR Networks not pushed."},
    };
    for (const Case &c : cases) {
        SetUp();
        if (!c.lan) agent_state().networks[0].reset();
        script.line = c.line;
        EXPECT_EQ(push_networks(), c.result) << c.logged;
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
    }
    set_command_runner(nullptr);
}

}  // namespace
