// Shell injection through the agent's steps that run their commands for real
// and write the router's fixed paths: the SCEP request configuration's
// rm and mv, the CA files' rm and the three enrollment tools, and the device
// identity files of the portal's fwversion request. Runs inside a router
// root only (started by test_injection.py), with recorders for sscep and
// openssl; the canary is the root's /tmp/CANARY.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config.h"
#include "dispatch.h"
#include "rt_test/files.h"
#include "rt_test/payloads.h"
#include "rt_test/root.h"
#include "scep.h"
#include "state.h"

namespace fs = std::filesystem;
using rt_test::Payload;
using rt_test::recorder_line;
using rt_test::slurp;
using rt_test::write_file;

namespace {

const std::string kCanary = "/tmp/CANARY";
const char *kCode = "A1B2C3D4E5F6";

class InRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!rt_test::in_router_root())
            GTEST_SKIP() << "runs only inside a router root (see test_injection.py)";
        agent_config_reset();
    }
    void TearDown() override { agent_config_reset(); }
    static void clear() {
        std::error_code ec;
        fs::remove(kCanary, ec);
        for (const char *n : {"sscep", "openssl"})
            fs::remove(std::string("/tmp/standin/") + n + ".log", ec);
    }
};

TEST_F(InRoot, ScepFilePathsInTheShellStepsStayOneWord) {
    int i = 0;
    for (const Payload &p : rt_test::payloads(kCanary)) {
        clear();
        const std::string dir = "/etc/telvsdk/inj" + std::to_string(i++) + "/";
        AgentConfig &c = agent_state().config;
        c.scep_server_url = "http://127.0.0.1:1/" + p.text;
        c.scep_cnf = dir + p.text + ".cnf";
        c.scep_cnf_new = *c.scep_cnf + "-new";
        c.scep_ca = dir + p.text + "-ca.pem";
        c.ssl_key = dir + p.text + ".key";
        c.ssl_cert = dir + p.text + ".pem";
        c.scep_req = dir + p.text + ".csr";

        // rm of the old request configuration, mv of the rewritten one
        write_file(*c.scep_cnf, "challengePassword = old\nCN = old\n");
        EXPECT_EQ(scep_prepare_request(kCode), 0) << p.name;
        EXPECT_EQ(slurp(*c.scep_cnf),
                  std::string("challengePassword =") + kCode + "\nCN =" + kCode + "\n")
            << p.name;
        EXPECT_FALSE(fs::exists(*c.scep_cnf_new)) << p.name;
        EXPECT_FALSE(fs::exists(kCanary)) << "prepare [" << p.name << "]";

        // rm of the CA files (the CA path and the numbered files beside it),
        // then getca, req and enroll with every path whole
        write_file(*c.scep_ca + "-0", "x");
        write_file(*c.scep_ca + "-1", "x");
        write_file(dir + "keep", "x");
        scep_enroll();
        EXPECT_FALSE(fs::exists(*c.scep_ca + "-0")) << p.name;
        EXPECT_FALSE(fs::exists(*c.scep_ca + "-1")) << p.name;
        EXPECT_TRUE(fs::exists(dir + "keep"))
            << "rm took more than the CA files [" << p.name << "]";
        EXPECT_FALSE(fs::exists(kCanary)) << "enroll [" << p.name << "]";
        EXPECT_EQ(slurp("/tmp/standin/sscep.log"),
                  recorder_line({"getca", "-u", *c.scep_server_url, "-c", *c.scep_ca}) +
                      recorder_line({"enroll", "-u", *c.scep_server_url, "-E", "3des", "-S",
                                     "sha256", "-c", *c.scep_ca + "-0", "-e", *c.scep_ca + "-1",
                                     "-k", *c.ssl_key, "-r", *c.scep_req, "-l", *c.ssl_cert}))
            << p.name;
        EXPECT_EQ(slurp("/tmp/standin/openssl.log"),
                  recorder_line({"req", "-config", *c.scep_cnf, "-newkey", "rsa:4096", "-keyout",
                                 *c.ssl_key, "-out", *c.scep_req, "-nodes"}))
            << p.name;
    }
}

TEST_F(InRoot, DeviceIdentityFilesReachTheAnswerAsRead) {
    const char *files[] = {"/tmp/novra_fw_version", "/tmp/board_sn", "/tmp/novra_model",
                           "/tmp/novra_model_alias"};
    for (const Payload &p : rt_test::payloads(kCanary)) {
        clear();
        for (const char *f : files) write_file(f, p.text);
        agent_state().config.portal_action = 1;
        std::string answer;
        hbs_reply_parse(R"([{"key":"fwversion","action":"get"}])", answer);
        EXPECT_FALSE(fs::exists(kCanary)) << "[" << p.name << "]";
        // first line with its line feed, at most 31 characters
        std::string want = p.text.substr(
            0, p.text.find('\n') == std::string::npos ? std::string::npos : p.text.find('\n') + 1);
        if (want.size() > 31) want.resize(31);
        JsonPtr root(json_tokener_parse(answer.c_str()));
        ASSERT_TRUE(root && json_object_is_type(root.get(), json_type_array))
            << p.name << ": " << answer;
        ASSERT_EQ(json_object_array_length(root.get()), 5u) << p.name;
        for (std::size_t k = 0; k < 4; ++k) {
            json_object *res = nullptr;
            ASSERT_TRUE(json_object_object_get_ex(json_object_array_get_idx(root.get(), k),
                                                  "result", &res));
            EXPECT_EQ(json_object_get_string(res), want) << k << " [" << p.name << "]";
        }
    }
    for (const char *f : files) fs::remove(f);
}

}  // namespace
