// Simulated USB-UART bridge for process tests, loaded with LD_PRELOAD.
//
// There is no bridge and no way to make a character device here, so this
// library serves the bridge at the system-call boundary: open() of
// /dev/ttyXRUSB0 or /dev/ttyXRUSB1 gives a descriptor of /dev/null that the
// library remembers, and ioctl() on it answers the driver's requests from a
// register file. Everything lives in one folder, $XRSIM_DIR (default
// /tmp/xrsim, i.e. inside the router root):
//
//   log                 one line per request: "<dev> <NAME> <args>", appended
//   <dev>.regs          registers of a port, "key value" per line (decimal):
//                       register numbers, "gpio_mode", "tiocm"
//   di                  "0" or "1": the level of the DI pin (bit 2 of register
//                       31 of ttyXRUSB1) whatever the register file says
//   fail                requests to fail, one per line: "NAME" or "NAME dev"
//                       (NAME as in the log, or "open"); they return -1
//   steps               step mode (XRSIM_STEP=1): the n-th long sleep of a
//                       process holding a bridge port returns once this file
//                       holds a number >= n
//   <dev>.gen           the port's enumeration (absent: 0). The test counts
//                       it up when it unplugs the bridge: from then on every
//                       request on a descriptor opened before fails with EIO,
//                       for good, as on a tty the driver has hung up, and
//                       poll() reports POLLHUP on it
//   <dev>.gone          while it exists the port's node is absent: open()
//                       fails with ENOENT
//   held/<dev>.<pid>.<fd>  one per open descriptor, holding the enumeration
//                       it was opened in; the test looks at them when it
//                       plugs the bridge back (a port whose old descriptor is
//                       still open keeps its number taken, so the driver
//                       gives the port another name)
//
// Writes to the GPIO set (29) and clear (30) registers change the state
// register (31), as the hardware does. Request numbers the driver does not
// have are refused with ENOTTY and logged as UNKNOWN.
//
// The LED value files /sys/class/gpio/gpioN/value do not exist here either;
// opening one is redirected to $XRSIM_DIR/gpioN.value, in append mode, so
// the file keeps every level written, one per line.
//
// sleep() in a process holding a bridge port, and poll() with a timeout of a
// second or more on a bridge descriptor, are shortened: to XRSIM_SLEEP_MS
// milliseconds, or in step mode to the next step the test grants. A poll
// that ends early because its port hung up leaves that wait open: the next
// long wait of the process goes on with the same step.

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Requests of the bridge driver (the same encoding as the programs use).
struct Request {
    unsigned long number;
    const char *name;
    int kind;  // 0 register record, 1 gpio mode record, 2 plain argument, 3 int pointer
};

const Request kRequests[] = {
    {_IOWR('v', 1, int), "GET_REG", 0},
    {_IOWR('v', 2, int), "SET_REG", 0},
    {_IO('v', 9), "SET_GPIO_MODE_REG", 1},
    {_IO('v', 10), "GET_GPIO_MODE_REG", 1},
    {_IO('v', 232), "RS232_TRANSCEIVER", 2},
    {_IO('v', 233), "RS422485_TRANSCEIVER", 2},
    {_IO('v', 250), "SET_RS232", 2},
    {_IO('v', 251), "SET_RS422", 2},
    {_IO('v', 252), "SET_RS485_4W", 2},
    {_IO('v', 253), "SET_RS485_2W", 2},
    {TIOCMGET, "TIOCMGET", 3},
};

const char *const kDevices[] = {"/dev/ttyXRUSB0", "/dev/ttyXRUSB1"};

constexpr int kMaxFds = 64;
struct SimFd {
    int fd;
    int dev;   // index into kDevices, -1 free
    long gen;  // enumeration of the port at open
};
SimFd g_fds[kMaxFds];
bool g_fds_ready = false;
bool g_holder = false;   // this process opened a simulated port
unsigned g_sleeps = 0;   // long sleeps so far in this process
unsigned g_pending = 0;  // step of a wait a hangup cut short, 0 none

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using ioctl_fn = int (*)(int, unsigned long, ...);
using close_fn = int (*)(int);
using sleep_fn = unsigned (*)(unsigned);
using poll_fn = int (*)(struct pollfd *, nfds_t, int);

template <typename F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

open_fn real_open() {
    static open_fn f = next<open_fn>("open");
    return f;
}

int real_poll(struct pollfd *fds, nfds_t n, int timeout) {
    static poll_fn f = next<poll_fn>("poll");
    return f(fds, n, timeout);
}

const char *dir() {
    const char *d = getenv("XRSIM_DIR");
    return d && *d ? d : "/tmp/xrsim";
}

void path_in_dir(char *out, size_t size, const char *name) {
    snprintf(out, size, "%s/%s", dir(), name);
}

const char *short_dev(int dev) {
    return kDevices[dev] + 5;
}  // "ttyXRUSBn"

void init_fds() {
    if (g_fds_ready) return;
    for (auto &s : g_fds) s = {-1, -1, 0};
    g_fds_ready = true;
}

SimFd *sim_fd(int fd) {
    if (!g_fds_ready || fd < 0) return nullptr;
    for (auto &s : g_fds)
        if (s.fd == fd && s.dev >= 0) return &s;
    return nullptr;
}

// Whole small file into buf (NUL-terminated); false when missing.
bool read_small(const char *name, char *buf, size_t size) {
    char path[512];
    path_in_dir(path, sizeof path, name);
    int fd = real_open()(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t have = 0;
    while (have + 1 < size) {
        ssize_t n = read(fd, buf + have, size - 1 - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    buf[have] = '\0';
    close(fd);
    return true;
}

bool exists_in_dir(const char *name) {
    char path[512];
    path_in_dir(path, sizeof path, name);
    return access(path, F_OK) == 0;
}

long port_gen(int dev) {
    char name[64], buf[32];
    snprintf(name, sizeof name, "%s.gen", short_dev(dev));
    return read_small(name, buf, sizeof buf) ? strtol(buf, nullptr, 10) : 0;
}

bool node_gone(int dev) {
    char name[64];
    snprintf(name, sizeof name, "%s.gone", short_dev(dev));
    return exists_in_dir(name);
}

// A descriptor of an enumeration that has since left the bus: hung up.
bool hung_up(const SimFd &s) {
    return s.gen != port_gen(s.dev);
}

void held_name(char *out, size_t size, const SimFd &s) {
    char name[128];
    snprintf(name, sizeof name, "held/%s.%d.%d", short_dev(s.dev), static_cast<int>(getpid()),
             s.fd);
    path_in_dir(out, size, name);
}

void write_all(int fd, const char *text, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_line(const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    size_t len =
        static_cast<size_t>(n) < sizeof line - 1 ? static_cast<size_t>(n) : sizeof line - 2;
    line[len++] = '\n';
    char path[512];
    path_in_dir(path, sizeof path, "log");
    int fd = real_open()(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    write_all(fd, line, len);
    close(fd);
}

// "NAME" or "NAME dev" in the fail file.
bool should_fail(const char *name, int dev) {
    char buf[4096];
    if (!read_small("fail", buf, sizeof buf)) return false;
    char *save = nullptr;
    for (char *line = strtok_r(buf, "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
        char word[64] = "", where[64] = "";
        if (sscanf(line, "%63s %63s", word, where) < 1) continue;
        if (strcmp(word, name) != 0) continue;
        if (where[0] == '\0' || strcmp(where, short_dev(dev)) == 0) return true;
    }
    return false;
}

// The register file of one port.
struct Regs {
    static constexpr int kMax = 64;
    char key[kMax][32];
    long value[kMax];
    int count = 0;

    long get(const char *k) const {
        for (int i = 0; i < count; ++i)
            if (strcmp(key[i], k) == 0) return value[i];
        return 0;
    }
    void set(const char *k, long v) {
        for (int i = 0; i < count; ++i)
            if (strcmp(key[i], k) == 0) {
                value[i] = v;
                return;
            }
        if (count == kMax) return;
        snprintf(key[count], sizeof key[count], "%s", k);
        value[count++] = v;
    }
};

void regs_name(char *out, size_t size, int dev) {
    snprintf(out, size, "%s.regs", short_dev(dev));
}

void load_regs(int dev, Regs &regs) {
    char name[64], buf[4096];
    regs_name(name, sizeof name, dev);
    regs.count = 0;
    if (!read_small(name, buf, sizeof buf)) return;
    char *save = nullptr;
    for (char *line = strtok_r(buf, "\n", &save); line; line = strtok_r(nullptr, "\n", &save)) {
        char k[32];
        long v;
        if (sscanf(line, "%31s %li", k, &v) == 2) regs.set(k, v);
    }
}

void store_regs(int dev, const Regs &regs) {
    char name[64], path[512], tmp[520];
    regs_name(name, sizeof name, dev);
    path_in_dir(path, sizeof path, name);
    snprintf(tmp, sizeof tmp, "%s.%d", path, static_cast<int>(getpid()));
    int fd = real_open()(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    for (int i = 0; i < regs.count; ++i) {
        char line[64];
        int n = snprintf(line, sizeof line, "%s %ld\n", regs.key[i], regs.value[i]);
        write_all(fd, line, static_cast<size_t>(n));
    }
    close(fd);
    rename(tmp, path);
}

// Serialises the processes of one test on the register files.
struct Lock {
    int fd;
    Lock() {
        char path[512];
        path_in_dir(path, sizeof path, ".lock");
        fd = real_open()(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) flock(fd, LOCK_EX);
    }
    ~Lock() {
        if (fd >= 0) close(fd);
    }
};

void reg_key(char *out, size_t size, int reg) {
    snprintf(out, size, "%d", reg);
}

int di_override() {
    char buf[16];
    if (!read_small("di", buf, sizeof buf)) return -1;
    return buf[0] == '0' ? 0 : 1;
}

int fail_with(int err) {
    errno = err;
    return -1;
}

// A hung-up descriptor fails every request with EIO, as the tty layer does.
int serve(int dev, bool hung, unsigned long number, void *arg) {
    const Request *req = nullptr;
    for (const auto &r : kRequests)
        if (r.number == number) req = &r;
    const char *d = short_dev(dev);
    if (!req) {
        log_line("%s UNKNOWN 0x%lx", d, number);
        return fail_with(ENOTTY);
    }
    Lock lock;
    if (req->kind == 2) {
        int plain = static_cast<int>(reinterpret_cast<uintptr_t>(arg));
        log_line("%s %s %d", d, req->name, plain);
        if (hung || should_fail(req->name, dev)) return fail_with(EIO);
        Regs regs;
        load_regs(dev, regs);
        regs.set(req->name[0] == 'S' ? "mode" : "transceiver", static_cast<long>(number & 0xff));
        store_regs(dev, regs);
        return 0;
    }
    if (!arg) {
        log_line("%s %s (null)", d, req->name);
        return fail_with(EFAULT);
    }
    Regs regs;
    load_regs(dev, regs);
    if (req->kind == 3) {
        bool failed = hung || should_fail(req->name, dev);
        int v = static_cast<int>(regs.get("tiocm"));
        log_line("%s %s", d, req->name);
        if (failed) return fail_with(EIO);
        *static_cast<int *>(arg) = v;
        return 0;
    }
    if (req->kind == 1) {
        auto *rec = static_cast<int32_t *>(arg);  // channel, value
        bool get = number == _IO('v', 10);
        if (get)
            log_line("%s %s %d", d, req->name, rec[0]);
        else
            log_line("%s %s %d %d", d, req->name, rec[0], rec[1]);
        if (hung || should_fail(req->name, dev)) return fail_with(EIO);
        if (get) {
            rec[1] = static_cast<int32_t>(regs.get("gpio_mode"));
        } else {
            regs.set("gpio_mode", rec[1]);
            store_regs(dev, regs);
        }
        return 0;
    }
    auto *rec = static_cast<int32_t *>(arg);  // channel, reg, value
    bool get = number == _IOWR('v', 1, int);
    if (get)
        log_line("%s %s %d %d", d, req->name, rec[0], rec[1]);
    else
        log_line("%s %s %d %d %d", d, req->name, rec[0], rec[1], rec[2]);
    if (hung || should_fail(req->name, dev)) return fail_with(EIO);
    char key[16];
    reg_key(key, sizeof key, rec[1]);
    if (get) {
        long v = regs.get(key);
        if (rec[1] == 31 && dev == 1) {
            int di = di_override();
            if (di >= 0) v = (v & ~4L) | (di ? 4L : 0L);
        }
        rec[2] = static_cast<int32_t>(v);
        return 0;
    }
    regs.set(key, rec[2]);
    if (rec[1] == 29 || rec[1] == 30) {
        long state = regs.get("31");
        state = rec[1] == 29 ? (state | rec[2]) : (state & ~static_cast<long>(rec[2]));
        regs.set("31", state);
    }
    store_regs(dev, regs);
    return 0;
}

int device_index(const char *path) {
    if (!path) return -1;
    for (int i = 0; i < 2; ++i)
        if (strcmp(path, kDevices[i]) == 0) return i;
    return -1;
}

// /sys/class/gpio/gpioN/value -> $XRSIM_DIR/gpioN.value
bool led_path(const char *path, char *out, size_t size) {
    static const char prefix[] = "/sys/class/gpio/gpio";
    if (!path || strncmp(path, prefix, sizeof prefix - 1) != 0) return false;
    const char *p = path + sizeof prefix - 1;
    const char *digits = p;
    while (*p >= '0' && *p <= '9') ++p;
    if (p == digits || strcmp(p, "/value") != 0) return false;
    char name[64];
    snprintf(name, sizeof name, "gpio%.*s.value", static_cast<int>(p - digits), digits);
    path_in_dir(out, size, name);
    return true;
}

int open_sim(int dev, int flags) {
    init_fds();
    log_line("%s open 0x%x", short_dev(dev), static_cast<unsigned>(flags));
    if (should_fail("open", dev) || node_gone(dev)) return fail_with(ENOENT);
    int fd = real_open()("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0) return fd;
    for (auto &s : g_fds)
        if (s.fd < 0) {
            s = {fd, dev, port_gen(dev)};
            g_holder = true;
            char held[512], gen[32];
            path_in_dir(held, sizeof held, "held");
            mkdir(held, 0755);
            held_name(held, sizeof held, s);
            int h = real_open()(held, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (h >= 0) {
                write_all(h, gen, static_cast<size_t>(snprintf(gen, sizeof gen, "%ld\n", s.gen)));
                close(h);
            }
            return fd;
        }
    close(fd);
    return fail_with(EMFILE);
}

// Common path of every open variant; false when the call is not ours.
bool intercept_open(const char *path, int flags, mode_t mode, int &result) {
    int dev = device_index(path);
    if (dev >= 0) {
        result = open_sim(dev, flags);
        return true;
    }
    char led[512];
    if (led_path(path, led, sizeof led)) {
        int f = (flags & ~O_TRUNC) | O_CREAT | ((flags & O_ACCMODE) != O_RDONLY ? O_APPEND : 0);
        result = real_open()(led, f, mode ? mode : 0644);
        return true;
    }
    return false;
}

bool is_absolute(const char *path) {
    return path != nullptr && path[0] == '/';
}

mode_t mode_arg(int flags, va_list ap) {
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}

// Any of the watched descriptors hung up (marked POLLHUP); false for none.
bool mark_hung(struct pollfd *fds, nfds_t n) {
    bool any = false;
    for (nfds_t i = 0; fds && i < n; ++i) {
        SimFd *s = sim_fd(fds[i].fd);
        if (s && hung_up(*s)) {
            fds[i].revents = POLLHUP;
            any = true;
        }
    }
    return any;
}

enum class WaitEnd { kDone, kSignal, kHangup };

// One long wait of the daemon: a step in step mode, else XRSIM_SLEEP_MS.
// A hangup of a watched port ends it early but leaves it pending, so the
// wait for the rest of the period goes on with the same step.
WaitEnd long_wait(unsigned seconds, struct pollfd *watch, nfds_t n) {
    if (mark_hung(watch, n)) return WaitEnd::kHangup;
    if (g_pending == 0) {
        log_line("- sleep %u", seconds);
        g_pending = ++g_sleeps;
    }
    const bool step = getenv("XRSIM_STEP") != nullptr;
    const char *ms = getenv("XRSIM_SLEEP_MS");
    // Bounded: a test that forgets to step does not hang the daemon for ever.
    const int slices = step ? 12000 : (ms ? atoi(ms) : 0) / 5 + 1;
    for (int i = 0; i < slices; ++i) {
        // A hangup the test made before it granted the step comes first.
        if (mark_hung(watch, n)) return WaitEnd::kHangup;
        char buf[32];
        if (step && read_small("steps", buf, sizeof buf) && strtoul(buf, nullptr, 10) >= g_pending)
            break;
        if (real_poll(nullptr, 0, 5) < 0 && errno == EINTR) {
            g_pending = 0;
            return WaitEnd::kSignal;
        }
    }
    g_pending = 0;
    return WaitEnd::kDone;
}

unsigned short_sleep(unsigned seconds) {
    return long_wait(seconds, nullptr, 0) == WaitEnd::kSignal ? seconds : 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int r;
    if (intercept_open(path, flags, mode, r)) return r;
    return real_open()(path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int r;
    if (intercept_open(path, flags, mode, r)) return r;
    static open_fn f = next<open_fn>("open64");
    return f(path, flags, mode);
}

__attribute__((visibility("default"))) int __open_2(const char *path, int flags) {
    int r;
    if (intercept_open(path, flags, 0, r)) return r;
    return real_open()(path, flags);
}

__attribute__((visibility("default"))) int __open64_2(const char *path, int flags) {
    return __open_2(path, flags);
}

__attribute__((visibility("default"))) int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int r;
    if (is_absolute(path) && intercept_open(path, flags, mode, r)) return r;
    static openat_fn f = next<openat_fn>("openat");
    return f(dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    int r;
    if (is_absolute(path) && intercept_open(path, flags, mode, r)) return r;
    static openat_fn f = next<openat_fn>("openat64");
    return f(dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    SimFd *s = sim_fd(fd);
    if (s) return serve(s->dev, hung_up(*s), request, arg);
    static ioctl_fn f = next<ioctl_fn>("ioctl");
    return f(fd, request, arg);
}

__attribute__((visibility("default"))) int close(int fd) {
    SimFd *s = sim_fd(fd);
    if (s) {
        log_line("%s close", short_dev(s->dev));
        char held[512];
        held_name(held, sizeof held, *s);
        unlink(held);
        *s = {-1, -1, 0};
    }
    static close_fn f = next<close_fn>("close");
    return f(fd);
}

// A wait on bridge descriptors alone (the daemon's period, watching its port
// for a hangup) is a long wait; every other poll is the system's.
__attribute__((visibility("default"))) int poll(struct pollfd *fds, nfds_t n, int timeout) {
    bool ours = n > 0 && timeout >= 1000 && (getenv("XRSIM_STEP") || getenv("XRSIM_SLEEP_MS"));
    for (nfds_t i = 0; ours && i < n; ++i) ours = sim_fd(fds[i].fd) != nullptr;
    if (!ours) return real_poll(fds, n, timeout);
    for (nfds_t i = 0; i < n; ++i) fds[i].revents = 0;
    switch (long_wait(static_cast<unsigned>(timeout / 1000), fds, n)) {
        case WaitEnd::kHangup: {
            int count = 0;
            for (nfds_t i = 0; i < n; ++i) count += fds[i].revents != 0;
            return count;
        }
        case WaitEnd::kSignal:
            return fail_with(EINTR);
        case WaitEnd::kDone:
            break;
    }
    return 0;
}

__attribute__((visibility("default"))) unsigned sleep(unsigned seconds) {
    if (g_holder && (getenv("XRSIM_STEP") || getenv("XRSIM_SLEEP_MS"))) return short_sleep(seconds);
    static sleep_fn f = next<sleep_fn>("sleep");
    return f(seconds);
}

}  // extern "C"
