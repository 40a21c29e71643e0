// trimwatch -c CONFIG [-t SECONDS]: runs trimfile for every listed file that
// exists, once per interval, until a signal ends it.
//
// SIGINT, SIGABRT and SIGTERM only set a flag. They are blocked except while
// a command runs and inside the wait between passes, which unblocks them
// atomically (ppoll), so a signal never gets lost between the check of the
// flag and the start of the wait; the main loop then frees the list and exits.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "rtu/files.h"
#include "rtu/handles.h"
#include "rtu/shell.h"
#include "rtu/streams.h"
#include "trim.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

struct Settings {
    std::string config;
    int interval = trim::kDefaultInterval;
};

class StopSignals {
  public:
    StopSignals() {
        sigemptyset(&set_);
        for (int sig : {SIGINT, SIGABRT, SIGTERM}) sigaddset(&set_, sig);
        sigprocmask(SIG_BLOCK, &set_, &open_);
        sigdelset(&open_, SIGINT);
        sigdelset(&open_, SIGABRT);
        sigdelset(&open_, SIGTERM);
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        for (int sig : {SIGINT, SIGABRT, SIGTERM}) sigaction(sig, &sa, nullptr);
    }

    // Runs cmd with the stop signals open, so the command inherits them open.
    void run(const std::string &cmd) {
        sigprocmask(SIG_SETMASK, &open_, nullptr);
        (void)rtu::run_shell(cmd);
        sigprocmask(SIG_BLOCK, &set_, nullptr);
    }

    // Waits for the interval or a stop signal, whichever comes first.
    void wait(int seconds) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::time_t end = now.tv_sec + seconds;
        const long end_ns = now.tv_nsec;
        while (!g_stop) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec > end || (now.tv_sec == end && now.tv_nsec >= end_ns)) return;
            timespec left{end - now.tv_sec, end_ns - now.tv_nsec};
            if (left.tv_nsec < 0) {
                left.tv_sec -= 1;
                left.tv_nsec += 1000000000L;
            }
            ppoll(nullptr, 0, &left, &open_);
        }
    }

  private:
    sigset_t set_{};
    sigset_t open_{};
};

// Reads the configuration; false when it cannot be opened.
bool load_config(const std::string &path, std::vector<trim::mon_entry> &list) {
    std::printf("Load configfile %s ...\n", path.c_str());
    rtu::FilePtr f(std::fopen(path.c_str(), "r"));
    if (!f) return false;
    std::string line;
    int c;
    bool eof = false;
    while (!eof) {
        line.clear();
        // A line longer than the limit is cut; its rest is not a line of its own.
        while ((c = std::fgetc(f.get())) != EOF && c != '\n') {
            if (line.size() < trim::kLineMax) line.push_back(static_cast<char>(c));
        }
        eof = c == EOF;
        if (eof && line.empty()) break;
        auto entry = trim::parse_config_line(line);
        if (!entry) continue;
        try {
            list.push_back(*entry);
        } catch (const std::bad_alloc &) {
            std::printf("Memory is empty\n");
            continue;
        }
        std::printf("add mon(%s,%d)\n", entry->path.c_str(), entry->size);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    // Lines go out as they are printed, also into a pipe or a log.
    rtu::line_buffered(stdout);
    (void)std::signal(SIGPIPE, SIG_IGN);  // fails only for an invalid signal
    StopSignals signals;

    Settings settings;
    int opt;
    while ((opt = getopt(argc, argv, "c:t:")) != -1) {
        switch (opt) {
            case 'c':
                settings.config = std::string(optarg).substr(0, trim::kPathMax);
                break;
            case 't':
                settings.interval = trim::interval_from_option(optarg);
                break;
            default:
                return 1;
        }
    }

    std::vector<trim::mon_entry> list;
    if (!load_config(settings.config, list)) {
        std::printf("fail\n");
        return 255;
    }
    for (const auto &e : list) std::printf("mon_entry(%s,%d)\n", e.path.c_str(), e.size);

    while (!g_stop) {
        for (const auto &e : list) {
            if (g_stop) break;
            if (!rtu::file_exists(e.path)) continue;
            const std::string cmd = trim::trim_command(e);
            if (cmd.empty()) continue;
            std::printf("cmd:%s\n", cmd.c_str());
            rtu::flush(stdout);
            signals.run(cmd);
        }
        if (g_stop) break;
        signals.wait(settings.interval);
    }
    return 1;
}
