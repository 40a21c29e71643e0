// CRC-32 and effective length of a firmware image.
//
// The image is read in 64 KiB blocks through one fixed buffer. Its effective
// length ends at the first end-of-image marker (DE AD C0 DE) found on a 16-byte
// boundary of a block; filler after the marker is not summed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace imgcheck {

inline constexpr std::size_t kBlockSize = 65536;
inline constexpr std::size_t kMarkerStep = 16;
inline constexpr unsigned char kMarker[4] = {0xDE, 0xAD, 0xC0, 0xDE};

// Where the result and the completion marker go.
inline constexpr const char *kDonePath = "/tmp/imgcheck_ok";

struct ImageSum {
    std::uint32_t crc = 0;
    std::int32_t length = 0;  // 32 bits as stored in the result file
};

// Offset of the first marker on the 16-byte grid of a block, or -1.
long find_marker(const unsigned char *block, std::size_t size);

// Sums the image open on fd from its start. The size is taken by seeking;
// a descriptor that cannot seek is summed over what it delivers.
ImageSum sum_image(int fd);

// The 8-byte result record: CRC then length, both in machine byte order.
struct ResultRecord {
    unsigned char bytes[8];
};
ResultRecord encode_result(const ImageSum &sum);

}  // namespace imgcheck
