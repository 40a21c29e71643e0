// Running a shell command without touching the caller's signal handling.
#pragma once

#include <string>

namespace rtu {

// Runs cmd through /bin/sh -c like system() and returns the same raw wait
// status (-1 when no shell could be started). Unlike system() it does not
// ignore SIGINT and SIGQUIT in the calling process while the command runs,
// so a multi-threaded daemon keeps receiving them; the child starts with
// default dispositions for SIGINT, SIGQUIT, SIGTERM and SIGPIPE and an empty
// signal mask.
int spawn_shell_status(const std::string &cmd);

}  // namespace rtu
