#include "command.h"

#include <cstdarg>
#include <cstdlib>

#include "log.h"
#include "rtu/shell.h"
#include "rtu/spawn.h"

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
    std::vsnprintf(out.data(), out.size(), fmt, ap2);
    va_end(ap2);
    out.resize(static_cast<std::size_t>(n));
    if (out.size() > rtu::kCmdMax - 1) {
        agent_logf(LOG_ERROR, "Command of %d characters is longer than %d - not run: %.60s...", n,
                   static_cast<int>(rtu::kCmdMax - 1), out.c_str());
        return std::nullopt;
    }
    return out;
}

int agent_system(const std::optional<std::string> &cmd) {
    if (!cmd) return 127 << 8;
    return rtu::spawn_shell_status(*cmd);
}
