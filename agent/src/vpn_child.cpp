#include "vpn_child.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include "rtu/spawn.h"

namespace vpn {

void ChildProcess::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = false;
    pid_ = -1;
    reaped_ = true;
}

bool ChildProcess::start(const std::string &cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return false;
    rtu::SpawnOptions options;
    options.own_group = true;
    // openvpn ends with the thread that waits for it, also when the agent is
    // killed: no tunnel (and no management port) outlives the agent.
    options.end_with_caller = true;
    pid_t pid = rtu::spawn_shell(cmd, options);
    if (pid < 0) return false;
    pid_ = pid;
    reaped_ = false;
    return true;
}

int ChildProcess::wait() {
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reaped_) return -1;
        pid = pid_;
    }
    // Wait for the end without reaping, so that the process id cannot be
    // taken by another process while terminate() may still signal it.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
        if (errno != EINTR) break;
    }
    int status = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pid_t r;
        do {
            r = waitpid(pid, &status, 0);
        } while (r < 0 && errno == EINTR);
        if (r != pid) status = -1;
        reaped_ = true;
    }
    cv_.notify_all();
    return status;
}

void ChildProcess::signal_locked(int sig) {
    if (!reaped_ && pid_ > 0) kill(-pid_, sig);
}

bool ChildProcess::terminate(std::chrono::milliseconds grace, std::chrono::milliseconds kill_wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    cancelled_ = true;
    if (reaped_) return true;
    signal_locked(SIGTERM);
    if (cv_.wait_for(lock, grace, [this] { return reaped_; })) return true;
    signal_locked(SIGKILL);
    return cv_.wait_for(lock, kill_wait, [this] { return reaped_; });
}

bool ChildProcess::wait_gone(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, bound, [this] { return reaped_; });
}

bool ChildProcess::running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !reaped_;
}

pid_t ChildProcess::pid() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reaped_ ? -1 : pid_;
}

}  // namespace vpn
