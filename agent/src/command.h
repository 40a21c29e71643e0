// Shell commands of the agent. Commands are built into the system's fixed
// 1024-byte buffers; one that would not fit is refused and logged rather
// than run cut short. Values from outside are passed through rtu::shell_quote
// by the callers.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

// The formatted command, or nullopt (logged at ERROR) when it is longer
// than 1023 characters.
std::optional<std::string> agent_command(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Runs a command through /bin/sh like system() and returns its raw status
// (SIGINT and SIGQUIT stay with the agent while it runs). A refused command
// counts as a failed one: status 127 << 8, as the shell gives for a missing
// program.
int agent_system(const std::optional<std::string> &cmd);

struct PipeCloser {
    void operator()(FILE *f) const { pclose(f); }
};
using PipePtr = std::unique_ptr<FILE, PipeCloser>;
