// Block scan of the image summing, on in-memory files.
#include "imgcheck.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "rtu/handles.h"

namespace {

using imgcheck::kBlockSize;

// Filler that never contains the first marker byte.
std::vector<unsigned char> filler(std::size_t n) {
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + 7) % 0xD0);
    return v;
}

void put_marker(std::vector<unsigned char> &v, std::size_t at) {
    std::memcpy(v.data() + at, imgcheck::kMarker, 4);
}

std::uint32_t crc_of(const std::vector<unsigned char> &v, std::size_t n) {
    return static_cast<std::uint32_t>(crc32(0, v.data(), static_cast<uInt>(n)));
}

class MemImage {
  public:
    explicit MemImage(const std::vector<unsigned char> &data) : fd_(memfd_create("img", 0)) {
        EXPECT_TRUE(fd_);
        if (!data.empty()) {
            EXPECT_EQ(::write(fd_.get(), data.data(), data.size()),
                      static_cast<ssize_t>(data.size()));
        }
    }
    int fd() const { return fd_.get(); }

  private:
    rtu::Fd fd_;
};

imgcheck::ImageSum sum_of(const std::vector<unsigned char> &data) {
    MemImage img(data);
    return imgcheck::sum_image(img.fd());
}

TEST(FindMarker, OnlyOnTheSixteenByteGrid) {
    auto v = filler(256);
    EXPECT_EQ(imgcheck::find_marker(v.data(), v.size()), -1);
    put_marker(v, 36);
    EXPECT_EQ(imgcheck::find_marker(v.data(), v.size()), -1);
    put_marker(v, 48);
    put_marker(v, 96);
    EXPECT_EQ(imgcheck::find_marker(v.data(), v.size()), 48);
}

TEST(FindMarker, LastGridSlotOfABlockCounts) {
    auto v = filler(kBlockSize);
    put_marker(v, kBlockSize - 16);
    EXPECT_EQ(imgcheck::find_marker(v.data(), v.size()), static_cast<long>(kBlockSize - 16));
}

TEST(SumImage, MarkerInALaterBlockEndsTheImage) {
    auto v = filler(3 * kBlockSize + 500);
    const std::size_t at = 2 * kBlockSize + 4096;
    put_marker(v, at);
    auto s = sum_of(v);
    EXPECT_EQ(s.length, static_cast<std::int32_t>(at));
    EXPECT_EQ(s.crc, crc_of(v, at));
}

TEST(SumImage, ShortLastBlockIsSummedOverItsOwnBytesOnly) {
    auto v = filler(2 * kBlockSize + 1);
    auto s = sum_of(v);
    EXPECT_EQ(s.length, static_cast<std::int32_t>(v.size()));
    EXPECT_EQ(s.crc, crc_of(v, v.size()));
}

TEST(SumImage, MarkerInTheShortLastBlockIsFound) {
    auto v = filler(kBlockSize + 64);
    put_marker(v, 1000);  // off the grid in block 0
    put_marker(v, kBlockSize + 32);
    auto s = sum_of(v);
    EXPECT_EQ(s.length, static_cast<std::int32_t>(kBlockSize + 32));
    EXPECT_EQ(s.crc, crc_of(v, kBlockSize + 32));
}

TEST(SumImage, UnseekableInputIsSummedOverWhatItDelivers) {
    auto v = filler(kBlockSize + 300);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(p[0]);
        std::size_t off = 0;
        while (off < v.size()) {
            ssize_t n = ::write(p[1], v.data() + off, std::min<std::size_t>(1000, v.size() - off));
            if (n <= 0) _exit(1);
            off += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    ::close(p[1]);
    auto s = imgcheck::sum_image(p[0]);
    ::close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_EQ(s.length, static_cast<std::int32_t>(v.size()));
    EXPECT_EQ(s.crc, crc_of(v, v.size()));
}

TEST(EncodeResult, CrcThenLengthInMachineOrder) {
    imgcheck::ImageSum s;
    s.crc = 0x11223344u;
    s.length = -2;
    auto rec = imgcheck::encode_result(s);
    std::uint32_t crc;
    std::int32_t len;
    std::memcpy(&crc, rec.bytes, 4);
    std::memcpy(&len, rec.bytes + 4, 4);
    EXPECT_EQ(crc, 0x11223344u);
    EXPECT_EQ(len, -2);
}

}  // namespace
