// The rule codes of the digital I/O daemon, as tables: for a DI code the DI
// edge it waits for and the action it then takes; for a DO code the condition
// it checks on every pass and the level it then drives DO to. Codes outside
// the tables do nothing.
#pragma once

namespace dio {

enum class DiEdge {
    turned_on,   // current DI 0, previous DI 1
    turned_off,  // current DI 1, previous DI 0
    every_pass,
};

enum class DiAction {
    vpn_on,          // "trigger_vpn.sh on"
    vpn_off,         // "trigger_vpn.sh off"
    mobile_restart,  // "/etc/init.d/modem restart" (after touching /tmp/.modem_connect)
    mobile_stop,     // "/etc/init.d/modem stop"
    sms_di_off,      // the SMS of a DI that went off (mark 1); the mark is cleared either way
    sms_di_on,       // the SMS of a DI that went on (mark 2); the mark is cleared either way
    vpn_disconnect,  // VPN connected, portal action 2 and DI 1: the agent's disconnect marker
};

struct DiRule {
    DiEdge edge;
    DiAction action;
    const char *printed;  // printed before the action, or nullptr
};

// DI codes 1 to 15, in order.
inline constexpr DiRule kDiRules[] = {
    {DiEdge::turned_on, DiAction::vpn_on, "start_vpn_s_service\n"},            // 1
    {DiEdge::turned_off, DiAction::vpn_on, "start_vpn_s_service\n"},           // 2
    {DiEdge::turned_on, DiAction::vpn_off, "close_vpn_s_service\n"},           // 3
    {DiEdge::turned_off, DiAction::vpn_off, "close_vpn_s_service\n"},          // 4
    {DiEdge::turned_on, DiAction::vpn_on, "start_vpn_c_service\n"},            // 5
    {DiEdge::turned_off, DiAction::vpn_on, "start_vpn_c_service\n"},           // 6
    {DiEdge::turned_on, DiAction::vpn_off, "close_vpn_c_service\n"},           // 7
    {DiEdge::turned_off, DiAction::vpn_off, "close_vpn_c_service\n"},          // 8
    {DiEdge::turned_on, DiAction::mobile_restart, "start_mobile_service\n"},   // 9
    {DiEdge::turned_off, DiAction::mobile_stop, "close_mobile_service\n"},     // 10
    {DiEdge::turned_on, DiAction::mobile_stop, "close_mobile_service\n"},      // 11
    {DiEdge::turned_off, DiAction::mobile_restart, "start_mobile_service\n"},  // 12
    {DiEdge::every_pass, DiAction::sms_di_off, nullptr},                       // 13
    {DiEdge::every_pass, DiAction::sms_di_on, nullptr},                        // 14
    {DiEdge::every_pass, DiAction::vpn_disconnect, nullptr},                   // 15
};

enum class DoCondition {
    vpn_running,  // "pidof openvpn" prints something
    vpn_not_running,
    eth1_connected,  // databoard's eth1_link_status is "connected"
    eth1_not_connected,
    always,
};

enum class DoLevel {
    low,
    high,
    vpn_not_connected,  // high unless /tmp/vpn_status holds 3 (connected)
};

struct DoRule {
    DoCondition condition;
    DoLevel level;
    bool print_case;  // "check do_case:N" printed before the condition is checked
};

// DO codes 1 to 13, in order.
inline constexpr DoRule kDoRules[] = {
    {DoCondition::vpn_running, DoLevel::low, true},            // 1
    {DoCondition::vpn_running, DoLevel::high, false},          // 2
    {DoCondition::vpn_not_running, DoLevel::low, false},       // 3
    {DoCondition::vpn_not_running, DoLevel::high, true},       // 4
    {DoCondition::vpn_running, DoLevel::low, false},           // 5
    {DoCondition::vpn_running, DoLevel::high, false},          // 6
    {DoCondition::vpn_not_running, DoLevel::low, false},       // 7
    {DoCondition::vpn_not_running, DoLevel::high, false},      // 8
    {DoCondition::eth1_connected, DoLevel::low, false},        // 9
    {DoCondition::eth1_connected, DoLevel::high, false},       // 10
    {DoCondition::eth1_not_connected, DoLevel::low, false},    // 11
    {DoCondition::eth1_not_connected, DoLevel::high, false},   // 12
    {DoCondition::always, DoLevel::vpn_not_connected, false},  // 13
};

// The rule of a code, nullptr for a code outside its table.
template <typename Rule, int N>
constexpr const Rule *rule_of(const Rule (&table)[N], int code) {
    return code >= 1 && code <= N ? &table[code - 1] : nullptr;
}

}  // namespace dio
