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
    termios term_{};
    int tty_ = -1;
    int tcp_ = -1;
    int client_ = -1;
    char buf_[256];
};

}  // namespace gw
