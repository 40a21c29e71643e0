// The raw-deflate payload codec: any input to the decompressor, and a round
// trip of what it gives back through the compressor.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = nullptr;
    std::size_t text_length = 0;
    int rc = payload_decompress(data, size, &text, &text_length);
    MallocPtr<char> text_owner(text);
    if (rc != 0) {
        if (text) std::abort();  // a failure hands out no block
        return 0;
    }
    if (!text && text_length) std::abort();

    unsigned char *packed = nullptr;
    std::size_t packed_length = 0;
    if (payload_compress(text ? text : "", text_length, &packed, &packed_length) != 0) std::abort();
    MallocPtr<unsigned char> packed_owner(packed);
    char *again = nullptr;
    std::size_t again_length = 0;
    if (payload_decompress(packed, packed_length, &again, &again_length) != 0) std::abort();
    MallocPtr<char> again_owner(again);
    if (again_length != text_length || (text_length && std::memcmp(again, text, text_length) != 0))
        std::abort();
    return 0;
}
