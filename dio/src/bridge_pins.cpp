#include "bridge_pins.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "rtu/shell.h"

namespace dio {

BridgePins::BridgePins(std::string path, Bridge bridge, DaemonHost &host)
    : path_(std::move(path)), bridge_(std::move(bridge)), host_(host) {}

int BridgePins::result(int r) {
    if (r < 0) {
        failed_ = true;
    } else if (lost_) {
        lost_ = false;
        log("bridge " + path_ + " back after " + std::to_string(opens_) + " open(s)");
    }
    return r;
}

int BridgePins::read_state(std::int32_t &value) {
    if (!bridge_) return report_request(XR_USB_SERIAL_GET_REG, -1);
    return result(bridge_->get_reg(kRegGpioState, value));
}

int BridgePins::drive(std::int32_t mask, bool high) {
    if (!bridge_) return report_request(XR_USB_SERIAL_SET_REG, -1);
    return result(bridge_->set_reg(high ? kRegGpioSet : kRegGpioClear, mask));
}

void BridgePins::begin_pass() {
    if (bridge_) return;
    ++opens_;
    bridge_ = Bridge::open(path_);
}

void BridgePins::wait(unsigned seconds) {
    if (failed_ && bridge_) let_go("a request failed");
    failed_ = false;
    if (!bridge_) {
        ::sleep(seconds);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    int r = bridge_->wait_hangup(static_cast<int>(seconds) * 1000);
    if (r == 0 || (r < 0 && errno == EINTR)) return;
    if (r > 0) let_go("hung up");
    // The rest of the period: the port was let go, or poll could not wait.
    const auto spent =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    if (spent.count() < static_cast<long>(seconds))
        ::sleep(seconds - static_cast<unsigned>(spent.count()));
}

void BridgePins::let_go(const char *why) {
    bridge_.reset();
    if (lost_) return;
    lost_ = true;
    opens_ = 0;
    log("bridge " + path_ + " lost (" + why + "), opening it again once a pass");
}

void BridgePins::log(const std::string &text) {
    host_.print(text + "\n");
    host_.run("logger -t pinctl " + rtu::shell_quote(text) + " 2>/dev/null");
}

}  // namespace dio
