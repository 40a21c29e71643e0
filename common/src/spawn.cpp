#include "rtu/spawn.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char **environ;

namespace rtu {

int spawn_shell_status(const std::string &cmd) {
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return -1;
    sigset_t def, none;
    sigemptyset(&def);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) sigaddset(&def, sig);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &def);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    std::string text = cmd;
    char *argv[] = {sh, dash_c, text.data(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace rtu
