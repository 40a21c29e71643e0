#include "scep.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "cert.h"
#include "command.h"
#include "config.h"
#include "state.h"
#include "test_util.h"

namespace {

constexpr const char *kCode = "A1B2C3D4E5F6";

// Runs the rewrite over a text and returns what it wrote.
std::string rewrite(const std::string &text, const char *code = kCode) {
    std::string in_path = unit_temp("rewrite.in"), out_path = unit_temp("rewrite.out");
    std::ofstream(in_path, std::ios::binary) << text;
    FILE *in = std::fopen(in_path.c_str(), "r");
    FILE *out = std::fopen(out_path.c_str(), "w");
    EXPECT_TRUE(in && out);
    EXPECT_TRUE(scep_rewrite_config(in, out, code));
    std::fclose(in);
    std::fclose(out);
    std::string result = slurp(out_path);
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
    return result;
}

TEST(ScepRewrite, ReplacesChallengePasswordAndCommonName) {
    const std::string cnf =
        "[ req ]\n"
        "prompt = no\n"
        "[ req_distinguished_name ]\n"
        "CN = OLDCODE00000\n"
        "O = Example\n"
        "[ req_attributes ]\n"
        "challengePassword = secret-old\n";
    EXPECT_EQ(rewrite(cnf),
              "[ req ]\n"
              "prompt = no\n"
              "[ req_distinguished_name ]\n"
              "CN =A1B2C3D4E5F6\n"
              "O = Example\n"
              "[ req_attributes ]\n"
              "challengePassword =A1B2C3D4E5F6\n");
}

TEST(ScepRewrite, LinesThatAreNotRewritten) {
    // CN alone, '=' at the start, other keys, prefix of the password key only,
    // a commonName key (does not begin with "CN").
    const std::string cnf =
        "CN\n"
        "=CN value\n"
        "challengePasswor\n"
        "commonName = x\n"
        "  CN = indented\n"
        "\n"
        "emailAddress = a@b\n";
    EXPECT_EQ(rewrite(cnf), cnf);
}

TEST(ScepRewrite, MatchesByPrefixAndFirstEquals) {
    EXPECT_EQ(rewrite("challengePasswordX=1=2\n"), "challengePasswordX=A1B2C3D4E5F6\n");
    EXPECT_EQ(rewrite("CN=\n"), "CN=A1B2C3D4E5F6\n");
    // A last line without its line feed gets one.
    EXPECT_EQ(rewrite("O = x\nCN = old"), "O = x\nCN =A1B2C3D4E5F6\n");
    EXPECT_EQ(rewrite(""), "");
}

TEST(ScepRewrite, LongLines) {
    std::string exact(1023, 'a');
    std::string longer(3000, 'b');
    std::string cnf = exact + "\n" + longer + "\nCN = z\n";
    EXPECT_EQ(rewrite(cnf), exact + "\n" + longer + "\nCN =A1B2C3D4E5F6\n");
    // A replaced line longer than the buffer leaves no part of its old value.
    std::string cn = "CN = " + std::string(2000, 'c') + "\nO = x\n";
    EXPECT_EQ(rewrite(cn), "CN =A1B2C3D4E5F6\nO = x\n");
}

class ScepCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        agent_config_reset();
        AgentConfig &c = agent_state().config;
        sample_scep_config(c);
    }
    void TearDown() override { agent_config_reset(); }
    AgentConfig &c() { return agent_state().config; }
    LogCapture log_{"scep"};
};

TEST_F(ScepCommands, PlainCommands) {
    EXPECT_EQ(*scep_getca_command(c()),
              "/usr/bin/sscep getca -u http://127.0.0.1:8080/scep -c /etc/telvsdk/scep-ca.pem "
              ">>/var/log/telvsdk-scep.log 2>&1");
    EXPECT_EQ(*scep_request_command(c()),
              "openssl req -config /etc/telvsdk/scep.cnf -newkey rsa:4096 -keyout "
              "/etc/telvsdk/client.key -out /etc/telvsdk/client.csr -nodes "
              ">>/var/log/telvsdk-scep.log 2>&1");
    EXPECT_EQ(*scep_enroll_command(c(), ScepCaForm::single),
              "/usr/bin/sscep enroll -u http://127.0.0.1:8080/scep -E 3des -S sha256 -c "
              "/etc/telvsdk/scep-ca.pem -k /etc/telvsdk/client.key -r /etc/telvsdk/client.csr "
              "-l /etc/telvsdk/client.pem >>/var/log/telvsdk-scep.log 2>&1");
    EXPECT_EQ(*scep_enroll_command(c(), ScepCaForm::numbered),
              "/usr/bin/sscep enroll -u http://127.0.0.1:8080/scep -E 3des -S sha256 -c "
              "/etc/telvsdk/scep-ca.pem-0 -e /etc/telvsdk/scep-ca.pem-1 -k /etc/telvsdk/client.key "
              "-r /etc/telvsdk/client.csr -l /etc/telvsdk/client.pem "
              ">>/var/log/telvsdk-scep.log 2>&1");
}

TEST_F(ScepCommands, VerboseAndProxyOptionsFollowTheSubCommand) {
    c().verbose = 1;
    c().proxy_enabled = 1;
    c().proxy_url = "proxy.local";
    c().proxy_port = 3128;
    const std::string opts = " -v -d -p 1 -q proxy.local -x 3128 -u ";
    EXPECT_EQ(scep_getca_command(c())->rfind("/usr/bin/sscep getca" + opts, 0), 0u);
    for (auto form : {ScepCaForm::single, ScepCaForm::numbered}) {
        auto cmd = *scep_enroll_command(c(), form);
        EXPECT_EQ(cmd.rfind("/usr/bin/sscep enroll" + opts, 0), 0u) << cmd;
    }
    // Authentication flag other than 1: no user, no password.
    c().proxy_auth_required = 2;
    c().proxy_user = "u";
    c().proxy_pass = "p";
    EXPECT_EQ(scep_getca_command(c())->find(" -y "), std::string::npos);
    EXPECT_EQ(scep_getca_command(c())->find(" -z "), std::string::npos);
}

TEST_F(ScepCommands, ProxyAuthenticationWithAndWithoutPassword) {
    c().proxy_enabled = 1;
    c().proxy_url = "proxy.local";
    c().proxy_port = 8080;
    c().proxy_auth_required = 1;
    c().proxy_user = "dev";
    auto getca = *scep_getca_command(c());
    EXPECT_NE(getca.find(" -x 8080 -y dev -u "), std::string::npos) << getca;
    EXPECT_EQ(getca.find(" -z "), std::string::npos);
    // the password as one word; the logged text has it masked
    c().proxy_pass = "pa$$ 'w";
    agent_secret_add(*c().proxy_pass);
    getca = *scep_getca_command(c());
    EXPECT_NE(getca.find(" -y dev -z 'pa$$ '\\''w' -u "), std::string::npos) << getca;
    auto shown = agent_mask(getca);
    EXPECT_NE(shown.find(" -y dev -z *** -u "), std::string::npos) << shown;
    EXPECT_EQ(shown.find("pa$$"), std::string::npos);
    auto enroll = agent_mask(*scep_enroll_command(c(), ScepCaForm::numbered));
    EXPECT_NE(enroll.find(" -z *** -u "), std::string::npos) << enroll;
    EXPECT_EQ(enroll.find("pa$$"), std::string::npos);
}

TEST_F(ScepCommands, ValuesStayOneWord) {
    c().scep_server_url = "http://x/;touch /tmp/pwned #";
    c().scep_ca = "/etc/a b$(id)";
    auto cmd = *scep_getca_command(c());
    EXPECT_NE(cmd.find("-u 'http://x/;touch /tmp/pwned #' -c '/etc/a b$(id)' >>"),
              std::string::npos)
        << cmd;
}

TEST_F(ScepCommands, CommandTooLongForItsBufferIsRefusedWithoutShowingThePassword) {
    // the proxy settings as read from the configuration file
    std::string conf = unit_temp("proxy.cnf");
    std::ofstream(conf) << "TELVSDK_CFG_PROXY_ENABLED 1\nTELVSDK_CFG_PROXY_URL p\n"
                           "TELVSDK_CFG_PROXY_AUTH_REQUIRED 1\nTELVSDK_CFG_PROXY_USER u\n"
                           "TELVSDK_CFG_PROXY_PASS s3cr3t\n";
    ASSERT_EQ(read_agent_config_file(conf), 0);
    std::remove(conf.c_str());
    sample_scep_config(c());
    c().scep_server_url = "http://127.0.0.1/" + std::string(1000, 'x');
    EXPECT_FALSE(scep_getca_command(c()).has_value());
    std::string log = log_.text();
    EXPECT_NE(log.find("not run: /usr/bin/sscep getca -p 1 -q p -x 0 -y u -z *** -u http"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("s3cr3t"), std::string::npos) << log;
}

class ScepPrepare : public ::testing::Test {
  protected:
    void SetUp() override {
        agent_config_reset();
        std::ofstream(cnf_, std::ios::binary) << cnf_text_;
        agent_state().config.scep_cnf = cnf_;
        agent_state().config.scep_cnf_new = cnf_ + "-new";
    }
    void TearDown() override {
        std::remove(cnf_.c_str());
        std::remove((cnf_ + "-new").c_str());
        agent_config_reset();
    }
    std::string cnf_ = unit_temp("scep.cnf");
    std::string cnf_text_ = "[ req_attributes ]\nchallengePassword = old\n[ dn ]\nCN = old\n";
    LogCapture log_{"scep_prepare"};
    RedirectingRunner runner_{kScepLogPath, unit_temp("scep-tools.log")};
};

TEST_F(ScepPrepare, CodeOfWrongLengthTouchesNothing) {
    for (const char *code : {"A1B2C3D4E5F", "A1B2C3D4E5F6X", ""}) {
        EXPECT_EQ(scep_prepare_request(code), 22) << code;
    }
    EXPECT_EQ(scep_prepare_request(nullptr), 22);
    EXPECT_EQ(slurp(cnf_), cnf_text_);
    EXPECT_FALSE(std::ifstream(cnf_ + "-new").good());
    EXPECT_EQ(log_.text(), "");
}

TEST_F(ScepPrepare, RewritesInPlace) {
    ASSERT_EQ(scep_prepare_request(kCode), 0);
    EXPECT_EQ(slurp(cnf_),
              "[ req_attributes ]\nchallengePassword =A1B2C3D4E5F6\n[ dn ]\nCN =A1B2C3D4E5F6\n");
    EXPECT_FALSE(std::ifstream(cnf_ + "-new").good());
    EXPECT_NE(log_.text().find(
                  "INFO       Reading scep request config. Inserting activation code A1B2C3D4E5F6"),
              std::string::npos);
    // A second run inserts the code again and leaves the same text.
    ASSERT_EQ(scep_prepare_request("ZZZZZZZZZZZZ"), 0);
    EXPECT_EQ(slurp(cnf_),
              "[ req_attributes ]\nchallengePassword =ZZZZZZZZZZZZ\n[ dn ]\nCN =ZZZZZZZZZZZZ\n");
}

TEST_F(ScepPrepare, MissingConfigurationIsResultOne) {
    std::remove(cnf_.c_str());
    EXPECT_EQ(scep_prepare_request(kCode), 1);
    EXPECT_NE(log_.text().find("ERROR      Unable to open scep request config file " + cnf_),
              std::string::npos);
    EXPECT_FALSE(std::ifstream(cnf_ + "-new").good());
    agent_state().config.scep_cnf.reset();
    EXPECT_EQ(scep_prepare_request(kCode), 1);
}

// A full filesystem while the copy is written: the process may not grow a
// file past 16 bytes (writes beyond fail with EFBIG, SIGXFSZ ignored). The
// short copy must not replace the configuration.
TEST_F(ScepPrepare, FullFilesystemKeepsTheConfiguration) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {16, 16};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(99);
        _exit(scep_prepare_request(kCode));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(slurp(cnf_), cnf_text_);
    // with room again the same call works
    ASSERT_EQ(scep_prepare_request(kCode), 0);
    EXPECT_EQ(slurp(cnf_),
              "[ req_attributes ]\nchallengePassword =A1B2C3D4E5F6\n[ dn ]\nCN =A1B2C3D4E5F6\n");
}

// The certificate check reads the CommonName through the openssl pipe; a
// file that gives no CommonName line is no certificate.
TEST(CertCheck, NoCommonNameIsNoCertificate) {
    LogCapture log("cert");
    agent_config_reset();
    std::string path = unit_temp("not-a-cert.pem");
    std::ofstream(path) << "not a certificate\n";
    std::string name = "unchanged";
    EXPECT_EQ(cert_common_name(path.c_str(), &name), 20);
    EXPECT_EQ(cert_common_name(path.c_str(), nullptr), 20);
    EXPECT_EQ(cert_common_name(nullptr, &name), 20);
    EXPECT_EQ(cert_common_name((path + ".missing").c_str(), &name), 20);
    agent_state().config.ssl_cert = path;
    EXPECT_EQ(cert_check(kCode), 21);
    EXPECT_EQ(cert_check(nullptr), 21);
    EXPECT_NE(
        log.text().find("ERROR      No Certificate '" + path + "' with CommonName '' available"),
        std::string::npos);
    EXPECT_EQ(log.text().find("Using certificate"), std::string::npos);
    std::remove(path.c_str());
    agent_config_reset();
}

}  // namespace
