// Seams of the fuzz targets: commands the code under test would run are
// recorded here instead (the agent's command runner and VPN commands through
// its own seams, the gateways' popen through the linker's __wrap_popen).
#pragma once

#include <deque>
#include <string>
#include <vector>

namespace fuzz {

struct Recorder {
    std::vector<std::string> commands;  // commands run or read, in order
    std::deque<std::string> answers;    // output of the next commands read
    int system_status = 0;              // raw status the agent's command runner returns
    int vpn_starts = 0;
    int vpn_stops = 0;
    int vpn_start_result = 0;
};

Recorder &recorder();
void recorder_reset();

// Sends the agent's commands and its VPN start and stop to the recorder.
void record_agent_commands();

}  // namespace fuzz
