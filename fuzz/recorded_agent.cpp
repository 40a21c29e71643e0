// The agent's command runner and VPN controller, recorded instead of run.
#include <optional>
#include <string>

#include "recorded.h"

extern "C" {

// agent_system(const std::optional<std::string>&)
int __wrap__Z12agent_systemRKSt8optionalINSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEE(
    const std::optional<std::string> &cmd) {
    fuzz::Recorder &r = fuzz::recorder();
    if (!cmd) return 127 << 8;
    r.commands.push_back(*cmd);
    return r.system_status;
}

// vpn_start()
int __wrap__Z9vpn_startv() {
    ++fuzz::recorder().vpn_starts;
    return fuzz::recorder().vpn_start_result;
}

// vpn_stop()
int __wrap__Z8vpn_stopv() {
    ++fuzz::recorder().vpn_stops;
    return 0;
}

}  // extern "C"
