#include "rtu/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "rtu/handles.h"

extern char **environ;

namespace rtu {
namespace {

// Closes every descriptor from 3 up. Runs in the child between fork and
// exec, so only system calls.
void close_inherited(int fd_limit) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
    for (int fd = 3; fd < fd_limit; ++fd) close(fd);
}

int descriptor_limit() {
    struct rlimit rl {};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 65536)
        return 65536;
    return static_cast<int>(rl.rlim_cur);
}

}  // namespace

pid_t spawn_shell(const std::string &cmd, const SpawnOptions &options) {
    // Everything the child needs is prepared before fork: after it, in a
    // process with threads, only async-signal-safe calls are allowed.
    std::string text = cmd;
    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, text.data(), nullptr};
    const int fd_limit = descriptor_limit();
    const pid_t caller = getpid();
    sigset_t none;
    sigemptyset(&none);

    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) {
        // Both sides set the group, so it exists before the caller may signal it.
        if (options.own_group) setpgid(pid, pid);
        return pid;
    }

    // child
    if (options.own_group) setpgid(0, 0);
    if (options.end_with_caller) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != caller) _exit(127);  // the caller is gone already
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGHUP, SIGUSR1, SIGUSR2})
        sigaction(sig, &dfl, nullptr);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.stdout_fd >= 0 && options.stdout_fd != STDOUT_FILENO) {
        if (dup2(options.stdout_fd, STDOUT_FILENO) < 0) _exit(127);
    }
    close_inherited(fd_limit);
    execve("/bin/sh", argv, environ);
    _exit(127);
}

int wait_child(pid_t pid) {
    if (pid <= 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

int spawn_shell_status(const std::string &cmd) {
    return wait_child(spawn_shell(cmd));
}

std::optional<std::string> spawn_shell_output(const std::string &cmd, std::size_t max_len) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);
    SpawnOptions options;
    options.stdout_fd = write_end.get();
    pid_t pid = spawn_shell(cmd, options);
    write_end.reset();
    if (pid < 0) return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(read_end.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::size_t take = out.size() < max_len ? max_len - out.size() : 0;
        out.append(buf, static_cast<std::size_t>(n) < take ? static_cast<std::size_t>(n) : take);
    }
    read_end.reset();
    wait_child(pid);
    return out;
}

}  // namespace rtu
