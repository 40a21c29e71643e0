// The VPN management thread: the client of OpenVPN's management interface.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "command.h"
#include "console.h"
#include "log.h"
#include "mgmt_text.h"
#include "push.h"
#include "rtu/files.h"
#include "rtu/handles.h"
#include "rtu/shell.h"
#include "rtu/status_files.h"
#include "state.h"
#include "vpn_internal.h"

namespace {

using namespace std::chrono_literals;

constexpr int kMaxConnectTries = 6;

void call_stats(const AgentState &st) {
    VpnStatsCallback cb = st.vpn_stats_callback.load();
    if (cb)
        cb(st.vpn_state.load(), st.vpn_bytes_in.load(), st.vpn_bytes_out.load(),
           st.vpn_inactivity_deadline.load());
}

// Local time as day.month.year hour:minute:second.
std::string local_time_text(std::time_t t) {
    struct tm tm {};
    localtime_r(&t, &tm);
    return rtu::format_bounded(256, "%02d.%02d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                               tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// Sends the whole command; a closed connection is an ordinary failure
// (no SIGPIPE).
bool send_command(int fd, const std::string &cmd) {
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < cmd.size()) {
        ssize_t n = send(fd, cmd.data() + done, cmd.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Results of receive_block besides a byte count.
constexpr long kReceiveFailed = -1;
constexpr long kVpnEnding = -2;   // the VPN is being ended and nothing arrived
constexpr long kNothingYet = -3;  // OpenVPN stayed silent for kQuietLimit

// OpenVPN answers a command at once and reports the byte counts every
// second; a pass that hears nothing for this long goes on without new text
// (the inactivity rule and the wait limit still run).
constexpr auto kQuietLimit = 5s;

// One receive of up to 2000 bytes, waited for at most kQuietLimit. While
// nothing arrives the VPN's end is watched, so that a stop request does not
// wait for OpenVPN's next message. Without watch_exit (the answer to
// "signal SIGTERM") a silence is a failure.
long receive_block(int fd, char *buf, std::size_t size, const AgentState &st, bool watch_exit) {
    if (fd < 0) return kReceiveFailed;
    auto give_up = std::chrono::steady_clock::now() + kQuietLimit;
    for (;;) {
        struct pollfd p {
            fd, POLLIN, 0
        };
        int r = poll(&p, 1, 200);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return kReceiveFailed;
        if (r > 0) break;
        if (watch_exit && st.vpn_state.load() == VPN_STATE_EXITING) return kVpnEnding;
        if (std::chrono::steady_clock::now() > give_up)
            return watch_exit ? kNothingYet : kReceiveFailed;
    }
    ssize_t n;
    do {
        n = recv(fd, buf, size, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Sets the state unless another thread has ended the VPN in the meantime.
void change_state(AgentState &st, int from, int to) {
    if (from == to) return;
    std::int32_t expected = from;
    st.vpn_state.compare_exchange_strong(expected, to);
}

void connected_transition(AgentState &st, const std::optional<VpnServerEntry> &entry) {
    std::time_t now = std::time(nullptr);
    st.vpn_connected_at = local_time_text(now);
    st.vpn_disconnected_at = "-";
    agent_logf(LOG_VPN, "VPN CONNECTED to      %s %s %s at %s", entry ? entry->name : "",
               entry ? entry->host : "", entry ? entry->ip : "", st.vpn_connected_at.c_str());
    struct tm tm {};
    localtime_r(&now, &tm);
    rtu::write_status_file(
        rtu::status::kVpnConnSince,
        rtu::format_cmd("%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                        tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec));
    st.vpn_bytes_in = 0;
    st.vpn_bytes_out = 0;
    st.vpn_activity_mark = 102400;
    st.vpn_inactivity_deadline =
        static_cast<std::int64_t>(now) + static_cast<std::int64_t>(st.config.vpn_inactivity) * 3600;
    push_networks();
}

void check_inactivity(AgentState &st) {
    if (st.vpn_state.load() != VPN_STATE_CONNECTED) return;
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    if (st.vpn_inactivity_deadline.load() - now > 0) return;
    if (st.vpn_bytes_out.load() < st.vpn_activity_mark.load()) {
        rtu::touch_file(rtu::status::kVpnDisconnectMarker);
        st.vpn_inactivity_deadline = 0;
        agent_log(LOG_VPN, "VPN Inactivity timeout.");
    } else {
        st.vpn_inactivity_deadline =
            now + static_cast<std::int64_t>(st.config.vpn_inactivity) * 3600;
        st.vpn_activity_mark = st.vpn_bytes_out.load() + 102400;
        agent_log(LOG_VPN, "VPN Inactivity reset timeout.");
    }
}

// Waits for the OpenVPN thread. OpenVPN normally ends by itself after
// "signal SIGTERM"; when it does not (no management connection was ever made,
// so it still waits in its hold, or it does not react), its process group is
// ended, so neither an orphan nor a waiting agent is left behind.
void end_openvpn(AgentState &st, bool told_to_stop) {
    vpn::ChildProcess &child = vpn_child();
    if (!told_to_stop || !child.wait_gone(5s)) child.terminate(3s, 3s);
    for (int i = 0; i < 40 && st.vpn_thread_active.load(); ++i) std::this_thread::sleep_for(100ms);
    if (st.vpn_thread.joinable() && !st.vpn_thread_active.load()) st.vpn_thread.join();
}

}  // namespace

void vpn_manage() {
    AgentState &st = agent_state();
    st.vpn_stats_callback = console_traffic_line;
    console_traffic_line(0, 0, 0, 0);
    st.vpn_wait_count = 0;

    const int port = st.config.vpn_mgmt_port;
    const std::optional<VpnServerEntry> entry = vpn_server_get(st.vpn_server_index.load());
    std::string pending = vpn::kCmdNone;
    std::string text;  // the received text, kept between passes
    char buf[vpn::kRecvMax];
    rtu::Fd sock;
    bool connected = false;
    int tries = 0;

    while (st.vpn_state.load() == VPN_STATE_IDLE && st.running.load() != 0) {
        sock.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (sock.get() < 0)
            agent_logf(LOG_MGMT_ERROR, "Could not create socket on %s:%d", vpn::kMgmtAddress, port);
        std::this_thread::sleep_for(500ms);
        struct sockaddr_in addr {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, vpn::kMgmtAddress, &addr.sin_addr);
        if (sock.get() < 0 ||
            connect(sock.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
            ++tries;
            agent_logf(LOG_MGMT, "Try #%d to connect to management interface failed. ", tries);
            if (tries >= kMaxConnectTries) {
                agent_log(LOG_VPN_ERROR, "Error - giving up.");
                st.vpn_state = VPN_STATE_EXITING;
            }
            continue;
        }
        change_state(st, VPN_STATE_IDLE, VPN_STATE_HOLD);
        connected = true;
        pending = vpn::kCmdHoldRelease;
        agent_log(LOG_MGMT, "Connected to management interface");
    }

    while (st.vpn_state.load() != VPN_STATE_EXITING) {
        call_stats(st);
        if (vpn::pending_is_command(pending)) {
            if (!send_command(sock.get(), pending)) {
                agent_log(LOG_MGMT_ERROR, "Sending command to management interface failed.");
                st.vpn_state = VPN_STATE_EXITING;
            } else {
                agent_logf(LOG_DEBUG, "> %s", pending.c_str());
            }
        }
        long n = receive_block(sock.get(), buf, sizeof buf, st, true);
        if (n == kVpnEnding) break;  // ended by another thread while OpenVPN was silent
        if (n == kNothingYet) {
            // nothing new to examine
        } else if (n < 0) {
            agent_log(LOG_MGMT_ERROR, "Receiving from management interface failed.");
            st.vpn_state = VPN_STATE_EXITING;
        } else {
            vpn::take_received(text, buf, n);
            agent_logf(LOG_DEBUG, "< %s", text.c_str());

            vpn::MgmtPass pass;
            pass.state = st.vpn_state.load();
            pass.pending = pending;
            pass.wait_count = st.vpn_wait_count.load();
            const int before = pass.state;
            vpn::mgmt_examine(text, pass);
            for (const auto &line : pass.mgmt_log) agent_log(LOG_MGMT, line);
            if (pass.have_bytes) {
                agent_logf(LOG_DEBUG, "in  : %lld", static_cast<long long>(pass.bytes_in));
                agent_logf(LOG_DEBUG, "out : %lld", static_cast<long long>(pass.bytes_out));
                st.vpn_bytes_in = pass.bytes_in;
                st.vpn_bytes_out = pass.bytes_out;
            }
            st.vpn_wait_count = pass.wait_count;
            pending = pass.pending;
            change_state(st, before, pass.state);
            if (pass.connected && st.vpn_state.load() == VPN_STATE_CONNECTED)
                connected_transition(st, entry);
        }
        std::this_thread::sleep_for(500ms);
        if (st.vpn_wait_count.load() > vpn::kMaxWaitWords) {
            agent_log(LOG_VPN_ERROR, "Waited too long for this VPN Connection to succeed.");
            st.vpn_state = VPN_STATE_EXITING;
            st.vpn_wait_count = 0;
            st.vpn_exit_reason = 1;
        }
        check_inactivity(st);
    }

    // End sequence.
    call_stats(st);
    bool told = false;
    if (!send_command(sock.get(), vpn::kCmdSigterm)) {
        agent_log(LOG_MGMT_ERROR, "Sending command to management interface failed.");
        st.vpn_state = VPN_STATE_EXITING;
    } else {
        told = true;
        agent_logf(LOG_DEBUG, "> %s", vpn::kCmdSigterm);
    }
    long n = receive_block(sock.get(), buf, sizeof buf, st, false);
    if (n < 0) {
        agent_log(LOG_MGMT_ERROR, "Receiving from management interface failed.");
    } else {
        vpn::take_received(text, buf, n);
        agent_logf(LOG_DEBUG, "< %s", text.c_str());
    }
    if (st.vpn_exit_reason.load() == 0) {
        st.vpn_disconnected_at = local_time_text(std::time(nullptr));
        agent_logf(LOG_VPN, "VPN DISCONNECTED from %s %s at %s", entry ? entry->name : "",
                   entry ? entry->host : "", st.vpn_disconnected_at.c_str());
    }
    end_openvpn(st, told && connected);
    st.vpn_state = VPN_STATE_IDLE;
    if (st.config.proxy_auth_required != 0) agent_system(proxy_auth_remove_command(st.config));
    call_stats(st);
    sock.reset();
    st.vpn_mgmt_thread_active = false;
}
