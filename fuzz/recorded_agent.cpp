// The agent's command runner and VPN commands, recorded instead of run
// (through the agent's own seams: set_command_runner, set_dispatch_actions).
#include <algorithm>
#include <optional>
#include <string>

#include "command.h"
#include "dispatch.h"
#include "recorded.h"

namespace fuzz {
namespace {

class RecordingRunner : public CommandRunner {
  public:
    int run(const std::string &cmd) override {
        recorder().commands.push_back(cmd);
        return recorder().system_status;
    }
    // The next scripted answer; none: the command could not be started.
    std::optional<std::string> output(const std::string &cmd, std::size_t max_len) override {
        Recorder &r = recorder();
        r.commands.push_back(cmd);
        if (r.answers.empty()) return std::nullopt;
        std::string out = r.answers.front();
        r.answers.pop_front();
        out.resize(std::min(out.size(), max_len));
        return out;
    }
};

int recorded_vpn_start() {
    ++recorder().vpn_starts;
    return recorder().vpn_start_result;
}

int recorded_vpn_stop() {
    ++recorder().vpn_stops;
    return 0;
}

}  // namespace

void record_agent_commands() {
    static RecordingRunner runner;
    static const DispatchActions actions{recorded_vpn_start, recorded_vpn_stop};
    set_command_runner(&runner);
    set_dispatch_actions(&actions);
}

}  // namespace fuzz
