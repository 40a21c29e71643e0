#include "bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "rtu/streams.h"

namespace gw {
namespace {

ssize_t read_some(int fd, char *buf, std::size_t len) {
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

// How long one side may take no byte at all before its write has failed.
constexpr int kStallMs = 5000;

// Writes the whole chunk: a short write is continued, and a side whose queue
// is full (EAGAIN on the non-blocking descriptor: a serial line slower than
// the network, a client that reads slowly) is waited for, so no byte read from
// one side is dropped on its way to the other. Returns the chunk's length, or
// -1 (0 when nothing at all was taken) when the write fails or the side takes
// nothing for kStallMs.
ssize_t write_whole(int fd, const char *buf, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, buf + done, len - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            int r;
            do {
                r = ::poll(&p, 1, kStallMs);
            } while (r < 0 && errno == EINTR);
            if (r > 0 && (p.revents & POLLOUT) != 0) continue;
            return -1;
        }
        return done > 0 ? -1 : n;
    }
    return static_cast<ssize_t>(done);
}

bool would_block(ssize_t n) {
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// The data is not text: print exactly the bytes read.
void print_data(const char *label, const char *buf, ssize_t n) {
    rtu::put_text(stdout, label);
    rtu::put_text(stdout, std::string_view(buf, static_cast<std::size_t>(n)));
    rtu::put_text(stdout, "\n");
}

}  // namespace

void prepare_tty_settings(termios &t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CSIZE);
    t.c_cflag |= CS8;
}

void apply_serial_settings(const GatewayConfig &s, termios &t) {
    auto set_flag = [](tcflag_t &flags, tcflag_t bits, bool on) {
        if (on)
            flags |= bits;
        else
            flags &= ~bits;
    };
    if (s.speed) {
        speed_t sp = speed_constant(*s.speed);
        cfsetospeed(&t, sp);
        cfsetispeed(&t, sp);
    }
    if (s.databits) {
        tcflag_t size = CS8;
        if (*s.databits == 5)
            size = CS5;
        else if (*s.databits == 6)
            size = CS6;
        else if (*s.databits == 7)
            size = CS7;
        t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size;
    }
    if (s.parity) {
        set_flag(t.c_cflag, PARENB, *s.parity == 'e' || *s.parity == 'o');
        set_flag(t.c_cflag, PARODD, *s.parity == 'o');
    }
    if (s.stopbits) set_flag(t.c_cflag, CSTOPB, *s.stopbits == 2);
    if (s.rtscts) set_flag(t.c_cflag, CRTSCTS, *s.rtscts);
    if (s.xonxoff) set_flag(t.c_iflag, IXON, *s.xonxoff);
}

LineBridge::LineBridge(std::string config_path)
    : path_(std::move(config_path)), cfg_(default_config(Program::linebridge)) {}

bool LineBridge::open_tty() {
    read_gateway_config(path_, cfg_);
    tty_ = ::open(cfg_.tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (tty_ < 0) {
        rtu::put(stderr, "open %s fail\n", cfg_.tty.c_str());
        return false;
    }
    track_fd(kSlotTty, tty_);
    termios term{};
    if (tcgetattr(tty_, &term) < 0) {
        rtu::put(stderr, "open %s fail\n", cfg_.tty.c_str());
        close_fd(tty_, kSlotTty);
        return false;
    }
    prepare_tty_settings(term);
    apply_serial_settings(cfg_, term);
    if (cfg_.speed) report_speed(*cfg_.speed);
    tcflush(tty_, TCIFLUSH);
    tcsetattr(tty_, TCSANOW, &term);
    return true;
}

bool LineBridge::open_tcp() {
    tcp_ = cfg_.mode == 1 ? open_listen_socket(cfg_) : open_client_socket(cfg_);
    if (tcp_ < 0) {
        rtu::put_text(stderr, "open socket fail\n");
        return false;
    }
    track_fd(kSlotTcp, tcp_);
    if (cfg_.mode != 1) enable_keepalive(tcp_);
    return true;
}

// Writes the n bytes just read into buf_ to the other side and reports both
// counts; false, after the write-error line, when that side must be reset.
bool LineBridge::forward(int to, ssize_t n, const char *from_name, const char *to_name) {
    ssize_t w = write_whole(to, buf_, static_cast<std::size_t>(n));
    std::printf("%s(r):%d rc, %s(w):%d\n", from_name, static_cast<int>(n), to_name,
                static_cast<int>(w));
    if (w > 0) return true;
    std::printf("%s write error:%d, %s reset\n", to_name, static_cast<int>(w), to_name);
    return false;
}

void LineBridge::run() {
    for (;;) {
        if (tty_ < 0 && !open_tty()) {
            sleep(1);
            continue;
        }
        if (tcp_ < 0 && !open_tcp()) {
            sleep(1);
            continue;
        }
        if (cfg_.mode == 1)
            serve_server();
        else
            serve_client();
    }
}

// Takes a client waiting on the listening socket, when none is connected.
void LineBridge::accept_pending() {
    if (client_ >= 0) return;
    sockaddr_in addr{};
    client_ = sock_accept(tcp_, &addr, 0, 1);
    if (client_ < 0) return;
    track_fd(kSlotClient, client_);
    // The only slot: a client that vanished without closing must not hold it.
    enable_keepalive(client_);
}

// One client at a time; returns when the tty must be reopened.
void LineBridge::serve_server() {
    for (;;) {
        accept_pending();
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(tty_, &rd);
        // Without a client the listening socket is watched, so that a new
        // client is accepted at once instead of after the next timeout.
        int other = client_ >= 0 ? client_ : tcp_;
        FD_SET(other, &rd);
        timeval tv{3, 0};
        int r = select((tty_ > other ? tty_ : other) + 1, &rd, nullptr, nullptr, &tv);
        if (r <= 0) continue;

        if (client_ >= 0 && FD_ISSET(client_, &rd)) {
            ssize_t n = read_some(client_, buf_, sizeof buf_);
            if (would_block(n)) continue;
            if (n > 0) {
                print_data("socket read:", buf_, n);
                if (!forward(tty_, n, "socket", "tty")) {
                    close_fd(tty_, kSlotTty);
                    return;
                }
            } else {
                std::printf("rc:%d, socket reset\n", static_cast<int>(n));
                close_fd(client_, kSlotClient);
            }
        } else if (FD_ISSET(tty_, &rd)) {
            ssize_t n = read_some(tty_, buf_, sizeof buf_);
            if (would_block(n)) continue;
            if (n <= 0) {
                std::printf("rc:%d, tty reset\n", static_cast<int>(n));
                close_fd(tty_, kSlotTty);
                return;
            }
            print_data("tty read:", buf_, n);
            // A client that connected while these bytes came in gets them.
            accept_pending();
            if (client_ < 0) continue;  // nobody to deliver to: dropped
            if (!forward(client_, n, "tty", "socket")) close_fd(client_, kSlotClient);
        }
    }
}

// Connected to address:port; returns when either side must be reopened.
void LineBridge::serve_client() {
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(tty_, &rd);
        FD_SET(tcp_, &rd);
        timeval tv{3, 0};
        int r = select((tty_ > tcp_ ? tty_ : tcp_) + 1, &rd, nullptr, nullptr, &tv);
        if (r < 0) {
            if (errno == EINTR) continue;
            std::puts("error");
            continue;
        }
        if (r == 0) continue;

        if (FD_ISSET(tty_, &rd)) {
            ssize_t n = read_some(tty_, buf_, sizeof buf_);
            if (would_block(n)) continue;
            if (n <= 0) {
                std::printf("rc:%d, tty reset\n", static_cast<int>(n));
                close_fd(tty_, kSlotTty);
                return;
            }
            if (!forward(tcp_, n, "tty", "socket")) {
                close_fd(tcp_, kSlotTcp);
                return;
            }
        } else if (FD_ISSET(tcp_, &rd)) {
            ssize_t n = read_some(tcp_, buf_, sizeof buf_);
            if (would_block(n)) continue;
            if (n <= 0) {
                std::printf("rc:%d, socket reset\n", static_cast<int>(n));
                close_fd(tcp_, kSlotTcp);
                return;
            }
            if (!forward(tty_, n, "socket", "tty")) {
                close_fd(tty_, kSlotTty);
                return;
            }
        }
    }
}

}  // namespace gw
