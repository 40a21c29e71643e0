// atsend: one AT command (and optionally one SMS text) to a modem port, the
// answer copied to the standard output until "OK" or "ERROR".
#pragma once

#include <cstddef>
#include <string>

namespace atsend {

struct Options {
    std::string device = "/dev/ttyUSB2";  // at most 255 characters
    std::string command;                  // at most 63
    std::string message;                  // at most 255
    bool has_message = false;
    unsigned char terminator = 0;         // 26 with -z
    int pause_us = 1000;
    int limit = 1;
    int speed = 9600;
};

inline constexpr std::size_t kDeviceMax = 255;
inline constexpr std::size_t kCommandMax = 63;
inline constexpr std::size_t kMessageMax = 255;

// The 32-byte answer window. Echoes land at their character position, kept
// inside the window for texts longer than it; answer bytes are appended and
// the window is shifted by 10 once it holds more than 20.
class AnswerWindow {
public:
    static constexpr std::size_t kSize = 32;

    void clear();
    void put_echo(std::size_t position, char c) { buf_[position % kSize] = c; }
    // Appends, reports whether "OK" or "ERROR" is in the window, then shifts.
    bool append_and_check(char c);
    std::string text() const { return std::string(buf_, len_); }

private:
    char buf_[kSize] = {};
    std::size_t len_ = 0;
};

// Pid file: taken when absent or left by a process that no longer runs.
// Returns true when this process now owns it, false when a live one does.
bool take_pid_file(const std::string &path);

}  // namespace atsend
