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
    unsigned char terminator = 0;  // 26 with -z
    int pause_us = 1000;
    int limit = 1;
    int speed = 9600;
};

inline constexpr std::size_t kDeviceMax = 255;
inline constexpr std::size_t kCommandMax = 63;
inline constexpr std::size_t kMessageMax = 255;

// The answer window: the beginning of the modem's current line. A final
// result code ("OK", "ERROR", "+CMS ERROR:", "+CME ERROR:") counts only at
// the start of a line, so the echo of an SMS text (which follows the "> "
// prompt) or an information line that merely contains "OK" ends nothing.
class AnswerWindow {
  public:
    // The longest code looked for: "+CMS ERROR:".
    static constexpr std::size_t kHeadMax = 11;

    // Empties the window; the next byte starts a line.
    void clear() { head_.clear(); }
    // Appends; true when a final result code has just been completed at the
    // start of the current line.
    bool append_and_check(char c);

  private:
    std::string head_;  // at most kHeadMax characters of the current line
};

// The echo of a text sent to the modem: its bytes in order, with whatever the
// modem puts between them (the "> " prompt, a new prompt after each CR,
// unsolicited lines such as RING) passed over.
class EchoWatch {
  public:
    explicit EchoWatch(std::string sent) : sent_(std::move(sent)) {}
    void feed(char c) {
        if (pos_ < sent_.size() && sent_[pos_] == c) ++pos_;
    }
    bool complete() const { return pos_ == sent_.size(); }

  private:
    std::string sent_;
    std::size_t pos_ = 0;
};

// Pid file: taken when absent or left by a process that no longer runs.
// Returns true when this process now owns it, false when a live one does.
bool take_pid_file(const std::string &path);

}  // namespace atsend
