// Common skeleton of the TCP gateways: command line, key=value configuration,
// pid file, signals, listening and client sockets, accept, line reader.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace gw {

enum class Program { linebridge, portnotify, postrelay, textrelay };

// Limits of the text fields (characters, without the terminator).
inline constexpr std::size_t kPathMax = 255;
inline constexpr std::size_t kConfigLineMax = 255;
inline constexpr std::size_t kAddressMax = 31;
inline constexpr std::size_t kSmtpMax = 45;
inline constexpr std::size_t kSecureModeMax = 45;
inline constexpr std::size_t kAuthMax = 255;
inline constexpr std::size_t kSenderMax = 45;

// Settings of one gateway, read from its -c file.
struct GatewayConfig {
    Program program = Program::linebridge;

    // Serial side (linebridge): the value of the last line of each key, none
    // without a line. linebridge sets the terminal from them.
    std::optional<int> speed;     // bit/s
    std::optional<int> databits;  // 5, 6, 7; anything else is 8
    std::optional<char> parity;   // first character of the last line that is not m or s
    std::optional<int> stopbits;  // 2, anything else is 1
    std::optional<bool> rtscts;
    std::optional<bool> xonxoff;
    std::string tty;

    // TCP side.
    std::string address;
    int port = 0;
    int mode = 0;
    int timeout = 0;

    // Mail (portnotify, postrelay).
    std::string smtp;
    int mailport = 0;
    std::string securemode;
    std::string auth;
    std::string sender;

    // Forwarding switches (portnotify).
    int textrelay = 0;
    int postrelay = 0;
};

// Settings with the defaults of the program.
GatewayConfig default_config(Program program);

// Reads path into settings: every key the program takes, in one reading.
// portnotify and postrelay first clear the mail texts, portnotify also its
// two switches.
// Numbers are read as atoi reads them, saturated (rtu::leading_int).
// Returns 0, or -1 when the file cannot be opened (settings unchanged).
int read_gateway_config(const std::string &path, GatewayConfig &settings);

// One configuration line as the reader handles it (exposed for tests).
void apply_config_line(const std::string &line, GatewayConfig &settings);

// Termios speed constant for a speed in bit/s (the speeds Linux has up to
// 921600); values outside the table give B9600.
speed_t speed_constant(long bps);

// Writes "unsupported speed %ld, using 9600\n" to the standard error when
// bps is not in the table, so that the fallback is not silent.
void report_speed(long bps);

// Command line: option -c PATH only ("c:"). Any other option ends the program
// through the SIGINT path. Returns the configuration path (cut at 255).
std::string parse_command_line(int argc, char **argv);

// Writes "%d\n" to pid_path and installs the signal handlers: SIGINT and
// SIGTERM close the tracked descriptors, delete the pid file and exit 1,
// SIGQUIT does the same with status 0. SIGPIPE is ignored so that a write to a
// closed peer fails with EPIPE instead of ending the process. Also makes the
// standard output line buffered.
void start_daemon(const char *pid_path);

// Descriptors the signal handlers close (slot 0..3); -1 clears a slot.
enum FdSlot { kSlotTcp = 0, kSlotClient = 1, kSlotTty = 2, kSlotSpare = 3 };
void track_fd(FdSlot slot, int fd);

// Same exit as SIGINT: close the tracked descriptors, delete the pid file
// (when this process wrote it), exit with status.
[[noreturn]] void exit_daemon(int status);

// Sockets.
int set_nonblocking(int fd, int on);
int open_listen_socket(const GatewayConfig &settings);
int open_client_socket(const GatewayConfig &settings);
int sock_accept(int listen_fd, sockaddr_in *address, socklen_t address_length, int nonblocking);

// TCP keepalive: a peer silent for kKeepaliveIdle seconds is probed
// kKeepaliveProbes times, kKeepaliveInterval seconds apart, and the connection
// fails when none is answered (a peer that vanished without closing, such as
// a client whose cellular link was lost). 0, or -1 after a message on the
// standard error.
inline constexpr int kKeepaliveIdle = 60;
inline constexpr int kKeepaliveInterval = 10;
inline constexpr int kKeepaliveProbes = 3;
int enable_keepalive(int fd);

// Waits until fd is readable or seconds pass; true when readable.
bool wait_readable(int fd, int seconds);

// Seconds of a clock that the wall-clock setting does not move.
std::int64_t now_seconds();

// Line reader: CR dropped, LF ends a line, the 255th byte ends it too.
class LineReader {
  public:
    static constexpr std::size_t kMax = 255;
    enum class End { none, line_feed, full };

    End feed(char c);
    const std::string &text() const { return line_; }
    void clear() { line_.clear(); }

  private:
    std::string line_;
};

// Handles one ended line: fills reply, returns 0 when handled and sent.
using LineHandler = int (*)(void *context, const std::string &line, std::string &reply);

struct LineService {
    LineHandler handler = nullptr;
    void *context = nullptr;
    const char *fail_text_lf = "parse or send fail";    // line ended by LF
    const char *fail_text_full = "parse or send fail";  // line ended at 255 bytes
};

// Serves a readable socket: reads one byte and, when a line ends, hands it to
// the handler and writes the reply with CR LF. On a reset or a failed write the
// socket is closed and fd set to -1; the result is false then.
bool serve_line_byte(int &fd, LineReader &reader, const LineService &service);

// Closes a descriptor held in a tracked slot and marks it closed.
void close_fd(int &fd, FdSlot slot);

}  // namespace gw
