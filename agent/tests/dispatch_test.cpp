#include "dispatch.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstring>
#include <string>

#include "state.h"
#include "test_util.h"

namespace {

// The JSON-RPC result inside a fixed answer ("1" or "0"), or "" when the
// answer is not one.
std::string rpc_result(const std::string &answer) {
    JsonPtr root(json_tokener_parse(answer.c_str()));
    if (!root || !json_object_is_type(root.get(), json_type_array)) return "";
    json_object *el = json_object_array_get_idx(root.get(), 0);
    json_object *res = nullptr;
    if (!json_object_object_get_ex(el, "result", &res)) return "";
    JsonPtr inner(json_tokener_parse(json_object_get_string(res)));
    if (!inner) return "";
    json_object *r = nullptr;
    if (!json_object_object_get_ex(json_object_array_get_idx(inner.get(), 0), "result", &r))
        return "";
    return json_object_get_string(r);
}

std::string jsonrpc_reply(const std::string &requests) {
    JsonPtr el(json_object_new_object());
    json_object_object_add(el.get(), "key", json_object_new_string("jsonrpc"));
    json_object_object_add(el.get(), "action", json_object_new_string("call"));
    json_object_object_add(el.get(), "val1", json_object_new_string(requests.c_str()));
    return std::string("[") + json_object_to_json_string_ext(el.get(), JSON_C_TO_STRING_PLAIN) +
           "]";
}

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        AgentState &st = agent_state();
        st.config = AgentConfig{};
        st.config.portal_action = 1;
        st.hbs_client_delay = -1;
        st.hbs_server_delay = -1;
        st.vpn_state = VPN_STATE_IDLE;
        vpn_servers_clear();
    }
    void TearDown() override { SetUp(); }
    std::string parse(const std::string &reply) {
        std::string answer = "stale";
        hbs_reply_parse(reply.c_str(), answer);
        return answer;
    }
    LogCapture log_{"dispatch"};
};

TEST_F(Dispatch, FixedAnswersAreExactAndValid) {
    EXPECT_EQ(std::strlen(jsonrpc_result_ok), 131u);
    EXPECT_EQ(std::strlen(jsonrpc_result_fail), 131u);
    EXPECT_EQ(rpc_result(jsonrpc_result_ok), "1");
    EXPECT_EQ(rpc_result(jsonrpc_result_fail), "0");
    EXPECT_STREQ(
        jsonrpc_result_ok,
        R"([{"key":"jsonrpc","result":" [{\"jsonrpc\" : \"2.0\",\"result\":\"1\" ,\"id\" : \"0\"}] ","error":null,"action":"call","val1":"" }])");
    EXPECT_STREQ(
        jsonrpc_result_fail,
        R"([{"key":"jsonrpc","result":" [{\"jsonrpc\" : \"2.0\",\"result\":\"0\" ,\"id\" : \"0\"}] ","error":null,"action":"call","val1":"" }])");
}

TEST_F(Dispatch, NonArraysAndUnknownRepliesAreEchoed) {
    EXPECT_EQ(parse("not json"), "not json");
    EXPECT_EQ(parse("{\"key\":\"cdel\"}"), "{\"key\":\"cdel\"}");
    const std::string other = R"([{"key":"something","action":"get"}])";
    EXPECT_EQ(parse(other), other);
    std::string huge = "[\"" + std::string(2000, 'x') + "\"]";
    EXPECT_EQ(parse(huge).size(), 1023u);  // the answer buffer's limit
}

TEST_F(Dispatch, TimingNeedsCdelAndOnlySetsDelays) {
    const std::string r = R"([{"key":"cdel","values":["5","30"],"action":"param"},)"
                          R"({"key":"sdel","values":[60],"action":"param"},)"
                          R"({"key":"jsonrpc","val1":"[{\"method\":\"connectvpn\"}]"}])";
    EXPECT_EQ(parse(r), r);
    EXPECT_EQ(agent_state().hbs_client_delay, 30);  // the last value counts
    EXPECT_EQ(agent_state().hbs_server_delay, 60);
    EXPECT_EQ(log_.text().find("START VPN"), std::string::npos);

    SetUp();
    parse(R"([{"key":"sdel","values":["60"],"action":"param"}])");
    EXPECT_EQ(agent_state().hbs_server_delay, -1);
    // Elements without "action" "param" do not count.
    parse(R"([{"key":"cdel","values":["7"]}])");
    EXPECT_EQ(agent_state().hbs_client_delay, -1);
    // A lone cdel element sets the client delay only.
    parse(R"([{"key":"cdel","values":["7"],"action":"param"}])");
    EXPECT_EQ(agent_state().hbs_client_delay, 7);
    EXPECT_EQ(agent_state().hbs_server_delay, -1);
}

TEST_F(Dispatch, DeviceAnswerIsValidJsonWithFiveObjects) {
    std::string answer = parse(R"([{"key":"fwversion","action":"get"}])");
    JsonPtr root(json_tokener_parse(answer.c_str()));
    ASSERT_TRUE(root) << answer;
    ASSERT_EQ(json_object_array_length(root.get()), 5u);
    const char *keys[] = {"fwversion", "redbootserial", "realproduct", "product", "buildno"};
    for (std::size_t i = 0; i < 5; ++i) {
        json_object *el = json_object_array_get_idx(root.get(), i);
        json_object *k = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(el, "key", &k));
        EXPECT_STREQ(json_object_get_string(k), keys[i]);
    }
    EXPECT_NE(
        answer.find("\"result\":\"1\",\"error\":null,\"sqlresult\":null,\"action\":\"status\"}]"),
        std::string::npos);
    EXPECT_EQ(answer.substr(0, 30), "[{\"key\":\"fwversion\",\"values\":n");
}

TEST_F(Dispatch, JsonEscapeKeepsTheTextAsRead) {
    EXPECT_EQ(json_escape("1.0.4\n"), "1.0.4\\n");
    EXPECT_EQ(json_escape("a\"b\\c\r\t\x01"), "a\\\"b\\\\c\\r\\t\\u0001");
    std::string doc = "[\"" + json_escape("v\"1\n") + "\"]";
    JsonPtr parsed(json_tokener_parse(doc.c_str()));
    ASSERT_TRUE(parsed);
    EXPECT_STREQ(json_object_get_string(json_object_array_get_idx(parsed.get(), 0)), "v\"1\n");
}

TEST_F(Dispatch, PermissionGateForActionZeroAndOthers) {
    const std::string r = jsonrpc_reply(R"([{"method":"connectvpn"}])");
    agent_state().config.portal_action = 0;
    EXPECT_EQ(parse(r), r);
    EXPECT_NE(log_.text().find("HBS        Never allowed novra Portal."), std::string::npos);
    EXPECT_EQ(log_.text().find("START VPN"), std::string::npos);
    agent_state().config.portal_action = 5;
    EXPECT_EQ(parse(r), r);
    EXPECT_EQ(log_.text().find("START VPN"), std::string::npos);
}

TEST_F(Dispatch, ConnectVpnWithoutServersAnswersFail) {
    std::string answer = parse(jsonrpc_reply(R"([{"method":"connectvpn"}])"));
    EXPECT_EQ(answer, jsonrpc_result_fail);
    std::string log = log_.text();
    EXPECT_NE(log.find("HBS        HBS command 'START VPN connection' received."),
              std::string::npos);
    EXPECT_NE(log.find("VPN  ERROR No list of usable VPN server available."), std::string::npos);
}

TEST_F(Dispatch, DisconnectVpnAnswersOk) {
    EXPECT_EQ(parse(jsonrpc_reply(R"([{"method":"disconnectvpn"}])")), jsonrpc_result_ok);
    EXPECT_NE(log_.text().find("HBS command 'STOP  VPN connection' received."), std::string::npos);
    EXPECT_EQ(agent_state().vpn_state, VPN_STATE_IDLE);
}

TEST_F(Dispatch, InvalidRoutesFailWithoutRunningAnything) {
    for (const char *params :
         {R"({"network":"10.8.0.0","subnet":"255.255.0.0","gateway":"10.8.0.256"})",
          R"({"network":"10.8.0.0","subnet":"255.255.0.0"})",
          R"({"network":"10.8.0.0;reboot","subnet":"255.255.0.0","gateway":"10.8.0.1"})",
          R"x({"network":"$(id)","subnet":"255.255.0.0","gateway":"10.8.0.1"})x"}) {
        std::string req = std::string(R"([{"method":"addroute","params":)") + params + "}]";
        EXPECT_EQ(parse(jsonrpc_reply(req)), jsonrpc_result_fail) << params;
    }
    std::string log = log_.text();
    EXPECT_NE(log.find("ERROR      Error adding route."), std::string::npos);
    EXPECT_EQ(log.find("route add"), std::string::npos);
}

TEST_F(Dispatch, FailedRouteMovesOnToTheNextRequest) {
    std::string req = R"([{"method":"addroute","params":{"network":"1.2.3"}},)"
                      R"({"method":"doupdate","params":{"updatePath":"http://x/fw.bin"}}])";
    EXPECT_EQ(parse(jsonrpc_reply(req)), jsonrpc_result_ok);
    EXPECT_NE(log_.text().find("INFO       updatepath : http://x/fw.bin"), std::string::npos);
}

TEST_F(Dispatch, OddRequests) {
    // val1 that is not JSON: fail.
    EXPECT_EQ(parse(jsonrpc_reply("this is not json")), jsonrpc_result_fail);
    // A method not in the list, doupdate without a path, addroute without params: echo.
    for (const char *req :
         {R"([{"method":"reboot"}])", R"([{"method":"doupdate","params":{}}])",
          R"([{"method":"addroute"}])", R"([17,"x"])", R"({"method":"connectvpn"})"}) {
        std::string r = jsonrpc_reply(req);
        EXPECT_EQ(parse(r), r) << req;
    }
    // Only the first element of the reply is looked at for val1.
    std::string r =
        R"([{"key":"other"},{"key":"jsonrpc","val1":"[{\"method\":\"disconnectvpn\"}]"}])";
    EXPECT_EQ(parse(r), r);
}

TEST(FindHelpers, LookupRules) {
    JsonPtr arr(json_tokener_parse(
        R"([{"key":"a","action":"param","values":["1"]},{"key":"a","action":"param","values":["2","3"]},)"
        R"({"key":"a","action":"other","values":["9"]},{"key":"b"},{"key":5},"s"])"));
    ASSERT_TRUE(arr);
    EXPECT_STREQ(find_param_value(arr.get(), "a", "values", "param"), "3");
    EXPECT_EQ(find_param_value(arr.get(), "b", "values", "param"), nullptr);
    EXPECT_EQ(find_by_key(arr.get(), "key", "b"), json_object_array_get_idx(arr.get(), 3));
    EXPECT_EQ(find_by_key(arr.get(), "key", "5"), nullptr);  // not a string member
    EXPECT_EQ(find_by_key(nullptr, "key", "a"), nullptr);
    JsonPtr obj(json_tokener_parse(R"({"key":"a"})"));
    EXPECT_EQ(find_by_key(obj.get(), "key", "a"), nullptr);
}

}  // namespace
