#include "agent.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "cert.h"
#include "command.h"
#include "config.h"
#include "console.h"
#include "heartbeat.h"
#include "log.h"
#include "push.h"
#include "rtu/files.h"
#include "rtu/handles.h"
#include "rtu/status_files.h"
#include "rtu/streams.h"
#include "scep.h"
#include "state.h"
#include "vpn.h"
#include "wakeup.h"

namespace {

// Signals reach the process through this pipe: the handler only writes the
// number (async-signal-safe); the signal thread reads it and does the work.
int g_signal_pipe[2] = {-1, -1};
std::atomic<bool> g_sigterm_installed{false};

extern "C" void signal_to_pipe(int sig) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t r = write(g_signal_pipe[1], &b, 1);
    (void)r;
    errno = saved;
}

void signal_thread_main() {
    for (;;) {
        unsigned char b = 0;
        ssize_t r = read(g_signal_pipe[0], &b, 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        int sig = b;
        if (sig == SIGTERM && g_sigterm_installed) {
            on_sigterm(sig);
            continue;
        }
        agent_exit();
    }
}

void install(int sig) {
    struct sigaction sa {};
    sa.sa_handler = signal_to_pipe;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
}

// The output of a LAN detection command, at most 19 characters; false when
// the command cannot be started.
bool read_lan_text(const char *cmd, char *dst) {
    std::optional<std::string> out = agent_output(std::string(cmd), kNetTextSize - 1);
    if (!out) return false;
    std::memset(dst, 0, kNetTextSize);
    rtu::copy_bounded(dst, kNetTextSize, *out);  // read at most kNetTextSize - 1
    return true;
}

void write_status(const char *path, int value) {
    rtu::write_number_file(path, value);
}

// Ends the VPN once for the exit paths: its threads are joined (the
// management thread's end sequence removes the proxy credentials) before
// anything they use is released. A second caller waits for the first.
void end_vpn_for_exit() {
    static std::mutex once;
    static bool ended = false;
    std::lock_guard<std::mutex> lock(once);
    if (ended) return;
    vpn_stop();
    ended = true;
}

}  // namespace

void agent_signals_start() {
    if (g_signal_pipe[0] >= 0) return;
    if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) return;
    (void)std::signal(SIGPIPE, SIG_IGN);  // fails only for an invalid signal
    for (int sig : {SIGINT, SIGQUIT, SIGABRT, SIGTERM}) install(sig);
    std::thread(signal_thread_main).detach();
}

void on_sigterm(int sig) {
    agent_logf(LOG_INFO, "signal %d received - please wait until request has finished.", sig);
    if (sig == SIGTERM) {
        AgentState &st = agent_state();
        st.vpn_state = VPN_STATE_EXITING;
        st.running = 0;
        wakeup_notify();
    }
}

int agent_startup() {
    AgentState &st = agent_state();
    agent_config_reset();
    st.vpn_state = VPN_STATE_IDLE;
    st.vpn_server_index = 0;
    st.vpn_server_count = 0;
    agent_logf(LOG_INFO, "%s %s %s", kSdkName, kSdkVersion, kHyphens);
    struct utsname u {};
    uname(&u);
    agent_logf(LOG_INFO, "%s %s %s %s", u.sysname, u.release, u.version, u.machine);
    for (auto &n : st.networks) n.reset();
    read_agent_config();
    if (!st.config.ca_file)
        agent_log(LOG_INFO,
                  "No CA file configured (TELVSDK_CFG_CA): the system's default CA bundle is used "
                  "and the portal's host name is verified.");
    hbs_status_reset();
    if (curl_global_init(CURL_GLOBAL_SSL) != CURLE_OK) {
        agent_log(LOG_ERROR, "Global init of libcurl failed.");
        return 31;
    }
    if (!st.config.hbs_server) {
        agent_log(LOG_ERROR, "No HBS server configured or error in sdk configuration file!");
        return 30;
    }
    if (rtu::FilePtr f{std::fopen("/var/run/telvsdkd.pid", "w")}) {
        rtu::put(f.get(), "%i", static_cast<int>(getpid()));
        rtu::put_text(f.get(), std::string_view("\0", 1));
        if (!rtu::close_file(std::move(f)))
            agent_log(LOG_ERROR, "Error could not write /var/run/telvsdkd.pid");
    } else {
        agent_log(LOG_ERROR, "Error could not open /var/run/telvsdkd.pid");
    }
    g_sigterm_installed = true;
    agent_logf(LOG_INFO, "pid : %d", static_cast<int>(getpid()));
    agent_logf(LOG_INFO, "verbose : %d", st.config.verbose);
    st.running = 1;
    return 0;
}

void agent_cleanup() {
    curl_global_cleanup();
    agent_config_reset();
    vpn_servers_clear();
    agent_logf(LOG_INFO, "%s %s exit %s", kSdkName, kSdkVersion, kHyphens);
    rtu::flush(stdout);
}

void agent_exit() {
    // Only one thread runs the exit path; a second caller waits for the end.
    static std::once_flag once;
    std::call_once(once, [] {
        using namespace rtu::status;
        // From here on vpn_start refuses: no openvpn is started that nobody ends.
        agent_state().exiting = true;
        wakeup_notify();
        for (const char *f : {kCodeStatus, kHbsStatus, kVpnStatus}) unlink(f);
        end_vpn_for_exit();
        // The main loop may have been writing a status file while they were
        // removed; it has stopped now.
        for (const char *f : {kCodeStatus, kHbsStatus, kVpnStatus}) unlink(f);
        // Status pages must not read a stopped agent as online.
        hbs_report_stopped();
        rtu::flush(nullptr);
        // Other threads may still be inside libcurl: leave without running
        // static destructors or library exit handlers under them.
        _exit(0);
    });
    for (;;) pause();
}

void agent_shutdown() {
    AgentState &st = agent_state();
    st.exiting = true;
    end_vpn_for_exit();
    for (auto &n : st.networks) n.reset();
    agent_cleanup();
    agent_exit();
}

int agent_main() {
    AgentState &st = agent_state();
    rtu::line_buffered(stdout);
    agent_signals_start();
    std::memset(st.network_text, 0, sizeof st.network_text);

    if (!read_lan_text("route -n | grep br-lan | awk '{print $1}' | xargs echo -n", st.lan_network))
        return 1;
    if (!read_lan_text("uci -q get network.lan.netmask | xargs echo -n", st.lan_mask)) return 1;

    if (agent_startup() == 0) {
        st.networks[0] = std::make_unique<NetworkEntry>(NetworkEntry{st.lan_network, st.lan_mask});
        std::printf("network:%s subnet:%s\n", st.lan_network, st.lan_mask);
        read_network_list();
        write_status(rtu::status::kCodeStatus, 99);

        const char *code = st.config.activation_code ? st.config.activation_code->c_str() : nullptr;
        if (cert_check(code) == 21) {
            std::puts("No valid certificate found. Will try to get one online via scep request...");
            if (scep_prepare_request(code) != 0) {
                std::puts("Error in building scep request! Check the logs.");
                st.running = 0;
                agent_cleanup();
                rtu::flush(nullptr);
                _exit(0);
            }
            if (scep_enroll() != 0) {
                agent_log(
                    LOG_ERROR,
                    "Error in getting certificate via scep! Request could only be sent once or "
                    "check the 'reactivation' box in the web portal.");
                // A failed getca or openssl step has written its own status (1, 2).
                if (scep_code_status_written() == 0) write_status(rtu::status::kCodeStatus, 3);
                std::puts("Error in getting certificate. Check the logs.");
                st.running = 0;
                agent_cleanup();
                agent_system(std::string("/bin/ubus call service delete '{\"name\":\"novra\"}'"));
                rtu::flush(nullptr);
                _exit(0);
            }
            std::printf("Successfully received certificate with activation code : %s\n", code);
            write_status(rtu::status::kCodeStatus, 0);
        }
        write_status(rtu::status::kCodeStatus, 0);
        std::puts("telvsdk v0.22");
        std::printf("activation code : %s\n", cfg_text(st.config.activation_code));
        std::printf("hbs-server      : %s\n", cfg_text(st.config.hbs_server));
        write_status(rtu::status::kHbsStatus, 0);

        while (st.running == 1) {
            if (hbs_connection_create() != 0) {
                // no connection is up while the agent waits to try again
                write_status(rtu::status::kHbsStatus, 1);
                std::puts("No communication to hbs-server!");
                wait_for_or(30.0, stop_main);
                write_status(rtu::status::kHbsStatus, 1);
                hbs_connection_stop();
                continue;
            }
            write_status(rtu::status::kHbsStatus, 2);
            push_get_vpn_servers();
            for (int i = 0; i < st.vpn_server_count; ++i) {
                if (auto e = vpn_server_get(i))
                    std::printf("vpn-server #%d   : %s %s %s\n", i + 1, e->name, e->host, e->ip);
            }
            std::puts(kConsoleHeader);
            int counter = 0;
            while (st.hbs_state == HBS_SM_RUNNING && st.running == 1 && !st.exiting) {
                ++counter;
                console_status_line(counter);
                console_poll_vpn_markers();
                wait_for_or(1.0, [&] {
                    return stop_main() || st.exiting || st.hbs_state != HBS_SM_RUNNING;
                });
            }
            if (st.exiting) agent_exit();                // waits for the exit path in progress
            if (st.running == 1) hbs_connection_stop();  // the next connection starts at once
        }
        write_status(rtu::status::kHbsStatus, 1);
        hbs_connection_stop();
    }
    agent_shutdown();
}
