// imgcheck IMAGE RESULT: prints the CRC-32 and effective length of a firmware
// image, stores both in RESULT and then writes the completion marker.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "imgcheck.h"
#include "rtu/files.h"
#include "rtu/handles.h"
#include "rtu/streams.h"

int main(int argc, char **argv) {
    if (argc < 3) {
        rtu::put(stderr, "usage: %s IMAGE RESULT\n", argc > 0 ? argv[0] : "imgcheck");
        return 2;
    }

    imgcheck::ImageSum sum;
    rtu::Fd fd(::open(argv[1], O_RDONLY | O_CLOEXEC));
    if (fd) {
        struct stat st {};
        // A folder opens but cannot be read: the same as no image.
        if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) fd.reset();
    }
    if (fd) {
        sum = imgcheck::sum_image(fd.get());
        fd.reset();
        std::printf("crc:%08x length:%08x\n", static_cast<unsigned>(sum.crc),
                    static_cast<unsigned>(static_cast<std::uint32_t>(sum.length)));
        rtu::flush(stdout);
    }

    const imgcheck::ResultRecord rec = imgcheck::encode_result(sum);
    // A result file that cannot be written is skipped; the marker comes anyway.
    (void)rtu::write_status_file(
        argv[2], std::string_view(reinterpret_cast<const char *>(rec.bytes), sizeof rec.bytes));
    static const char zero[4] = {0, 0, 0, 0};
    (void)rtu::write_status_file(imgcheck::kDonePath, std::string_view(zero, sizeof zero));
    return 0;
}
