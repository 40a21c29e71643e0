// The -c configuration file of the gateways: one key a line, prefix match.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "gateway.h"

namespace gw {
namespace {

enum Key {
    kSpeed,
    kDatabits,
    kParity,
    kStopbits,
    kRtscts,
    kXonxoff,
    kTty,
    kAddress,
    kPort,
    kMode,
    kTimeout,
    kSmtp,
    kMailport,
    kSecuremode,
    kAuth,
    kSender,
    kTextrelay,
    kPostrelay,
};

// In the order in which the keys are tried; the first match wins.
struct KeyName {
    Key key;
    const char *name;
};
constexpr KeyName kKeys[] = {
    {kSpeed, "speed"},     {kDatabits, "databits"},   {kParity, "parity"},   {kStopbits, "stopbits"},
    {kRtscts, "rtscts"},   {kXonxoff, "xonxoff"},     {kTty, "tty"},         {kAddress, "address"},
    {kPort, "port"},       {kMode, "mode"},           {kTimeout, "timeout"}, {kSmtp, "smtp"},
    {kMailport, "mailport"}, {kSecuremode, "securemode"}, {kAuth, "auth"},   {kSender, "sender"},
    {kTextrelay, "textrelay"}, {kPostrelay, "postrelay"},
};

bool is_mail_key(Key k) {
    return k == kSmtp || k == kMailport || k == kSecuremode || k == kAuth || k == kSender;
}

// Whether the program recognises the key at all (used or ignored).
bool recognises(Program p, Key k) {
    switch (p) {
    case Program::linebridge:
        return k <= kMode;
    case Program::portnotify:
        return true;
    case Program::postrelay:
        return k == kPort || k == kTimeout || is_mail_key(k);
    case Program::textrelay:
        return k == kPort || k == kTimeout;
    }
    return false;
}

// Whether the key is taken in this pass.
bool taken_in_pass(Program p, Key k, int pass) {
    switch (p) {
    case Program::linebridge:
        return pass == 1 ? k == kTty : k != kTty;
    case Program::portnotify:
        if (is_mail_key(k) || k == kTextrelay || k == kPostrelay) return true;
        return pass == 1 ? k == kTty : k != kTty;
    case Program::postrelay:
    case Program::textrelay:
        return true;
    }
    return false;
}

bool is_switch_on(const std::string &value) { return !value.empty() && value[0] == 't'; }

std::string cut(const std::string &value, std::size_t max) { return value.substr(0, max); }

void apply_databits(termios &t, int bits) {
    tcflag_t size = CS8;
    if (bits == 5) size = CS5;
    else if (bits == 6) size = CS6;
    else if (bits == 7) size = CS7;
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size;
}

void apply_parity(termios &t, const std::string &value) {
    char c = value.empty() ? '\0' : value[0];
    if (c == 'e') {
        t.c_cflag |= PARENB;
        t.c_cflag &= ~static_cast<tcflag_t>(PARODD);
    } else if (c == 'o') {
        t.c_cflag |= PARENB | PARODD;
    } else if (c == 'm' || c == 's') {
        // mark and space parity: left as the device has it
    } else {
        t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
    }
}

// Only programs that drive a tty apply the serial keys.
void apply_serial(Program p, Key k, const std::string &value, GatewayConfig &s) {
    if (p != Program::linebridge) return;
    if (k == kSpeed) s.speed = parse_int(value);
    if (!s.term) return;
    termios &t = *s.term;
    switch (k) {
    case kSpeed: {
        speed_t sp = speed_constant(s.speed);
        cfsetospeed(&t, sp);
        cfsetispeed(&t, sp);
        break;
    }
    case kDatabits:
        apply_databits(t, parse_int(value));
        break;
    case kParity:
        apply_parity(t, value);
        break;
    case kStopbits:
        if (parse_int(value) == 2)
            t.c_cflag |= CSTOPB;
        else
            t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
        break;
    case kRtscts:
        if (is_switch_on(value))
            t.c_cflag |= CRTSCTS;
        else
            t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        break;
    case kXonxoff:
        if (is_switch_on(value))
            t.c_iflag |= IXON;
        else
            t.c_iflag &= ~static_cast<tcflag_t>(IXON);
        break;
    default:
        break;
    }
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

// Whether the next character ends the line (LF or the end of the file); it stays unread.
bool line_end_follows(FILE *f) {
    int next = std::getc(f);
    if (next == EOF) return true;
    std::ungetc(next, f);
    return next == '\n';
}

}  // namespace

int parse_int(const std::string &text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

speed_t speed_constant(long bps) {
    switch (bps) {
    case 0: return B0;
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    default: return B9600;
    }
}

void report_speed(long bps) {
    if (bps != 9600 && speed_constant(bps) == B9600)
        std::fprintf(stderr, "unsupported speed %ld, using 9600\n", bps);
}

GatewayConfig default_config(Program program) {
    GatewayConfig c;
    c.program = program;
    if (program == Program::postrelay) c.port = 4101;
    if (program == Program::textrelay) c.port = 4100;
    return c;
}

void apply_config_line(const std::string &line, GatewayConfig &s, int pass) {
    for (const KeyName &kn : kKeys) {
        std::size_t n = std::strlen(kn.name);
        if (line.compare(0, n, kn.name) != 0) continue;
        // First matching key wins, whether or not this program or pass takes it.
        if (!recognises(s.program, kn.key) || !taken_in_pass(s.program, kn.key, pass)) return;
        // The separator is any single character after the name.
        std::string value = line.size() > n + 1 ? line.substr(n + 1) : std::string();
        switch (kn.key) {
        case kTty:
            if (s.program == Program::linebridge) s.tty = cut(value, kPathMax);
            break;
        case kAddress: s.address = cut(value, kAddressMax); break;
        case kPort: s.port = parse_int(value); break;
        case kMode:
            if (s.program == Program::linebridge) s.mode = parse_int(value);
            break;
        case kTimeout:
            if (s.program != Program::portnotify) s.timeout = parse_int(value);
            break;
        case kSmtp: s.smtp = cut(value, kSmtpMax); break;
        case kMailport: s.mailport = parse_int(value); break;
        case kSecuremode: s.securemode = cut(value, kSecureModeMax); break;
        case kAuth: s.auth = cut(value, kAuthMax); break;
        case kSender: s.sender = cut(value, kSenderMax); break;
        case kTextrelay: s.textrelay = parse_int(value); break;
        case kPostrelay: s.postrelay = parse_int(value); break;
        default: apply_serial(s.program, kn.key, value, s); break;
        }
        return;
    }
}

int read_gateway_config(const std::string &path, GatewayConfig &s, int pass) {
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "r"));
    if (!f) return -1;
    if (s.program == Program::portnotify || s.program == Program::postrelay) {
        s.smtp.clear();
        s.securemode.clear();
        s.auth.clear();
        s.sender.clear();
    }
    if (s.program == Program::portnotify) {
        s.textrelay = 0;
        s.postrelay = 0;
    }
    // Lines are read in pieces of at most 255 characters, like a 256-byte
    // line buffer; the rest of a longer line is read as a line of its own.
    // A CR before the line end (a file written on another system) is not
    // part of the value, even where it ends a piece of its own.
    char buf[kConfigLineMax + 1];
    while (std::fgets(buf, sizeof buf, f.get())) {
        std::string line(buf);
        bool line_end = !line.empty() && line.back() == '\n';
        if (line_end) line.pop_back();
        if (!line.empty() && line.back() == '\r' && (line_end || line_end_follows(f.get())))
            line.pop_back();
        apply_config_line(line, s, pass);
    }
    return 0;
}

}  // namespace gw
