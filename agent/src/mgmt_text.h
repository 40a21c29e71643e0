// Reading OpenVPN's management interface: what one received block of text
// does to the VPN state, the pending command and the counters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vpn {

// VPN state values (same numbers as the agent's VpnState).
inline constexpr int kStateIdle = 0;
inline constexpr int kStateHold = 1;
inline constexpr int kStateConnecting = 2;
inline constexpr int kStateConnected = 3;
inline constexpr int kStateExiting = 99;

inline constexpr std::size_t kRecvMax = 2000;

// Commands sent to OpenVPN; "-" is the pending value that sends nothing.
inline constexpr const char *kCmdHoldRelease = "hold release\n";
inline constexpr const char *kCmdState = "state\n";
inline constexpr const char *kCmdBytecount = "bytecount 1\n";
inline constexpr const char *kCmdSigterm = "signal SIGTERM\n";
inline constexpr const char *kCmdNone = "-";

// OpenVPN's notice that it waits in its management hold (followed by its
// retry pause in seconds).
inline constexpr std::string_view kHoldNotice = ">HOLD:Waiting for hold release:";

// The connection is given up after more than this many waiting state words.
inline constexpr int kMaxWaitWords = 20;

// One pass's view of the management thread's variables. mgmt_examine reads
// and changes it; the caller applies the outcome.
struct MgmtPass {
    int state = kStateIdle;
    std::string pending = kCmdNone;
    int wait_count = 0;
    // outcome of the block
    bool connected = false;     // CONNECTING -> CONNECTED on this block
    bool have_bytes = false;    // a byte-count notification was parsed
    std::int64_t bytes_in = 0;  // OpenVPN's running totals, whole
    std::int64_t bytes_out = 0;
    std::vector<std::string> mgmt_log;  // lines to log at MGMT
};

// True when the pending command is to be sent (it does not begin with '-').
bool pending_is_command(std::string_view pending);

// Applies a receive of n bytes (raw) to the current text: with 2 or more
// bytes the last byte is dropped (it is the line end); with 0 or 1 byte the
// previous text stays and is examined again.
void take_received(std::string &text, const char *raw, long n);

// Examines one block: the four tests on its start, then its comma-separated
// fields. An EXITING state is never left here.
void mgmt_examine(std::string_view text, MgmtPass &pass);

// Splits at commas; runs of commas are one separator, empty fields skipped.
std::vector<std::string_view> split_fields(std::string_view text);

}  // namespace vpn
