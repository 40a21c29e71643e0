#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "atsend.h"
#include "gateway.h"
#include "rtu/numbers.h"
#include "rtu/streams.h"

namespace {

constexpr const char *kPidPath = "/var/run/atsend.pid";
volatile sig_atomic_t g_own_pid_file = 0;

void on_fail_signal(int) {
    if (g_own_pid_file) ::unlink(kPidPath);
    ::_exit(1);
}

void on_quit_signal(int) {
    if (g_own_pid_file) ::unlink(kPidPath);
    ::_exit(0);
}

// Removes the pid file (when it is ours) and exits.
[[noreturn]] void finish(int status) {
    if (g_own_pid_file) ::unlink(kPidPath);
    std::exit(status);
}

void usage() {
    std::puts("i\t USB interface");
    std::puts("m\t SMS message");
    std::puts("c\t AT Command");
    std::puts("z\t End-string with CTRL+Z");
    std::puts("t\t SleepTime");
    std::puts("s\t speed");
    std::puts("T\t Max Response Time");
    std::puts(
        " \t Ex. atsend -i \"/dev/ttyUSB2\" -c \"AT+CMGS=\\\"+8869xxxxxxxx\\\"\" -m \"Send "
        "message\" -z -T 120");
    std::puts(" \t SMS must set \"AT+CMGF=1\" and \"ATZ\" first");
}

void pause_for(int us) {
    if (us <= 0) return;
    timespec ts{us / 1000000, static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

// Single-byte transfer rule: up to 5 attempts, each after the pause.
bool write_byte(int fd, char c, int pause_us) {
    for (int i = 0; i < 5; ++i) {
        pause_for(pause_us);
        if (::write(fd, &c, 1) == 1) return true;
    }
    return false;
}

bool read_byte(int fd, char &c, int pause_us, long long *attempts = nullptr) {
    for (int i = 0; i < 5; ++i) {
        pause_for(pause_us);
        if (attempts) ++*attempts;
        if (::read(fd, &c, 1) == 1) return true;
    }
    return false;
}

struct Port {
    int fd = -1;
    termios saved{};
    void restore_and_close() {
        tcsetattr(fd, TCSANOW, &saved);
        ::close(fd);
        fd = -1;
    }
    [[noreturn]] void fail() {
        restore_and_close();
        rtu::put_text(stderr, "fail\n");
        finish(1);
    }
};

void install(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

}  // namespace

int main(int argc, char **argv) {
    atsend::Options opt;
    bool has_command = false;
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, "i:m:c:t:T:s:z")) != -1) {
        switch (c) {
            case 'i':
                opt.device = std::string(optarg).substr(0, atsend::kDeviceMax);
                break;
            case 'm':
                opt.message = std::string(optarg).substr(0, atsend::kMessageMax);
                opt.has_message = true;
                break;
            case 'c':
                opt.command = std::string(optarg).substr(0, atsend::kCommandMax);
                has_command = !opt.command.empty();
                break;
            case 't':
                opt.pause_us = rtu::leading_int(optarg);
                break;
            case 'T':
                opt.limit = rtu::leading_int(optarg);
                break;
            case 's':
                opt.speed = rtu::leading_int(optarg);
                break;
            case 'z':
                opt.terminator = 26;
                break;
            default:
                std::puts("argument error");
                finish(1);
        }
    }

    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, nullptr);

    if (!atsend::take_pid_file(kPidPath)) return 1;
    g_own_pid_file = 1;
    install(SIGINT, on_fail_signal);
    install(SIGTERM, on_fail_signal);
    install(SIGQUIT, on_quit_signal);

    if (opt.device.empty() || !has_command) {
        usage();
        finish(1);
    }

    Port port;
    port.fd = ::open(opt.device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (port.fd < 0) {
        rtu::put_text(stderr, "open ttyUSB fail\n");
        finish(1);
    }
    tcgetattr(port.fd, &port.saved);
    termios t = port.saved;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    gw::report_speed(opt.speed);
    speed_t sp = gw::speed_constant(opt.speed);
    cfsetospeed(&t, sp);
    cfsetispeed(&t, sp);
    tcflush(port.fd, TCIFLUSH);
    tcsetattr(port.fd, TCSANOW, &t);

    char byte = 0;
    for (char ch : opt.command) {
        if (!write_byte(port.fd, ch, opt.pause_us)) port.fail();
        if (!read_byte(port.fd, byte, opt.pause_us)) port.fail();  // its echo
    }
    write_byte(port.fd, '\r', opt.pause_us);
    read_byte(port.fd, byte, opt.pause_us);

    // A modem in text mode echoes the SMS text after its "> " prompt: the
    // answer is looked for only once that echo has passed.
    const bool sms = opt.has_message && opt.terminator;
    atsend::EchoWatch echo(sms ? opt.message : std::string());
    if (sms) {
        for (char m : opt.message)
            if (!write_byte(port.fd, m, opt.pause_us)) port.fail();
        write_byte(port.fd, static_cast<char>(opt.terminator), opt.pause_us);
        if (read_byte(port.fd, byte, opt.pause_us)) echo.feed(byte);
    }

    atsend::AnswerWindow window;
    window.clear();
    const long long limit = static_cast<long long>(opt.limit) * 1000;
    long long attempts = 0;
    for (;;) {
        if (attempts >= limit) {
            port.restore_and_close();
            finish(0);
        }
        if (!read_byte(port.fd, byte, opt.pause_us, &attempts)) continue;
        if (::write(STDOUT_FILENO, &byte, 1) < 0) {
        }
        attempts = 0;
        bool final_code = window.append_and_check(byte);
        if (!echo.complete()) {
            echo.feed(byte);
            continue;
        }
        if (final_code) break;
    }
    while (::read(port.fd, &byte, 1) == 1)
        if (::write(STDOUT_FILENO, &byte, 1) < 0) {
        }
    port.restore_and_close();
    finish(0);
}
