// Reads generated configuration files of 10,000 and 100,000 lines (1,000
// sections) with librsm and with iniparser, and looks up every value once.
// Prints the best of several runs for each.
//   rsm_bench [work dir] [--rsm-only]   (default: the current directory)
// --rsm-only skips iniparser and runs librsm once per file, for counting
// instructions under a profiler (valgrind --tool=callgrind).
#include <iniparser.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "rsm.h"

namespace {

constexpr int kSections = 1000;
int runs = 5;

struct Key {
    std::string section;
    std::string name;
    std::string joined;  // "section:name" for iniparser
};

// Writes a file of about `lines` lines; returns its keys.
std::vector<Key> generate(const std::string &path, int lines) {
    std::vector<Key> keys;
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return keys;
    int per_section = lines / kSections - 1;  // the header takes a line
    for (int s = 0; s < kSections; ++s) {
        std::string sec = "section" + std::to_string(s);
        std::fprintf(f, "[%s]\n", sec.c_str());
        for (int v = 0; v < per_section; ++v) {
            std::string name = "key" + std::to_string(v);
            if (v % 2 == 0) {
                std::fprintf(f, "%s = %d\n", name.c_str(), s * 1000 + v);
            } else {
                std::fprintf(f, "%s = \"value %d of %d\"\n", name.c_str(), v, s);
            }
            keys.push_back({sec, name, sec + ":" + name});
        }
    }
    std::fclose(f);
    return keys;
}

template <typename Fn>
double best_ms(Fn fn) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        if (!fn()) return -1;
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

bool run_rsm(const std::string &path, const std::vector<Key> &keys) {
    rsm_t *store = rsm_read(path.c_str());
    if (store == nullptr) return false;
    std::size_t found = 0;
    for (const Key &k : keys) {
        if (rsm_value_get_by_name(store, k.section.c_str(), k.name.c_str(), nullptr) != nullptr) {
            ++found;
        }
    }
    rsm_free(store);
    return found == keys.size();
}

bool run_ini(const std::string &path, const std::vector<Key> &keys) {
    dictionary *d = iniparser_load(path.c_str());
    if (d == nullptr) return false;
    std::size_t found = 0;
    for (const Key &k : keys) {
        if (iniparser_getstring(d, k.joined.c_str(), nullptr) != nullptr) ++found;
    }
    iniparser_freedict(d);
    return found == keys.size();
}

}  // namespace

int main(int argc, char **argv) {
    std::string dir = argc > 1 ? argv[1] : ".";
    bool rsm_only = argc > 2 && std::string(argv[2]) == "--rsm-only";
    if (rsm_only) runs = 1;
    std::printf("%-8s %8s %12s %14s %8s\n", "lines", "values", "librsm ms", "iniparser ms",
                "ratio");
    double rsm_small = 0;
    for (int lines : {10000, 100000}) {
        std::string path = dir + "/bench-" + std::to_string(lines) + ".conf";
        std::vector<Key> keys = generate(path, lines);
        if (keys.empty()) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        double r = best_ms([&] { return run_rsm(path, keys); });
        double i = rsm_only ? 1.0 : best_ms([&] { return run_ini(path, keys); });
        if (r < 0 || i < 0) {
            std::fprintf(stderr, "a reader failed on %s\n", path.c_str());
            return 1;
        }
        std::printf("%-8d %8zu %12.2f %14.2f %8.2f\n", lines, keys.size(), r, i, r / i);
        if (lines == 10000) {
            rsm_small = r;
        } else {
            std::printf("librsm: 10x the lines cost %.2fx the time\n", r / rsm_small);
        }
        std::remove(path.c_str());
    }
    return 0;
}
