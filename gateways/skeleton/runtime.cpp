// Start-up, pid file and signal handling shared by the gateway daemons.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway.h"
#include "rtu/streams.h"

namespace gw {
namespace {

constexpr int kSlots = 4;
std::atomic<int> g_fds[kSlots] = {-1, -1, -1, -1};
static_assert(std::atomic<int>::is_always_lock_free);

// Pid file path; set once before the handlers are installed.
char g_pid_path[kPathMax + 1];
std::atomic<bool> g_pid_written{false};

// Only async-signal-safe calls: close, unlink, _exit.
[[noreturn]] void finish(int status) {
    for (auto &slot : g_fds) {
        int fd = slot.exchange(-1);
        if (fd >= 0) ::close(fd);
    }
    if (g_pid_written.load() && g_pid_path[0]) ::unlink(g_pid_path);
    ::_exit(status);
}

void on_fail_signal(int) {
    finish(1);
}
void on_quit_signal(int) {
    finish(0);
}

void install(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sigaddset(&sa.sa_mask, SIGQUIT);
    sigaction(sig, &sa, nullptr);
}

}  // namespace

void track_fd(FdSlot slot, int fd) {
    g_fds[slot].store(fd);
}

void close_fd(int &fd, FdSlot slot) {
    if (fd >= 0) {
        g_fds[slot].store(-1);
        ::close(fd);
    }
    fd = -1;
}

void exit_daemon(int status) {
    rtu::flush(stdout);
    finish(status);
}

std::string parse_command_line(int argc, char **argv) {
    std::string path;
    int c;
    while ((c = getopt(argc, argv, "c:")) != -1) {
        if (c == 'c')
            path.assign(optarg ? optarg : "");
        else
            exit_daemon(1);
    }
    return path.substr(0, kPathMax);
}

void start_daemon(const char *pid_path) {
    rtu::line_buffered(stdout);
    // A path cut short would name another file: none is removed then.
    if (!rtu::copy_bounded(g_pid_path, sizeof g_pid_path, pid_path)) g_pid_path[0] = '\0';
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, nullptr);

    int fd = ::open(pid_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char buf[32];
        int n = std::snprintf(buf, sizeof buf, "%d\n", static_cast<int>(getpid()));
        g_pid_written.store(true);
        if (::write(fd, buf, static_cast<std::size_t>(n)) != n)
            rtu::put_text(stderr, "write pid file fail\n");
        ::close(fd);
    }
    install(SIGINT, on_fail_signal);
    install(SIGTERM, on_fail_signal);
    install(SIGQUIT, on_quit_signal);
}

}  // namespace gw
