// The management-interface text handling: the input is cut into receives
// (a two-byte length, then that many bytes) and each received block is examined
// as the management thread does.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mgmt_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    vpn::MgmtPass pass;
    pass.state = data[0] % 4;
    std::string text;
    std::size_t pos = 1;
    int receives = 0;
    while (pos + 1 < size && receives < 64) {
        // Up to a little more than a whole receive buffer.
        std::size_t n = (data[pos] | (static_cast<std::size_t>(data[pos + 1]) << 8)) % 2200;
        pos += 2;
        if (n > size - pos) n = size - pos;
        vpn::take_received(text, reinterpret_cast<const char *>(data + pos), static_cast<long>(n));
        pos += n;
        ++receives;
        if (text.size() > vpn::kRecvMax) std::abort();
        bool was_exiting = pass.state == vpn::kStateExiting;
        pass.connected = false;
        pass.have_bytes = false;
        pass.mgmt_log.clear();
        vpn::mgmt_examine(text, pass);
        if (was_exiting && pass.state != vpn::kStateExiting) std::abort();  // EXITING is never left
        for (std::string_view field : vpn::split_fields(text))
            if (field.empty() || field.find(',') != std::string_view::npos) std::abort();
    }
    return 0;
}
