#include "rtu/shell.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "rtu/spawn.h"

namespace rtu {
namespace {

__attribute__((format(printf, 2, 0))) std::string vformat_bounded(std::size_t size, const char *fmt,
                                                                  va_list ap) {
    if (size == 0) return {};
    std::string out(size, '\0');
    int n = std::vsnprintf(out.data(), size, fmt, ap);
    if (n < 0) return {};
    out.resize(static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1);
    return out;
}

}  // namespace

std::string format_cmd(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat_bounded(kCmdMax, fmt, ap);
    va_end(ap);
    return s;
}

std::string format_bounded(std::size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat_bounded(size, fmt, ap);
    va_end(ap);
    return s;
}

std::string shell_quote(std::string_view value) {
    // No argument can hold a NUL byte, and the quoted text is later formatted
    // with "%s": a NUL inside would cut the closing quote off. Quote only what
    // comes before it.
    value = value.substr(0, value.find('\0'));
    std::string out;
    out.reserve(value.size() + 2);
    out.push_back('\'');
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

std::string shell_word(std::string_view value) {
    value = value.substr(0, value.find('\0'));
    static constexpr std::string_view kSafe =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@%+=:,./_-";
    if (!value.empty() && value.find_first_not_of(kSafe) == std::string_view::npos)
        return std::string(value);
    return shell_quote(value);
}

// Not system(): it ignores SIGINT and SIGQUIT in the whole process while the
// command runs, so a daemon that runs a command every second (the agent's
// status line) would lose most Ctrl-C and SIGINT deliveries.
int run_shell_status(const std::string &cmd) {
    return spawn_shell_status(cmd);
}

int run_shell(const std::string &cmd) {
    int st = spawn_shell_status(cmd);
    if (st == -1) return -1;
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

std::string output_of(const std::string &cmd, std::size_t max_len) {
    return spawn_shell_output(cmd, max_len).value_or(std::string());
}

std::string first_line_of(const std::string &cmd, std::size_t max_len) {
    // The whole output is read (and dropped) so the command never dies of a
    // broken pipe; the line is cut at the first CR or LF.
    std::string out = spawn_shell_output(cmd, 1 << 16).value_or(std::string());
    out.resize(std::min(out.find_first_of("\r\n"), out.size()));
    if (out.size() > max_len) out.resize(max_len);
    return out;
}

}  // namespace rtu
