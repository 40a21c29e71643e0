// Every shell command of the agent goes through here.
//
// A command is built into the system's 1024-byte buffer: one that would be
// longer is refused and logged, never run cut short. A value from outside
// (portal, configuration) goes in as agent_word(): unchanged when the shell
// would read it as one plain word, quoted otherwise. Secrets (the proxy
// password) never reach the log: every text this module logs has them
// masked. The commands run through one runner, which tests and fuzz targets
// replace (set_command_runner) to record commands instead of running them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The formatted command, or nullopt (logged at ERROR, secrets masked) when it
// is longer than 1023 characters.
std::optional<std::string> agent_command(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));

// A value as one shell word (rtu::shell_word); an absent value gives the
// text "(null)" as the Parts' printf would.
std::string agent_word(const std::optional<std::string> &value);
std::string agent_word(std::string_view value);
inline std::string agent_word(const char *value) {
    return agent_word(value ? std::string_view(value) : std::string_view("(null)"));
}

// Texts that must never be logged. Registered when read (the proxy
// password); agent_mask() writes each occurrence as "***".
void agent_secret_add(const std::string &secret);
void agent_secrets_clear();
std::string agent_mask(std::string text);

// How commands are run.
class CommandRunner {
  public:
    virtual ~CommandRunner() = default;
    // Runs the command to its end: the raw wait status like system(), -1 when
    // it could not be started.
    virtual int run(const std::string &cmd) = 0;
    // Runs the command and returns its standard output (at most max_len
    // bytes), or nullopt when it could not be started.
    virtual std::optional<std::string> output(const std::string &cmd, std::size_t max_len) = 0;
};

// Installs a runner (nullptr: the shell again). The runner must outlive its use.
void set_command_runner(CommandRunner *runner);

// Runs a command; a refused one (nullopt) counts as failed: status 127 << 8,
// as the shell gives for a missing program.
int agent_system(const std::optional<std::string> &cmd);

// The command's output, or nullopt when it was refused or could not be started.
std::optional<std::string> agent_output(const std::optional<std::string> &cmd,
                                        std::size_t max_len = 4096);

// The first line of the command's output without its line end (at most
// max_len characters), or nullopt when it was refused or could not be started.
std::optional<std::string> agent_first_line(const std::optional<std::string> &cmd,
                                            std::size_t max_len = 1023);
