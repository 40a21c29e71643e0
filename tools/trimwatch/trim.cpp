#include "trim.h"

#include <algorithm>
#include <climits>

#include "rtu/numbers.h"
#include "rtu/shell.h"
#include "rtu/split.h"

namespace trim {

std::optional<std::int64_t> reserve_bytes(const char *text) {
    if (text == nullptr) return std::nullopt;
    std::string_view t(text);
    t.remove_prefix(std::min(t.find_first_not_of(" \t"), t.size()));
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    // Digits only from here; the value saturates (rtu::parse_decimal has no
    // result for a number too large for 64 bits).
    if (t.empty() || t.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    constexpr std::int64_t kMaxKb = INT64_MAX / 1024;
    std::optional<long long> kb = rtu::parse_decimal(t);
    if (!kb || *kb > kMaxKb) return INT64_MAX;
    return *kb * 1024;
}

int interval_from_option(const char *text) {
    int t = text == nullptr ? 0 : rtu::leading_int(text);
    return t > 0 ? t : kDefaultInterval;
}

std::optional<mon_entry> parse_config_line(std::string_view line) {
    // The line ends at a NUL as a C string would.
    line = line.substr(0, line.find('\0'));
    if (line.size() > kLineMax) line = line.substr(0, kLineMax);

    // Fields found as strtok finds them, with the line end a separator only
    // after the path.
    std::size_t pos = 0;
    std::string_view path;
    if (!rtu::next_field(line, pos, ",", path)) return std::nullopt;
    std::string_view size_text;
    int size = 0;
    if (rtu::next_field(line, pos, ",\r\n", size_text)) size = rtu::leading_int(size_text);
    if (path.empty() || size <= 0) return std::nullopt;
    mon_entry e;
    e.path = std::string(path.substr(0, kPathMax));
    e.size = size;
    return e;
}

std::string trim_command(const mon_entry &entry) {
    std::string cmd = kTrimfilePath;
    cmd += ' ';
    cmd += std::to_string(entry.size);
    cmd += ' ';
    cmd += rtu::shell_word(entry.path);
    // Cutting a quoted path could leave a different, valid file name.
    if (cmd.size() > rtu::kCmdMax - 1) return {};
    return cmd;
}

}  // namespace trim
