// trimfile RESERVE FILE: cuts FILE down to RESERVE kilobytes when it is larger.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "trim.h"

namespace {

constexpr int kFail = 255;

int usage(const char *prog) {
    std::printf("%s [reserve_size(kbyte)] [filename]\n", prog);
    return kFail;
}

}  // namespace

int main(int argc, char **argv) {
    const char *prog = argc > 0 ? argv[0] : "trimfile";
    if (argc < 3) return usage(prog);

    // The limit is a 64-bit byte count; a reserve that is no number is refused
    // rather than read as 0 (which would empty the file).
    const auto limit = trim::reserve_bytes(argv[1]);
    if (!limit) return usage(prog);

    struct stat st {};
    if (::stat(argv[2], &st) != 0) {
        std::printf("stat error\n");
        return kFail;
    }
    if (*limit >= static_cast<std::int64_t>(st.st_size)) return 0;

    // Descriptor 0 is a valid descriptor too (trimfile may run with stdin closed).
    int fd = ::open(argv[2], O_RDWR | O_CLOEXEC);
    if (fd < 0) return kFail;
    int rc = ::ftruncate(fd, static_cast<off_t>(*limit));
    if (::close(fd) != 0) rc = -1;
    return rc == 0 ? 0 : kFail;
}
