#include "imgcheck.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace imgcheck {
namespace {

// Reads up to size bytes, going on after short reads; stops at end of file
// or on an error. Returns the number of bytes read.
std::size_t read_block(int fd, unsigned char *buf, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

}  // namespace

long find_marker(const unsigned char *block, std::size_t size) {
    std::uint32_t want;
    std::memcpy(&want, kMarker, sizeof want);
    auto word = [block](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, block + at, sizeof v);
        return v;
    };
    std::size_t k = 0;
    // Four grid slots per step with one branch; the exact slot is found below.
    for (; k + 4 * kMarkerStep <= size; k += 4 * kMarkerStep) {
        const int hits = (word(k) == want) + (word(k + kMarkerStep) == want) +
                         (word(k + 2 * kMarkerStep) == want) + (word(k + 3 * kMarkerStep) == want);
        if (hits != 0) break;
    }
    for (; k + sizeof want <= size; k += kMarkerStep) {
        if (word(k) == want) return static_cast<long>(k);
    }
    return -1;
}

ImageSum sum_image(int fd) {
    // One buffer for the whole image: memory use does not grow with it.
    static unsigned char buf[kBlockSize];

    const off_t file_end = ::lseek(fd, 0, SEEK_END);
    const bool seekable = file_end >= 0 && ::lseek(fd, 0, SEEK_SET) == 0;
    const std::int64_t size = seekable ? static_cast<std::int64_t>(file_end) : 0;
    const std::int64_t full_blocks = size / static_cast<std::int64_t>(kBlockSize);
    const std::size_t tail = static_cast<std::size_t>(size % static_cast<std::int64_t>(kBlockSize));

    uLong crc = 0;
    std::int64_t length = size;
    std::int64_t streamed = 0;
    bool found = false;
    std::memset(buf, 0, sizeof buf);
    for (std::int64_t block = 0;; ++block) {
        std::size_t got = read_block(fd, buf, kBlockSize);
        if (got == 0) break;
        // The buffer counts as cleared after every block; a full read
        // overwrites all of it, so only a short read needs the clearing.
        if (got < kBlockSize) std::memset(buf + got, 0, kBlockSize - got);
        // Bytes of this block that count when it holds no marker.
        std::size_t n;
        if (!seekable)
            n = got;
        else
            n = block < full_blocks ? kBlockSize : tail;
        long k = find_marker(buf, kBlockSize);
        if (k >= 0) {
            length = block * static_cast<std::int64_t>(kBlockSize) + k;
            crc = crc32(crc, buf, static_cast<uInt>(k));
            found = true;
            break;
        }
        crc = crc32(crc, buf, static_cast<uInt>(n));
        streamed += static_cast<std::int64_t>(got);
    }
    if (!seekable && !found) length = streamed;

    ImageSum sum;
    sum.crc = static_cast<std::uint32_t>(crc);
    sum.length = static_cast<std::int32_t>(static_cast<std::uint32_t>(length));
    return sum;
}

ResultRecord encode_result(const ImageSum &sum) {
    ResultRecord rec{};
    std::memcpy(rec.bytes, &sum.crc, 4);
    std::memcpy(rec.bytes + 4, &sum.length, 4);
    return rec;
}

}  // namespace imgcheck
