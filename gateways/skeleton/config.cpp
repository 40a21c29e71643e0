// The -c configuration file of the gateways: one key a line, prefix match.
#include <cstdio>
#include <cstring>

#include "gateway.h"
#include "rtu/handles.h"
#include "rtu/numbers.h"
#include "rtu/streams.h"

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
    {kSpeed, "speed"},       {kDatabits, "databits"},     {kParity, "parity"},
    {kStopbits, "stopbits"}, {kRtscts, "rtscts"},         {kXonxoff, "xonxoff"},
    {kTty, "tty"},           {kAddress, "address"},       {kPort, "port"},
    {kMode, "mode"},         {kTimeout, "timeout"},       {kSmtp, "smtp"},
    {kMailport, "mailport"}, {kSecuremode, "securemode"}, {kAuth, "auth"},
    {kSender, "sender"},     {kTextrelay, "textrelay"},   {kPostrelay, "postrelay"},
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

bool is_switch_on(const std::string &value) {
    return !value.empty() && value[0] == 't';
}

std::string cut(const std::string &value, std::size_t max) {
    return value.substr(0, max);
}

// Only programs that drive a tty take the serial keys; the terminal is set
// from them by linebridge.
void take_serial(Program p, Key k, const std::string &value, GatewayConfig &s) {
    if (p != Program::linebridge) return;
    switch (k) {
        case kSpeed:
            s.speed = rtu::leading_int(value);
            break;
        case kDatabits:
            s.databits = rtu::leading_int(value);
            break;
        case kParity: {
            char c = value.empty() ? '\0' : value[0];
            // mark and space parity: left as it is
            if (c != 'm' && c != 's') s.parity = c;
            break;
        }
        case kStopbits:
            s.stopbits = rtu::leading_int(value);
            break;
        case kRtscts:
            s.rtscts = is_switch_on(value);
            break;
        case kXonxoff:
            s.xonxoff = is_switch_on(value);
            break;
        default:
            break;
    }
}

// Whether the next character ends the line (LF or the end of the file); it stays unread.
bool line_end_follows(FILE *f) {
    int next = std::getc(f);
    if (next == EOF) return true;
    (void)std::ungetc(next, f);  // one character back after a read always fits
    return next == '\n';
}

}  // namespace

speed_t speed_constant(long bps) {
    switch (bps) {
        case 0:
            return B0;
        case 50:
            return B50;
        case 75:
            return B75;
        case 110:
            return B110;
        case 134:
            return B134;
        case 150:
            return B150;
        case 200:
            return B200;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 1800:
            return B1800;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 500000:
            return B500000;
        case 576000:
            return B576000;
        case 921600:
            return B921600;
        default:
            return B9600;
    }
}

void report_speed(long bps) {
    if (bps != 9600 && speed_constant(bps) == B9600)
        rtu::put(stderr, "unsupported speed %ld, using 9600\n", bps);
}

GatewayConfig default_config(Program program) {
    GatewayConfig c;
    c.program = program;
    if (program == Program::postrelay) c.port = 4101;
    if (program == Program::textrelay) c.port = 4100;
    return c;
}

void apply_config_line(const std::string &line, GatewayConfig &s) {
    for (const KeyName &kn : kKeys) {
        std::size_t n = std::strlen(kn.name);
        if (line.compare(0, n, kn.name) != 0) continue;
        // First matching key wins, whether or not this program takes it.
        if (!recognises(s.program, kn.key)) return;
        // The separator is any single character after the name.
        std::string value = line.size() > n + 1 ? line.substr(n + 1) : std::string();
        switch (kn.key) {
            case kTty:
                if (s.program == Program::linebridge) s.tty = cut(value, kPathMax);
                break;
            case kAddress:
                s.address = cut(value, kAddressMax);
                break;
            case kPort:
                s.port = rtu::leading_int(value);
                break;
            case kMode:
                if (s.program == Program::linebridge) s.mode = rtu::leading_int(value);
                break;
            case kTimeout:
                if (s.program != Program::portnotify) s.timeout = rtu::leading_int(value);
                break;
            case kSmtp:
                s.smtp = cut(value, kSmtpMax);
                break;
            case kMailport:
                s.mailport = rtu::leading_int(value);
                break;
            case kSecuremode:
                s.securemode = cut(value, kSecureModeMax);
                break;
            case kAuth:
                s.auth = cut(value, kAuthMax);
                break;
            case kSender:
                s.sender = cut(value, kSenderMax);
                break;
            case kTextrelay:
                s.textrelay = rtu::leading_int(value);
                break;
            case kPostrelay:
                s.postrelay = rtu::leading_int(value);
                break;
            default:
                take_serial(s.program, kn.key, value, s);
                break;
        }
        return;
    }
}

int read_gateway_config(const std::string &path, GatewayConfig &s) {
    rtu::FilePtr f(std::fopen(path.c_str(), "r"));
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
        apply_config_line(line, s);
    }
    return 0;
}

}  // namespace gw
