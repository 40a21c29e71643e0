#include "trim.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "rtu/shell.h"

namespace trim {
namespace {

// strtok()-style token: skips leading delimiters, runs to the next one.
// Returns false when only delimiters are left; pos moves past the delimiter
// that ended the token.
bool next_token(std::string_view s, std::size_t &pos, std::string_view delims,
                std::string_view &token) {
    std::size_t start = s.find_first_not_of(delims, pos);
    if (start == std::string_view::npos) {
        pos = s.size();
        return false;
    }
    std::size_t end = s.find_first_of(delims, start);
    if (end == std::string_view::npos) end = s.size();
    token = s.substr(start, end - start);
    pos = end < s.size() ? end + 1 : end;
    return true;
}

}  // namespace

std::optional<std::int64_t> reserve_bytes(const char *text) {
    if (text == nullptr) return std::nullopt;
    const char *p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '+') ++p;
    if (*p < '0' || *p > '9') return std::nullopt;
    constexpr std::int64_t kMaxKb = INT64_MAX / 1024;
    std::int64_t kb = 0;
    bool saturated = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (saturated) continue;
        int digit = *p - '0';
        if (kb > (kMaxKb - digit) / 10)
            saturated = true;
        else
            kb = kb * 10 + digit;
    }
    if (*p != '\0') return std::nullopt;
    return saturated ? INT64_MAX : kb * 1024;
}

int to_int(const char *text) {
    if (text == nullptr) return 0;
    long v = std::strtol(text, nullptr, 10);  // LONG_MIN/LONG_MAX on overflow
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

int interval_from_option(const char *text) {
    int t = to_int(text);
    return t > 0 ? t : kDefaultInterval;
}

std::optional<mon_entry> parse_config_line(std::string_view line) {
    // The line ends at a NUL as a C string would.
    line = line.substr(0, line.find('\0'));
    if (line.size() > kLineMax) line = line.substr(0, kLineMax);

    std::size_t pos = 0;
    std::string_view path;
    if (!next_token(line, pos, ",", path)) return std::nullopt;
    std::string_view size_text;
    int size = 0;
    if (next_token(line, pos, ",\r\n", size_text)) size = to_int(std::string(size_text).c_str());
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
