// Seams of the fuzz targets: commands the code under test would run are
// recorded here instead (the linker sends the calls to the __wrap_ functions).
#pragma once

#include <deque>
#include <string>
#include <vector>

namespace fuzz {

struct Recorder {
    std::vector<std::string> commands;  // popen and system commands, in order
    std::deque<std::string> answers;    // output of the next popen calls
    int system_status = 0;              // raw status the agent's command runner returns
    int vpn_starts = 0;
    int vpn_stops = 0;
    int vpn_start_result = 0;
};

Recorder &recorder();
void recorder_reset();

}  // namespace fuzz
