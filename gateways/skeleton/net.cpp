// TCP sockets of the gateways and the line reader of the message daemons.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "gateway.h"
#include "rtu/handles.h"
#include "rtu/streams.h"

namespace gw {
namespace {

// Send and receive buffers of accepted clients: short messages leave at once,
// and little data is held in the router.
constexpr int kClientBuffer = 512;
constexpr int kClientSegment = 512;

int set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value);
}

// Non-blocking, TCP_NODELAY, SO_REUSEADDR; false on failure.
bool tune_socket(int fd) {
    if (set_nonblocking(fd, 1) < 0) return false;
    if (set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1) < 0) return false;
    if (set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1) < 0) return false;
    return true;
}

bool write_all_once(int fd, const std::string &data) {
    ssize_t n;
    do {
        n = ::write(fd, data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(data.size());
}

}  // namespace

int set_nonblocking(int fd, int on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return -1;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags);
}

int open_listen_socket(const GatewayConfig &s) {
    rtu::Fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) return -1;
    const int fd = sock.get();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<std::uint16_t>(s.port));
    // Accepted clients get a receive buffer of kClientBuffer (sock_accept).
    // Set here, before any handshake, the window offered to a client and its
    // scale already fit that buffer; set only after accept, the client was
    // offered a window the buffer cannot hold and its segments are dropped
    // (on loopback about 10 kB/s get through). Segments of kClientSegment
    // let several fit the small window. Both are inherited by accepted
    // sockets; a kernel that refuses them leaves the defaults.
    (void)set_int_option(fd, SOL_SOCKET, SO_RCVBUF, kClientBuffer);
    (void)set_int_option(fd, IPPROTO_TCP, TCP_MAXSEG, kClientSegment);
    if (!tune_socket(fd) || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
        listen(fd, 1) < 0) {
        return -1;
    }
    return sock.release();
}

int open_client_socket(const GatewayConfig &s) {
    rtu::Fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) return -1;
    const int fd = sock.get();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(s.port));
    if (inet_pton(AF_INET, s.address.c_str(), &addr.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || !tune_socket(fd)) {
        return -1;
    }
    return sock.release();
}

int sock_accept(int listen_fd, sockaddr_in *address, socklen_t address_length, int nonblocking) {
    rtu::Fd sock(
        accept4(listen_fd, reinterpret_cast<sockaddr *>(address), &address_length, SOCK_CLOEXEC));
    const int fd = sock.get();
    if (!sock) {
        if (errno != EAGAIN)
            rtu::put(stderr, "sock_accept(): error in accept() (%s)", std::strerror(errno));
        return -1;
    }
    if (set_nonblocking(fd, nonblocking) < 0) {
        rtu::put(stderr, "sock_accept(): can't set socket blocking mode (%s)",
                 std::strerror(errno));
        return -1;
    }
    if (set_int_option(fd, SOL_SOCKET, SO_SNDBUF, kClientBuffer) < 0 ||
        set_int_option(fd, SOL_SOCKET, SO_RCVBUF, kClientBuffer) < 0) {
        rtu::put(stderr, "sock_accept(): can't set socket TRX buffer sizes (%s)",
                 std::strerror(errno));
        return -1;
    }
    if (set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1) < 0)
        rtu::put(stderr, "sock_accept(): set SO_REUSEADDR fail (%s)", std::strerror(errno));
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) < 0)
        rtu::put(stderr, "sock_accept(): set SO_LINGER fail (%s)", std::strerror(errno));
    return sock.release();
}

int enable_keepalive(int fd) {
    if (set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1) < 0 ||
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepaliveIdle) < 0 ||
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepaliveInterval) < 0 ||
        set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepaliveProbes) < 0) {
        rtu::put(stderr, "set TCP keepalive fail (%s)\n", std::strerror(errno));
        return -1;
    }
    return 0;
}

bool wait_readable(int fd, int seconds) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(fd, &rd);
    timeval tv{seconds, 0};
    return select(fd + 1, &rd, nullptr, nullptr, &tv) > 0;
}

std::int64_t now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec);
}

LineReader::End LineReader::feed(char c) {
    if (c == '\r') return End::none;
    if (c == '\n') return End::line_feed;
    line_.push_back(c);
    return line_.size() >= kMax ? End::full : End::none;
}

bool serve_line_byte(int &fd, LineReader &reader, const LineService &service) {
    char c = 0;
    ssize_t n;
    do {
        n = ::read(fd, &c, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;  // nothing after all
    if (n <= 0) {
        std::printf("rc:%d, socket reset\n", static_cast<int>(n));
        close_fd(fd, kSlotClient);
        return false;
    }
    LineReader::End end = reader.feed(c);
    if (end == LineReader::End::none) return true;

    std::string reply;
    int result = service.handler(service.context, reader.text(), reply);
    if (result != 0)
        std::puts(end == LineReader::End::full ? service.fail_text_full : service.fail_text_lf);
    reader.clear();
    if (!write_all_once(fd, reply + "\r\n")) {
        std::printf("socket write error:%d, socket reset\n", errno);
        close_fd(fd, kSlotClient);
        return false;
    }
    return true;
}

}  // namespace gw
