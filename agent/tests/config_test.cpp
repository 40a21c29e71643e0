#include "config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "state.h"
#include "test_util.h"

namespace {

class ConfigFile : public ::testing::Test {
  protected:
    void SetUp() override { agent_config_reset(); }
    void TearDown() override {
        std::remove(path_.c_str());
        agent_config_reset();
    }
    const AgentConfig &read(const std::string &text) {
        std::ofstream(path_, std::ios::binary) << text;
        EXPECT_EQ(read_agent_config_file(path_), 0);
        return agent_state().config;
    }
    std::string path_ = unit_temp("telvsdk.cnf");
    LogCapture log_{"config"};
};

TEST_F(ConfigFile, FlagsAreOneOnlyForExactlyOne) {
    EXPECT_EQ(read("TELVSDK_CFG_VERBOSE 1\n").verbose, 1);
    for (const char *v : {"01", "yes", "1 ", "2", "1\r"}) {
        agent_config_reset();
        std::string line = std::string("TELVSDK_CFG_VERBOSE ") + v + "\n";
        EXPECT_EQ(read(line).verbose, 0) << v;
    }
    EXPECT_EQ(
        read("TELVSDK_CFG_PROXY_ENABLED 1\nTELVSDK_CFG_PROXY_AUTH_REQUIRED 1").proxy_auth_required,
        1);
    EXPECT_EQ(agent_state().config.proxy_enabled, 1);
}

TEST_F(ConfigFile, SeparatorsAndValues) {
    const AgentConfig &c = read(
        "TELVSDK_CFG_CA\t/etc/ca.pem\n"
        "TELVSDK_CFG_SSLCERT   \t  /etc/my cert.pem  \n"
        "TELVSDK_CFG_HBS_CONNECTION https://h/x#frag\n"
        "TELVSDK_CFG_PROXY_PORT 8080x\n"
        "TELVSDK_VPN_LOCAL_MGM_PORT abc\n"
        "action 2junk\n"
        "inactivity 12\n");
    EXPECT_EQ(c.ca_file.value_or("?"), "/etc/ca.pem");
    EXPECT_EQ(c.ssl_cert.value_or("?"),
              "/etc/my cert.pem  ");  // inner and trailing blanks belong to it
    EXPECT_EQ(c.hbs_server.value_or("?"), "https://h/x#frag");
    EXPECT_EQ(c.proxy_port, 8080);
    EXPECT_EQ(c.vpn_mgmt_port, 0);
    EXPECT_EQ(c.portal_action, 2);
    EXPECT_EQ(c.vpn_inactivity, 12);
}

TEST_F(ConfigFile, LinesThatSetNothing) {
    const AgentConfig &c = read(
        "TELVSDK_CFG_CA\n"                // key alone
        "TELVSDK_CFG_SSLKEY    \n"        // key, blanks, newline
        "#TELVSDK_CFG_TLSAUTH /x\n"       // comment
        " TELVSDK_CFG_PROXY_URL proxy\n"  // empty key
        "a b\n"                           // four characters: read (unknown key)
        "ab\n");                          // three characters: skipped
    EXPECT_FALSE(c.ca_file);
    EXPECT_FALSE(c.ssl_key);
    EXPECT_FALSE(c.tls_auth);
    EXPECT_FALSE(c.proxy_url);
    std::string log = log_.text();
    EXPECT_NE(log.find("config a                                = b"), std::string::npos) << log;
}

TEST_F(ConfigFile, LastLineWithoutNewline) {
    EXPECT_EQ(read("TELVSDK_CFG_ACTIVATION_CODE ABCDEF123456").activation_code.value_or("?"),
              "ABCDEF123456");
    agent_config_reset();
    // Blanks then the end of the file: the empty text.
    EXPECT_EQ(read("TELVSDK_CFG_TLSAUTH   ").tls_auth.value_or("?"), "");
}

TEST_F(ConfigFile, LastValueWinsAndScepCnfGetsItsNewTwin) {
    const AgentConfig &c = read(
        "TELVSDK_CFG_HBS_CONNECTION first\nTELVSDK_CFG_HBS_CONNECTION second\n"
        "TELVSDK_CFG_SCEP_CNF /etc/telvsdk/req.cnf\n"
        "telvsdk_cfg_ca lower\n");
    EXPECT_EQ(c.hbs_server.value_or("?"), "second");
    EXPECT_EQ(c.scep_cnf.value_or("?"), "/etc/telvsdk/req.cnf");
    EXPECT_EQ(c.scep_cnf_new.value_or("?"), "/etc/telvsdk/req.cnf-new");
    EXPECT_FALSE(c.ca_file);  // keys are case-sensitive
}

TEST_F(ConfigFile, CrLfFilesKeepTheCarriageReturn) {
    const AgentConfig &c = read("TELVSDK_CFG_VERBOSE 1\r\nTELVSDK_CFG_CA /ca\r\n");
    EXPECT_EQ(c.verbose, 0);
    EXPECT_EQ(c.ca_file.value_or("?"), "/ca\r");
}

TEST_F(ConfigFile, PasswordNeverLoggedOtherValuesAre) {
    read("TELVSDK_CFG_PROXY_PASS s3cr3t-pw\nTELVSDK_CFG_ACTIVATION_CODE CODE12345678\n");
    EXPECT_EQ(agent_state().config.proxy_pass.value_or("?"), "s3cr3t-pw");
    std::string log = log_.text();
    EXPECT_EQ(log.find("s3cr3t-pw"), std::string::npos);
    EXPECT_NE(log.find("TELVSDK_CFG_PROXY_PASS           = ***"), std::string::npos) << log;
    EXPECT_NE(log.find("CODE12345678"), std::string::npos);
}

TEST_F(ConfigFile, LongLinesAreReadInPieces) {
    std::string longval(1500, 'v');
    const AgentConfig &c = read("TELVSDK_CFG_CA " + longval + "\nTELVSDK_CFG_TLSAUTH /t\n");
    ASSERT_TRUE(c.ca_file);
    EXPECT_EQ(c.ca_file->size(), 1023u - 15u);
    EXPECT_EQ(c.tls_auth.value_or("?"), "/t");
}

TEST(ConfigMissing, MissingFileIsLoggedAndReported) {
    LogCapture log("missing");
    agent_config_reset();
    EXPECT_EQ(read_agent_config_file("/nonexistent/telvsdk.cnf"), 1);
    EXPECT_NE(log.text().find("ERROR      Unable to open config file /nonexistent/telvsdk.cnf"),
              std::string::npos);
    EXPECT_FALSE(agent_state().config.hbs_server);
}

class NetworkList : public ::testing::Test {
  protected:
    void SetUp() override {
        for (auto &n : agent_state().networks) n.reset();
        std::memset(agent_state().network_text, 0, sizeof agent_state().network_text);
    }
    void TearDown() override { SetUp(); }
};

TEST_F(NetworkList, ItemsBecomeEntriesInOrder) {
    parse_network_lines("10.1.0.0,255.255.0.0\n192.168.5.0,255.255.255.0,extra\r\n");
    const auto &n = agent_state().networks;
    ASSERT_TRUE(n[1] && n[2]);
    EXPECT_STREQ(n[1]->network, "10.1.0.0");
    EXPECT_STREQ(n[1]->subnetmask, "255.255.0.0");
    EXPECT_STREQ(n[2]->network, "192.168.5.0");
    EXPECT_STREQ(n[2]->subnetmask, "255.255.255.0");
    EXPECT_FALSE(n[3]);
    EXPECT_FALSE(n[0]);  // the LAN entry is not touched
}

TEST_F(NetworkList, SingleFieldLinesMakeNoEntryAndTextsAreCut) {
    parse_network_lines("10.9.9.9\n123456789012345678901234,255.0.0.0\n");
    const auto &n = agent_state().networks;
    ASSERT_TRUE(n[1]);
    EXPECT_STREQ(n[1]->network, "1234567890123456789");
    EXPECT_FALSE(n[2]);
}

TEST_F(NetworkList, AtMostNineEntries) {
    std::string out;
    for (int i = 0; i < 12; ++i) out += "10.0." + std::to_string(i) + ".0,255.255.255.0\n";
    parse_network_lines(out);
    const auto &n = agent_state().networks;
    for (int i = 1; i < 10; ++i) ASSERT_TRUE(n[static_cast<std::size_t>(i)]) << i;
    EXPECT_STREQ(n[9]->network, "10.0.8.0");
}

TEST_F(NetworkList, NoOutputNoEntries) {
    parse_network_lines("");
    for (const auto &e : agent_state().networks) EXPECT_FALSE(e);
}

}  // namespace
