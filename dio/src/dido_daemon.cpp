#include "dido_daemon.h"

#include "rtu/files.h"
#include "rtu/numbers.h"
#include "rtu/shell.h"
#include "rtu/status_files.h"
#include "rule_codes.h"
#include "xr_bridge.h"

namespace dio {
namespace {

const char *const kEventDiOff =
    "/usr/sbin/event_notify.sh all 21 'Digital Input changed from ON to OFF' 2>/dev/null &";
const char *const kEventDiOn =
    "/usr/sbin/event_notify.sh all 20 'Digital Input changed from OFF to ON' 2>/dev/null &";
const char *const kEventDoOff =
    "/usr/sbin/event_notify.sh all 23 'Digital Output changed from ON to OFF' 2>/dev/null &";
const char *const kEventDoOn =
    "/usr/sbin/event_notify.sh all 22 'Digital Output changed from OFF to ON' 2>/dev/null &";

// First line of a command's output as fgets into a buffer of size would give it.
std::string first_line(const std::string &out, std::size_t size) {
    return rtu::cut_at_line_end(std::string_view(out).substr(0, size - 1));
}

}  // namespace

bool DidoDaemon::is_running(const std::string &cmd) {
    return !first_line(host_.output(cmd + " 2>/dev/null", 128), 128).empty();
}

bool DidoDaemon::equals_word(const std::string &cmd, const std::string &word) {
    return first_line(host_.output(cmd + " 2>/dev/null", 256), 256) == word;
}

int DidoDaemon::number_of(const std::string &cmd) {
    std::string out = host_.output(cmd + " 2>/dev/null", 256);
    if (out.empty()) return -1;
    return rtu::leading_int(first_line(out, 256));
}

bool DidoDaemon::eth1_connected() {
    return equals_word("databoard get common \"eth1_link_status\"", "connected");
}

int DidoDaemon::read_pin(std::int32_t mask) {
    std::int32_t state = 0;
    if (io_.read_state(state) < 0) return -1;
    return (state & mask) ? 1 : 0;
}

void DidoDaemon::set_do(bool high) {
    io_.drive(kMaskDo, high);
}

void DidoDaemon::start() {
    host_.print("dido_daemon\n");
    host_.set_shared("do_status", "1");
    host_.set_shared("di_status", "1");
}

void DidoDaemon::set_led(const char *which, int reading) {
    host_.print(rtu::format_cmd("change_dido_led %s, %d\n", which, reading));
    const char *file =
        which[1] == 'i' ? "/sys/class/gpio/gpio13/value" : "/sys/class/gpio/gpio8/value";
    host_.run(rtu::format_cmd("echo %d > %s", reading != 0 ? 1 : 0, file));
}

// SIGUSR2: drive DO and the SIM selector from the shared values. A value
// that is absent counts as neither 1 nor 2: DO 0, slot 1.
void DidoDaemon::apply_shared_values() {
    auto level = host_.get_shared("do_status");
    if (level && rtu::leading_int(*level) == 1) {
        set_do(true);
        host_.print("set do 1\n");
    } else {
        set_do(false);
        host_.print("set do 0\n");
    }
    auto slot = host_.get_shared("set_sim_slot");
    if (slot && rtu::leading_int(*slot) == 2) {
        io_.drive(kMaskSimSlot, true);
        host_.print("set sim slot 2\n");
    } else {
        io_.drive(kMaskSimSlot, false);
        host_.print("set sim slot 1\n");
    }
}

void DidoDaemon::sample_di() {
    cur_di_ = read_pin(kMaskDi);
    if (cur_di_ == prev_di_) return;
    host_.set_shared("di_status", std::to_string(cur_di_));
    if (cur_di_ == 1) {
        host_.run(kEventDiOff);
        sms_mark_ = kSmsDiOff;
    } else {
        host_.run(kEventDiOn);
        sms_mark_ = kSmsDiOn;
    }
    set_led("di", cur_di_);
}

void DidoDaemon::sample_do() {
    cur_do_ = read_pin(kMaskDo);
    if (cur_do_ == prev_do_) return;
    host_.set_shared("do_status", std::to_string(cur_do_));
    prev_do_ = cur_do_;
    host_.run(cur_do_ == 1 ? kEventDoOff : kEventDoOn);
    set_led("do", cur_do_);
}

void DidoDaemon::vpn_trigger(const char *word) {
    std::string cmd = rtu::format_cmd("trigger_vpn.sh %s 2>/dev/null", word);
    host_.print(rtu::format_cmd("trigger_vpn cmd is %s\n", cmd.c_str()));
    host_.run_piped(cmd);
}

void DidoDaemon::mobile_service(const char *word) {
    if (std::string_view(word) == "restart") {
        host_.print("str is restart\n");
        host_.run("touch /tmp/.modem_connect");
    }
    std::string cmd = rtu::format_cmd("/etc/init.d/modem %s 2>/dev/null", word);
    host_.print(rtu::format_cmd("trigger_modbile cmd is %s\n", cmd.c_str()));
    host_.run(cmd);
}

void DidoDaemon::di_action(int code) {
    const DiRule *rule = rule_of(kDiRules, code);
    if (!rule) return;
    if (rule->edge == DiEdge::turned_on && !di_turned_on()) return;
    if (rule->edge == DiEdge::turned_off && !di_turned_off()) return;
    if (rule->printed) host_.print(rule->printed);
    switch (rule->action) {
        case DiAction::vpn_on:
            vpn_trigger("on");
            break;
        case DiAction::vpn_off:
            vpn_trigger("off");
            break;
        case DiAction::mobile_restart:
            mobile_service("restart");
            break;
        case DiAction::mobile_stop:
            mobile_service("stop");
            break;
        case DiAction::sms_di_off:
        case DiAction::sms_di_on: {
            // Either code clears the mark, whether or not it was the one it sends for.
            int wanted = rule->action == DiAction::sms_di_off ? kSmsDiOff : kSmsDiOn;
            if (sms_mark_ == wanted) {
                host_.print(rtu::format_cmd("send sms %d\n", wanted));
                host_.run(rtu::format_cmd("event_notify.sh didosms %d", wanted));
            }
            sms_mark_ = kSmsNone;
            break;
        }
        case DiAction::vpn_disconnect:
            if (host_.read_number(rtu::status::kVpnStatus) == rtu::status::kVpnConnected &&
                number_of("uci -q get novra.config.action") == 2 && cur_di_ == 1)
                host_.touch(rtu::status::kVpnDisconnectMarker);
            break;
    }
}

void DidoDaemon::do_action(int code) {
    const DoRule *rule = rule_of(kDoRules, code);
    if (!rule) return;
    if (rule->print_case) host_.print(rtu::format_cmd("check do_case:%d\n", code));
    bool holds = true;
    switch (rule->condition) {
        case DoCondition::vpn_running:
            holds = is_running("pidof openvpn");
            break;
        case DoCondition::vpn_not_running:
            holds = !is_running("pidof openvpn");
            break;
        case DoCondition::eth1_connected:
            holds = eth1_connected();
            break;
        case DoCondition::eth1_not_connected:
            holds = !eth1_connected();
            break;
        case DoCondition::always:
            break;
    }
    if (!holds) return;
    switch (rule->level) {
        case DoLevel::low:
            set_do(false);
            break;
        case DoLevel::high:
            set_do(true);
            break;
        case DoLevel::vpn_not_connected:
            set_do(host_.read_number(rtu::status::kVpnStatus) != rtu::status::kVpnConnected);
            break;
    }
}

void DidoDaemon::pass(bool apply_shared) {
    if (apply_shared) apply_shared_values();
    sample_di();
    sample_do();
    const int di_codes[2] = {codes_.di1, codes_.di2};
    const int do_codes[2] = {codes_.do1, codes_.do2};
    for (int rule = 0; rule < 2; ++rule) {
        di_action(di_codes[rule]);
        do_action(do_codes[rule]);
    }
}

}  // namespace dio
