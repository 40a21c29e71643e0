// Starting shell commands: one way for every program.
//
// The child runs "/bin/sh -c cmd" with default dispositions for the signals
// a daemon handles or ignores (INT, QUIT, TERM, PIPE, HUP, USR1, USR2), an
// empty signal mask, and no descriptor of the caller but 0, 1 and 2: a
// socket or file the caller holds is never left open in a script or tool
// (a second holder of a management connection, a listening port kept busy
// after the daemon ended). Unlike system() the caller keeps receiving SIGINT
// and SIGQUIT while the command runs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace rtu {

struct SpawnOptions {
    // The child leads a process group of its own (so the group can be ended).
    bool own_group = false;
    // The child gets SIGTERM when the calling thread ends, also when the
    // whole caller is killed, so a long-running child never outlives its
    // owner. This reaches the program the command runs only when the shell
    // replaces itself by it: start such a command with "exec ".
    bool end_with_caller = false;
    // The child's standard output, when not the caller's.
    int stdout_fd = -1;
};

// Starts the command; its process id, or -1 when it could not be started.
pid_t spawn_shell(const std::string &cmd, const SpawnOptions &options = {});

// Waits for a child (retrying when interrupted): its raw wait status, or -1.
int wait_child(pid_t pid);

// Runs the command to its end: the raw wait status like system(), -1 when no
// shell could be started.
int spawn_shell_status(const std::string &cmd);

// Runs the command with its standard output read through a pipe; the output
// (at most max_len bytes, the rest read and dropped so the command never dies
// of a broken pipe), or nullopt when it could not be started.
std::optional<std::string> spawn_shell_output(const std::string &cmd, std::size_t max_len);

}  // namespace rtu
