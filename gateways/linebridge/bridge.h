// TCP-to-serial proxy: tty set-up and the serving loops.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include "gateway.h"

namespace gw {

// Raw mode from the device's current settings: no input translation or
// flow control, no output processing, no local modes, one stop bit, 8 bits.
// The control characters stay as they are.
void prepare_tty_settings(termios &t);

// The speed and character format of the settings on t: speed as output and
// input speed (speed_constant), character size, parity (e even, o odd, any
// other character none), stop bits, RTS/CTS and XON flow control. What the
// settings leave unset stays as t has it.
void apply_serial_settings(const GatewayConfig &settings, termios &t);

class LineBridge {
  public:
    explicit LineBridge(std::string config_path);
    [[noreturn]] void run();

  private:
    bool open_tty();
    bool open_tcp();
    void serve_server();
    void accept_pending();
    void serve_client();
    bool forward(int to, ssize_t n, const char *from_name, const char *to_name);

    std::string path_;
    GatewayConfig cfg_;
    int tty_ = -1;
    int tcp_ = -1;
    int client_ = -1;
    char buf_[256];
};

}  // namespace gw
