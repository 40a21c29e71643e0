// Running other programs through the shell, the way the router's tools do it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rtu {

// Size of the fixed command buffers of the system: a command holds at most
// kCmdMax - 1 characters and is cut there.
inline constexpr std::size_t kCmdMax = 1024;

// printf-style formatting into a kCmdMax buffer; the result is cut at
// kCmdMax - 1 characters like snprintf into a fixed array.
std::string format_cmd(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Same with an explicit buffer size (the result holds at most size - 1 chars).
std::string format_bounded(std::size_t size, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Quotes a value for /bin/sh so that it stays one word whatever it contains:
// wraps it in single quotes and writes an embedded quote as '\''.
std::string shell_quote(std::string_view value);

// Same guarantee, but a value made only of characters the shell never treats
// specially (letters, digits and @%+=:,./_-) is returned as it is, so that
// ordinary values keep a command's usual text ("usb0", "/dev/ttyUSB2").
std::string shell_word(std::string_view value);

// Runs cmd through /bin/sh -c (spawn_shell_status: like system(), but the
// caller keeps receiving SIGINT and SIGQUIT). Returns the raw wait status.
int run_shell_status(const std::string &cmd);

// Runs cmd through the shell and returns its exit code: 0..255 when it exited,
// 128 + signal when it was killed, -1 when the shell could not be started.
int run_shell(const std::string &cmd);

// Runs cmd (spawn_shell_output) and returns the first line of its output,
// cut at the first CR or LF and at max_len characters. Empty when the command
// could not be started or printed nothing.
std::string first_line_of(const std::string &cmd, std::size_t max_len = kCmdMax - 1);

// Runs cmd (spawn_shell_output) and returns all of its output (at most
// max_len bytes); empty when it could not be started.
std::string output_of(const std::string &cmd, std::size_t max_len = 1 << 20);

}  // namespace rtu
