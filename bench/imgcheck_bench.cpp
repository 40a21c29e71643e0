// imgcheck_bench IMGCHECK IMAGE [ROUNDS]
//
// Times imgcheck on IMAGE against a bare pass of zlib's crc32 over the same
// file in 64 KiB blocks (the least any checker of this design must do) and
// prints both throughputs and their ratio. The image is read once first so
// both sides run from the page cache; each side's best round counts.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBlock = 65536;

struct Pass {
    double seconds = 0;
    std::uint32_t crc = 0;
};

bool bare_pass(const char *path, Pass &out) {
    static unsigned char buf[kBlock];
    auto t0 = Clock::now();
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uLong crc = crc32(0, Z_NULL, 0);
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) crc = crc32(crc, buf, static_cast<uInt>(n));
    ::close(fd);
    out.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    out.crc = static_cast<std::uint32_t>(crc);
    return n == 0;
}

bool imgcheck_pass(const char *imgcheck, const char *image, const std::string &result, Pass &out,
                   std::int32_t &length) {
    auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) ::dup2(devnull, 1);
        execl(imgcheck, imgcheck, image, result.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int st = 0;
    if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0) return false;
    out.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    unsigned char rec[8];
    int fd = ::open(result.c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool ok = ::read(fd, rec, sizeof rec) == static_cast<ssize_t>(sizeof rec);
    ::close(fd);
    std::memcpy(&out.crc, rec, 4);
    std::memcpy(&length, rec + 4, 4);
    return ok;
}

double mib_per_s(std::int64_t bytes, double seconds) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s IMGCHECK IMAGE [ROUNDS]\n", argv[0]);
        return 2;
    }
    const char *imgcheck = argv[1];
    const char *image = argv[2];
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    const std::string result = std::string(image) + ".result";

    struct stat st {};
    if (::stat(image, &st) != 0) {
        std::perror(image);
        return 1;
    }
    const std::int64_t size = st.st_size;

    Pass warm;
    if (!bare_pass(image, warm)) {
        std::fprintf(stderr, "cannot read %s\n", image);
        return 1;
    }

    std::vector<double> bare_times, check_times;
    Pass bare, check;
    std::int32_t length = 0;
    for (int i = 0; i < rounds; ++i) {
        if (!bare_pass(image, bare)) return 1;
        bare_times.push_back(bare.seconds);
        if (!imgcheck_pass(imgcheck, image, result, check, length)) {
            std::fprintf(stderr, "imgcheck failed\n");
            return 1;
        }
        check_times.push_back(check.seconds);
    }
    ::unlink(result.c_str());

    const double bare_best = *std::min_element(bare_times.begin(), bare_times.end());
    const double check_best = *std::min_element(check_times.begin(), check_times.end());
    std::printf("image: %s, %lld bytes, best of %d rounds\n", image, static_cast<long long>(size),
                rounds);
    std::printf("bare crc32 pass (64 KiB blocks): %8.1f MiB/s  %.4f s  crc %08x\n",
                mib_per_s(size, bare_best), bare_best, static_cast<unsigned>(bare.crc));
    std::printf("imgcheck (whole process):        %8.1f MiB/s  %.4f s  crc %08x length %08x\n",
                mib_per_s(size, check_best), check_best, static_cast<unsigned>(check.crc),
                static_cast<unsigned>(length));
    std::printf("ratio imgcheck / bare: %.3f (goal >= 0.9)\n", bare_best / check_best);
    if (check.crc != bare.crc || length != static_cast<std::int32_t>(size)) {
        std::printf("note: imgcheck ended the image at a marker or disagrees with the bare pass\n");
        return 1;
    }
    return 0;
}
