// Calls per second of RSM_GET_INTEGER and RSM_SET_INTEGER on a 300-line
// configuration file, and of SHMCOMMON_Setval look-ups in a full area.
//   rsmwrapper_bench <folder> [seconds per measure]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "rsmwrapper.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
void measure(const char *what, double seconds, F call) {
    long calls = 0;
    auto start = Clock::now();
    auto until = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        for (int i = 0; i < 16; ++i) {
            if (!call(calls)) {
                std::fprintf(stderr, "%s failed at call %ld\n", what, calls);
                std::exit(1);
            }
            ++calls;
        }
    }
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%-44s %10.0f calls/s  (%ld calls in %.2f s)\n", what, calls / took, calls, took);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s folder [seconds]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    const std::string conf = dir + "/system.conf";
    {
        // 300 lines: 20 sections of 14 values, each with its header.
        std::ofstream out(conf);
        int lines = 0;
        for (int s = 0; lines < 300; ++s) {
            out << "[section" << s << "]\n";
            ++lines;
            for (int v = 0; v < 14 && lines < 300; ++v, ++lines) {
                if (v % 3 == 0)
                    out << "name" << v << " = \"text value " << v << "\"\n";
                else
                    out << "name" << v << " = " << v * 100 << "\n";
            }
        }
    }
    const char *path = conf.c_str();
    measure("RSM_GET_INTEGER (300-line file)", seconds, [&](long) {
        int n = 0;
        return RSM_GET_INTEGER("section10", "name7", &n, path) == 0 && n == 700;
    });
    measure("RSM_SET_INTEGER (300-line file)", seconds, [&](long i) {
        int n = static_cast<int>(i);
        return RSM_SET_INTEGER("section10", "name8", &n, path) == 0;
    });

    ShmCommonSegment *seg = SHMCOMMON_SHMInit();
    if (seg == nullptr) {
        std::fprintf(stderr, "no shared segment (is %s there?)\n", SHMCOMMON_KEY_FILE);
        return 1;
    }
    char key[64];
    for (int i = 0; i < SHMCOMMON_SLOTS; ++i) {
        std::snprintf(key, sizeof key, "common_key%03d", i);
        SHMCOMMON_Setval(0, seg, key, "value");
    }
    measure("SHMCOMMON_Setval, full area, last slot's key", seconds,
            [&](long) { return SHMCOMMON_Setval(0, seg, "common_key199", "v2") != nullptr; });
    measure("SHMCOMMON_Setval, full area, first slot's key", seconds,
            [&](long) { return SHMCOMMON_Setval(0, seg, "common_key000", "v2") != nullptr; });
    measure("SHMCOMMON_Setval, full area, new key (refused)", seconds,
            [&](long) { return SHMCOMMON_Setval(0, seg, "common_other", "v") == nullptr; });
    SHMCOMMON_Detach(seg);
    return 0;
}
