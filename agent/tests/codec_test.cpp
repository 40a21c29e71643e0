#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>

#include "state.h"
#include "transfer.h"

namespace {

std::string roundtrip(const std::string &text) {
    unsigned char *packed = nullptr;
    std::size_t packed_len = 0;
    EXPECT_EQ(payload_compress(text.data(), text.size(), &packed, &packed_len), 0);
    MallocPtr<unsigned char> p(packed);
    char *out = nullptr;
    std::size_t out_len = 0;
    EXPECT_EQ(payload_decompress(packed, packed_len, &out, &out_len), 0);
    MallocPtr<char> o(out);
    EXPECT_EQ(out[out_len], '\0');
    return std::string(out, out_len);
}

TEST(PayloadCodec, RoundTrips) {
    EXPECT_EQ(roundtrip("[]"), "[]");
    EXPECT_EQ(roundtrip(""), "");
    std::string exact(45, 'a');  // 20 + 20 + 5 bytes of output
    EXPECT_EQ(roundtrip(exact), exact);
    std::string forty(40, 'b');  // output ends exactly on a 20-byte step
    EXPECT_EQ(roundtrip(forty), forty);
    std::mt19937 rng(7);
    std::string noise(50000, '\0');
    for (char &c : noise) c = static_cast<char>(rng());
    EXPECT_EQ(roundtrip(noise), noise);
}

TEST(PayloadCodec, IsRawDeflateWithoutHeader) {
    const std::string text = "[{\"action\":\"call\",\"function\":\"get_vpn_client_server\"}]";
    unsigned char *packed = nullptr;
    std::size_t packed_len = 0;
    ASSERT_EQ(payload_compress(text.data(), text.size(), &packed, &packed_len), 0);
    MallocPtr<unsigned char> p(packed);
    // zlib's own raw inflate reads it back; a zlib-framed reader does not.
    z_stream zs{};
    ASSERT_EQ(inflateInit2(&zs, -15), Z_OK);
    char out[256];
    zs.next_in = packed;
    zs.avail_in = static_cast<uInt>(packed_len);
    zs.next_out = reinterpret_cast<Bytef *>(out);
    zs.avail_out = sizeof out;
    EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(std::string(out, zs.total_out), text);
    inflateEnd(&zs);
    EXPECT_NE(packed[0], 0x78);  // no zlib header byte
}

TEST(PayloadCodec, BadInputGivesTheZlibErrorAndNoOutput) {
    const unsigned char junk[] = {0xff, 0xff, 0xff, 0xff, 0x00, 0x12};
    char *out = reinterpret_cast<char *>(0x1);
    std::size_t len = 99;
    int rc = payload_decompress(junk, sizeof junk, &out, &len);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(out, nullptr);
    // An empty reply body is not a stream either.
    rc = payload_decompress(nullptr, 0, &out, &len);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(out, nullptr);
}

TEST(PayloadCodec, TextsPastTheLimitAreRefusedNotInflatedWhole) {
    // A reply of a few KiB that inflates to megabytes: refused as memory
    // running out, with nothing handed out.
    for (std::size_t size :
         {kPayloadTextLimit + 1, kPayloadTextLimit + 20, 8 * kPayloadTextLimit}) {
        std::string bomb(size, '\0');
        unsigned char *packed = nullptr;
        std::size_t packed_len = 0;
        ASSERT_EQ(payload_compress(bomb.data(), bomb.size(), &packed, &packed_len), 0);
        MallocPtr<unsigned char> p(packed);
        EXPECT_LT(packed_len, kReplyCapacity);
        char *out = reinterpret_cast<char *>(0x1);
        std::size_t len = 99;
        EXPECT_EQ(payload_decompress(packed, packed_len, &out, &len), -1) << size;
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(len, 0u);
    }
    // Up to the limit, the whole text comes back.
    for (std::size_t size : {kPayloadTextLimit, kPayloadTextLimit - 16, kPayloadTextLimit - 20}) {
        std::string text(size, 'x');
        text.front() = '[';
        text.back() = ']';
        EXPECT_EQ(roundtrip(text), text) << size;
    }
}

TEST(ReplyBufferTest, TakesWhatFitsWithRoomForTheTerminator) {
    ReplyPtr b(reply_buffer_new(8));
    char data[] = "abcdefgh";
    EXPECT_EQ(reply_buffer_append(data, 1, 7, b.get()), 0u + 7u);
    EXPECT_STREQ(b->data, "abcdefg");
    EXPECT_EQ(reply_buffer_append(data, 1, 1, b.get()), 0u);  // no room for the zero byte
    EXPECT_EQ(b->length, 7u);
    reply_buffer_clear(b.get());
    EXPECT_EQ(b->length, 0u);
    EXPECT_STREQ(b->data, "");
    EXPECT_EQ(reply_buffer_append(data, 2, 4, b.get()), 0u);  // 8 bytes need 9
    reply_buffer_free(nullptr);
}

TEST(DateHeader, ActsOnlyBeyondFiveHundredSeconds) {
    // Tue, 08 Dec 2026 01:00:00 GMT
    const long long t = 1796691600LL;
    const std::string line = "Date: Tue, 08 Dec 2026 01:00:00 GMT\r\n";
    EXPECT_EQ(date_header_target(line, t - 501), t);
    EXPECT_EQ(date_header_target(line, t + 501), t);
    EXPECT_EQ(date_header_target(line, t - 500), -1);
    EXPECT_EQ(date_header_target(line, t + 500), -1);
    EXPECT_EQ(date_header_target("date: Tue, 08 Dec 2026 01:00:00 GMT\r\n", t - 9999), -1);
    EXPECT_EQ(date_header_target("Content-Type: text/plain\r\n", 0), -1);
    EXPECT_EQ(date_header_target("Date: garbage\r\n", 0), -1);
}

}  // namespace
