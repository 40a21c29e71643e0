// The gateways' key=value configuration reader: the input is the -c file,
// read as the daemons do, for the program the first byte chooses, and the
// serial settings put on a terminal as linebridge does. The text fields must
// keep their limits.
#include <termios.h>

#include <cstdint>
#include <cstdlib>

#include "bridge.h"
#include "gateway.h"
#include "memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    auto program = static_cast<gw::Program>(data[0] % 4);
    gw::GatewayConfig cfg = gw::default_config(program);
    fuzz::MemFile file(data + 1, size - 1);
    if (!file.ok()) return 0;
    if (gw::read_gateway_config(file.path(), cfg) != 0) std::abort();
    if (cfg.tty.size() > gw::kPathMax || cfg.address.size() > gw::kAddressMax ||
        cfg.smtp.size() > gw::kSmtpMax || cfg.securemode.size() > gw::kSecureModeMax ||
        cfg.auth.size() > gw::kAuthMax || cfg.sender.size() > gw::kSenderMax)
        std::abort();
    termios term{};
    gw::prepare_tty_settings(term);
    gw::apply_serial_settings(cfg, term);
    if (program != gw::Program::linebridge &&
        (cfg.speed || cfg.databits || cfg.parity || cfg.stopbits || cfg.rtscts || cfg.xonxoff))
        std::abort();
    return 0;
}
