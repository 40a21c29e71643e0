// Parsing shared by trimfile and trimwatch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trim {

// The program trimwatch runs for every monitored file.
inline constexpr const char *kTrimfilePath = "/usr/sbin/trimfile";

// Interval between two passes of trimwatch, in seconds.
inline constexpr int kDefaultInterval = 60;

// Longest configuration line read, and longest path kept.
inline constexpr std::size_t kLineMax = 255;
inline constexpr std::size_t kPathMax = 255;

// One monitored file: its path and its size limit in kilobytes.
struct mon_entry {
    std::string path;
    int size = 0;
};

// The byte limit of a trimfile reserve given in kilobytes. Only a plain
// non-negative decimal number is a reserve (leading blanks and a '+' are
// allowed); anything else gives nullopt. A reserve too large for 64 bits is
// larger than any file and saturates.
std::optional<std::int64_t> reserve_bytes(const char *text);

// The -t option of trimwatch, read as atoi reads it (saturated,
// rtu::leading_int): 0 or less (or no number) gives 60.
int interval_from_option(const char *text);

// One configuration line "path,size[,...]" (line end included or not).
// nullopt unless the path is not empty and the size is greater than 0.
std::optional<mon_entry> parse_config_line(std::string_view line);

// The command trimwatch runs for an entry: "/usr/sbin/trimfile SIZE PATH",
// the path quoted only when the shell would otherwise read it as something
// else than one plain word. Empty when it would not fit a command buffer.
std::string trim_command(const mon_entry &entry);

}  // namespace trim
