// The heartbeat reply parser and the commands it dispatches. The first byte
// chooses the portal permission (configuration "action") and how the
// recorded VPN and route commands end; the rest is the reply text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config.h"
#include "dispatch.h"
#include "log.h"
#include "recorded.h"
#include "state.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    agent_log_set_path("/dev/null");
    fuzz::record_agent_commands();
    return 0;
}

namespace {

// A route command must hold nothing but the fixed text and the three quoted
// dotted quads: anything else came from the reply unchecked.
bool route_command_sound(const std::string &cmd) {
    const std::string head = "route add -net ";
    const std::string tail = " >>/var/log/telvsdk-route.log 2>&1";
    if (cmd.compare(0, head.size(), head) != 0) return false;
    if (cmd.size() < head.size() + tail.size() ||
        cmd.compare(cmd.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    std::string middle = cmd.substr(head.size(), cmd.size() - head.size() - tail.size());
    for (char c : middle)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '\'' || c == ' ' ||
              (c >= 'a' && c <= 'z')))
            return false;
    return middle.find(" netmask ") != std::string::npos &&
           middle.find(" gw ") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    fuzz::recorder_reset();
    fuzz::Recorder &r = fuzz::recorder();
    agent_config_reset();
    AgentState &st = agent_state();
    st.config.portal_action = data[0] % 4;  // 3: a value the agent does not know
    r.system_status = (data[0] & 0x10) ? (1 << 8) : 0;
    r.vpn_start_result = (data[0] & 0x20) ? 12 : 0;
    // Permission 2 asks the digital input: its mode and its state.
    r.answers.push_back((data[0] & 0x40) ? "OTHER\n" : "VPN_NOVRA\n");
    r.answers.push_back((data[0] & 0x80) ? "1\n" : "0\n");

    std::string reply(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string answer;
    hbs_reply_parse(reply.c_str(), answer);
    if (answer.size() > 1023) std::abort();

    for (const std::string &cmd : r.commands) {
        if (cmd.rfind("route ", 0) == 0 && !route_command_sound(cmd)) {
            std::fprintf(stderr, "unsound route command: %s\n", cmd.c_str());
            std::abort();
        }
    }
    return 0;
}
