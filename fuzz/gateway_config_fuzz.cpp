// The gateways' key=value configuration reader: the input is the -c file,
// read in both passes as the daemons do, for the program the first byte
// chooses. The text fields must keep their limits.
#include <termios.h>

#include <cstdint>
#include <cstdlib>

#include "gateway.h"
#include "memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    auto program = static_cast<gw::Program>(data[0] % 4);
    gw::GatewayConfig cfg = gw::default_config(program);
    termios term{};
    if (program == gw::Program::linebridge) cfg.term = &term;
    fuzz::MemFile file(data + 1, size - 1);
    if (!file.ok()) return 0;
    if (gw::read_gateway_config(file.path(), cfg, 1) != 0) std::abort();
    if (gw::read_gateway_config(file.path(), cfg, 0) != 0) std::abort();
    if (cfg.tty.size() > gw::kPathMax || cfg.address.size() > gw::kAddressMax ||
        cfg.smtp.size() > gw::kSmtpMax || cfg.securemode.size() > gw::kSecureModeMax ||
        cfg.auth.size() > gw::kAuthMax || cfg.sender.size() > gw::kSenderMax)
        std::abort();
    if (cfg.speed != -1) gw::speed_constant(cfg.speed);
    return 0;
}
