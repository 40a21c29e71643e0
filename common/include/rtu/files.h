// Small files: status files other programs read, first lines of files.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace rtu {

// Replaces path by a file holding text (no newline is added): written beside
// and renamed over it, so readers never see a half-written value. Returns
// false when the file could not be written completely.
bool write_status_file(const std::string &path, std::string_view text);

// A number and a line end, as "echo N > path" writes it (write_status_file).
bool write_number_file(const std::string &path, int value);

// Creates path when missing (empty) and sets its time, like touch.
bool touch_file(const std::string &path);

// The number a file's first line holds: decimal digits only (see
// parse_decimal); nullopt when the file is missing or holds anything else.
std::optional<int> read_number_file(const std::string &path);

// Appends text to path, creating it when missing.
bool append_file(const std::string &path, std::string_view text);

// First line of a file, cut at the first CR or LF and at max_len characters;
// nullopt when the file cannot be opened.
std::optional<std::string> read_first_line(const std::string &path, std::size_t max_len = 1023);

// Whole file (at most max_len bytes); nullopt when it cannot be opened.
std::optional<std::string> read_file(const std::string &path, std::size_t max_len = 1 << 20);

bool file_exists(const std::string &path);

// Removes path (a file, a link or an empty folder); true when it is gone,
// including when it was not there. Inline: a shared library using it exports
// nothing more.
inline bool remove_file(const std::string &path) {
    return std::remove(path.c_str()) == 0 || errno == ENOENT;
}

// Cuts text at the first CR or LF.
std::string cut_at_line_end(std::string_view text);

}  // namespace rtu
