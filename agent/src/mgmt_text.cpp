#include "mgmt_text.h"

#include <cstring>

#include "rtu/numbers.h"
#include "rtu/split.h"

namespace vpn {
namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool holds_again(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        if (starts_with(text.substr(at), kHoldNotice)) return true;
        std::size_t lf = text.find('\n', at);
        if (lf == std::string_view::npos) break;
        at = lf + 1;
    }
    return false;
}

}  // namespace

bool pending_is_command(std::string_view pending) {
    return pending.empty() || pending[0] != '-';
}

void take_received(std::string &text, const char *raw, long n) {
    if (n < 2) return;
    if (n > static_cast<long>(kRecvMax)) n = static_cast<long>(kRecvMax);
    std::size_t len = static_cast<std::size_t>(n) - 1;
    // text ends at the first zero byte, as in a C buffer
    const void *nul = std::memchr(raw, '\0', len);
    if (nul) len = static_cast<std::size_t>(static_cast<const char *>(nul) - raw);
    text.assign(raw, len);
}

std::vector<std::string_view> split_fields(std::string_view text) {
    return rtu::split_fields(text, ",");
}

void mgmt_examine(std::string_view text, MgmtPass &p) {
    // the four tests on the start of the text, each on the state left by the one before
    if (starts_with(text, "SUCCESS: hold release succeeded") && p.state == kStateHold) {
        p.mgmt_log.emplace_back("HOLD release succeeded");
        p.pending = kCmdState;
        p.state = kStateConnecting;
    }
    // OpenVPN holds again after every restart of its connection (reset,
    // ping-restart, TLS failure); the number after the prefix is its retry
    // pause, which grows with each restart. The notice may follow other lines
    // of the same block.
    if ((p.state == kStateConnecting || p.state == kStateConnected) && holds_again(text)) {
        p.state = kStateHold;
        p.pending = kCmdHoldRelease;
    }
    if (starts_with(text, "SUCCESS: bytecount") && p.state == kStateConnected) {
        p.pending = kCmdNone;
    }
    if (starts_with(text, ">BYTECOUNT:") && p.state == kStateConnected) {
        std::size_t colon = text.find(':');
        std::size_t comma = text.find(',');
        if (colon != std::string_view::npos && comma != std::string_view::npos) {
            std::string_view in =
                comma > colon ? text.substr(colon + 1, comma - colon - 1) : std::string_view{};
            // leading digits (with an optional sign) as 64 bits, like strtoll
            p.bytes_in = rtu::leading_number(in).value_or(0);
            p.bytes_out = rtu::leading_number(text.substr(comma + 1)).value_or(0);
            p.have_bytes = true;
        }
        p.pending = kCmdNone;
    }

    for (std::string_view f : split_fields(text)) {
        if (f == "CONNECTED") {
            if (p.state == kStateConnecting) {
                p.state = kStateConnected;
                p.connected = true;
                p.pending = kCmdBytecount;
                break;
            }
            if (p.state == kStateConnected) {
                p.pending = kCmdNone;
                break;
            }
        } else if (f == "CONNECTING" || f == "WAIT" || f == "AUTH") {
            ++p.wait_count;
            p.mgmt_log.emplace_back(f);
        } else if (f == "GET_CONFIG" || f == "ASSIGN_IP" || f == "ADD_ROUTES") {
            p.mgmt_log.emplace_back(f);
        } else if (f == "RECONNECTING") {
            ++p.wait_count;
            p.mgmt_log.emplace_back(f);
            p.pending = kCmdState;
            if (p.state != kStateExiting) p.state = kStateConnecting;
        } else if (f == "EXITING") {
            p.pending = kCmdState;
            p.mgmt_log.emplace_back(f);
        }
    }
}

}  // namespace vpn
