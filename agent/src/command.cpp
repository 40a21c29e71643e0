#include "command.h"

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <vector>

#include "log.h"
#include "rtu/shell.h"
#include "rtu/spawn.h"
#include "state.h"

namespace {

class ShellRunner : public CommandRunner {
  public:
    int run(const std::string &cmd) override { return rtu::spawn_shell_status(cmd); }
    std::optional<std::string> output(const std::string &cmd, std::size_t max_len) override {
        return rtu::spawn_shell_output(cmd, max_len);
    }
};

ShellRunner g_shell;
std::atomic<CommandRunner *> g_runner{&g_shell};

std::mutex g_secrets_lock;
std::vector<std::string> g_secrets;

}  // namespace

void agent_secret_add(const std::string &secret) {
    if (secret.empty()) return;
    std::lock_guard<std::mutex> lock(g_secrets_lock);
    g_secrets.push_back(secret);
}

void agent_secrets_clear() {
    std::lock_guard<std::mutex> lock(g_secrets_lock);
    g_secrets.clear();
}

namespace {

void replace_all(std::string &text, const std::string &what) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 3))
        text.replace(at, what.size(), "***");
}

}  // namespace

std::string agent_mask(std::string text) {
    std::lock_guard<std::mutex> lock(g_secrets_lock);
    for (const std::string &secret : g_secrets) {
        // in a command the secret stands as a shell word, possibly quoted
        replace_all(text, rtu::shell_word(secret));
        replace_all(text, secret);
    }
    return text;
}

std::optional<std::string> agent_command(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(ap2);
        return std::nullopt;
    }
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    int again = std::vsnprintf(out.data(), out.size(), fmt, ap2);
    va_end(ap2);
    if (again != n) return std::nullopt;
    out.resize(static_cast<std::size_t>(n));
    if (out.size() > rtu::kCmdMax - 1) {
        std::string shown = agent_mask(out).substr(0, 60);
        agent_logf(LOG_ERROR, "Command of %d characters is longer than %d - not run: %s...", n,
                   static_cast<int>(rtu::kCmdMax - 1), shown.c_str());
        return std::nullopt;
    }
    return out;
}

std::string agent_word(std::string_view value) {
    return rtu::shell_word(value);
}

std::string agent_word(const std::optional<std::string> &value) {
    return rtu::shell_word(cfg_text(value));
}

void set_command_runner(CommandRunner *runner) {
    g_runner = runner ? runner : &g_shell;
}

int agent_system(const std::optional<std::string> &cmd) {
    if (!cmd) return 127 << 8;
    return g_runner.load()->run(*cmd);
}

std::optional<std::string> agent_output(const std::optional<std::string> &cmd,
                                        std::size_t max_len) {
    if (!cmd) return std::nullopt;
    return g_runner.load()->output(*cmd, max_len);
}

std::optional<std::string> agent_first_line(const std::optional<std::string> &cmd,
                                            std::size_t max_len) {
    std::optional<std::string> out = agent_output(cmd, 1 << 16);
    if (!out) return std::nullopt;
    out->resize(std::min(out->find_first_of("\r\n"), out->size()));
    if (out->size() > max_len) out->resize(max_len);
    return out;
}
