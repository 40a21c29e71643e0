// pinctl: reads DI and DO, sets DO, programs the pin directions of the
// bridge, or runs the digital I/O daemon.
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "bridge_pins.h"
#include "dido_daemon.h"
#include "platform.h"
#include "rtu/files.h"
#include "rtu/numbers.h"
#include "rtu/shell.h"
#include "rtu/streams.h"
#include "xr_bridge.h"

namespace {

using dio::Bridge;

volatile std::sig_atomic_t g_apply_shared = 0;

void on_usr2(int) {
    g_apply_shared = 1;
}

int usage() {
    std::printf(
        "Usage:\n"
        "pinctl get_di_status                         - get di status\n"
        "pinctl get_do_status                         - get do status\n"
        "pinctl set_do_status[0|1]                    - set do status\n"
        "pinctl exar_init                             - set gpio direction\n"
        "pinctl dido_daemon                           - DIDO daemon\n");
    return 1;
}

bool is(const char *word, const char *name, std::size_t compared) {
    return std::strncmp(word, name, compared) == 0;
}

// The router itself: stdout, the shell, the platform's shared values.
class RouterHost : public dio::DaemonHost {
  public:
    void print(const std::string &text) override {
        rtu::put(stdout, "%s", text.c_str());
        rtu::flush(stdout);
    }
    void run(const std::string &cmd) override { rtu::run_shell_status(cmd); }
    void run_piped(const std::string &cmd) override { rtu::output_of(cmd, 0); }
    std::string output(const std::string &cmd, std::size_t max) override {
        return rtu::output_of(cmd, max);
    }
    bool file_exists(const std::string &path) override { return rtu::file_exists(path); }
    std::optional<int> read_number(const std::string &path) override {
        return rtu::read_number_file(path);
    }
    void touch(const std::string &path) override { rtu::touch_file(path); }
    std::optional<std::string> get_shared(const std::string &name) override {
        const char *v = databoard_getvalue("common", name.c_str());
        if (!v) return std::nullopt;
        return std::string(v);
    }
    void set_shared(const std::string &name, const std::string &value) override {
        databoard_setvalue("common", name.c_str(), value.c_str());
    }
};

[[noreturn]] void run_daemon(Bridge bridge, const dio::RuleCodes &codes) {
    // Output goes to a log or a pipe: keep it in order with the commands run.
    rtu::line_buffered(stdout);
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigaction(SIGUSR1, &sa, nullptr);
    // SA_RESTART keeps a signal from cutting short the reading of a command's
    // output (a half-read "pidof openvpn" would look like a stopped VPN);
    // the wait between passes is still interrupted, so the request is served
    // at once.
    sa.sa_handler = on_usr2;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR2, &sa, nullptr);

    RouterHost host;
    dio::BridgePins pins(dio::kGpioPort, std::move(bridge), host);
    dio::DidoDaemon daemon(pins, host, codes);
    daemon.start();
    for (;;) {
        bool apply = g_apply_shared != 0;
        if (apply) g_apply_shared = 0;
        pins.begin_pass();
        daemon.pass(apply);
        // SIGUSR2 may cut the wait short; the next pass then starts at once.
        pins.wait(dio::DidoDaemon::kPeriodSeconds);
        daemon.end_pass();
    }
}

int read_bit(Bridge &bridge, std::int32_t mask) {
    std::int32_t state = 0;
    int r = bridge.get_reg(dio::kRegGpioState, state);
    if (r >= 0) std::printf("%s\n", (state & mask) ? "1" : "0");
    return r;
}

int run(int argc, char **argv) {
    auto bridge = Bridge::open(dio::kGpioPort);
    if (!bridge) {
        std::printf("Can't open device %s\n", dio::kGpioPort);
        return 1;
    }
    if (argc < 2) return usage();
    const char *cmd = argv[1];
    int r = 0;
    if (is(cmd, "exar_init", 9)) {
        r = bridge->set_reg(dio::kRegGpioDirection, dio::kPinDirections);
    } else if (is(cmd, "get_di_status", 7)) {
        r = read_bit(*bridge, dio::kMaskDi);
    } else if (is(cmd, "get_do_status", 7)) {
        r = read_bit(*bridge, dio::kMaskDo);
    } else if (is(cmd, "set_do_status", 7)) {
        if (argc < 3) return usage();
        int reg = rtu::leading_int(argv[2], 0) == 1 ? dio::kRegGpioSet : dio::kRegGpioClear;
        r = bridge->set_reg(reg, dio::kMaskDo);
        if (r < 0) std::printf("Cannot set value");
    } else if (argc < 3) {
        return usage();
    } else if (is(cmd, "dido_daemon", 11)) {
        if (argc < 6) return usage();
        dio::RuleCodes codes{rtu::leading_int(argv[2]), rtu::leading_int(argv[3]),
                             rtu::leading_int(argv[4]), rtu::leading_int(argv[5])};
        run_daemon(std::move(*bridge), codes);
    } else if (is(argv[2], "get_test", 8)) {
        int lines = 0;
        r = bridge->modem_lines(lines);
        if (r >= 0) std::printf("value is 0x%x\n", static_cast<unsigned>(lines));
    }
    return r < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    int rc = run(argc, argv);
    rtu::flush(stdout);
    return rc;
}
