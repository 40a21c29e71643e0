// uartmode: one request to the USB-UART bridge per invocation (serial mode
// and transceiver, registers, GPIO mode, SIM slot, DI, DO).
#include <cstdio>
#include <cstring>

#include "rtu/numbers.h"
#include "rtu/streams.h"
#include "xr_bridge.h"

namespace {

using dio::Bridge;

int usage() {
    std::printf(
        "Usage: uartmode </dev/ttyXRUSBx> "
        "[set_mode|set_reg|get_reg|set_sim_slot|get_di_status|set_do_status]\n\n"
        "uartmode /dev/ttyXRUSB0 set_mode [rs232|rs422|rs485|rs485-2w] - set Exar serial "
        "operation mode to RS/232/422/485/485 -2 wires\n"
        "uartmode /dev/ttyXRUSB0 get_reg <register>                    - get register value\n"
        "uartmode /dev/ttyXRUSB0 set_reg <register> <value>            - set register value\n"
        "uartmode /dev/ttyXRUSB1 set_sim_slot [1|2]                    - set SIM slot number\n"
        "uartmode /dev/ttyXRUSB1 get_di_status                         - get di status\n"
        "uartmode /dev/ttyXRUSB1 set_do_status[0|1]                    - set do status\n");
    return 1;
}

bool is(const char *word, const char *name, std::size_t compared) {
    return std::strncmp(word, name, compared) == 0;
}

int set_failed(int r) {
    if (r < 0) std::printf("Cannot set value");
    return r;
}

int exar_init() {
    auto port = Bridge::open(dio::kGpioPort);
    if (!port) {
        std::printf("Can't open device %s\n", dio::kGpioPort);
        return 1;
    }
    int r = port->set_reg(dio::kRegGpioDirection, dio::kPinDirections);
    if (r >= 0) r = port->set_reg(dio::kRegGpioSet, dio::kMaskDo);
    return set_failed(r) < 0 ? 1 : 0;
}

// Mode request on the given port, then the matching transceiver request on
// the port whose pins switch the line driver.
int set_mode(Bridge &dev, const char *word) {
    unsigned long mode;
    unsigned long transceiver = dio::XR_USB_SERIAL_RS422485_TRANSCEIVER;
    if (is(word, "rs232", 5)) {
        mode = dio::XR_USB_SERIAL_SET_RS232;
        transceiver = dio::XR_USB_SERIAL_RS232_TRANSCEIVER;
    } else if (is(word, "rs422", 5)) {
        mode = dio::XR_USB_SERIAL_SET_RS422;
    } else if (is(word, "rs485-2w", 8)) {
        mode = dio::XR_USB_SERIAL_SET_RS485_2W;
    } else if (is(word, "rs485", 5)) {
        mode = dio::XR_USB_SERIAL_SET_RS485_4W;
    } else {
        return 0;
    }
    int r = dev.port_request(mode);
    if (r < 0) return r;
    auto gpio = Bridge::open(dio::kGpioPort);
    if (!gpio) {
        std::printf("Can't open device %s\n", dio::kGpioPort);
        return -1;
    }
    return gpio->port_request(transceiver);
}

int run(int argc, char **argv) {
    if (argc < 3) return usage();
    const char *cmd = argv[2];
    if (is(cmd, "exar_init", 9)) return exar_init();

    auto dev = Bridge::open(argv[1]);
    if (!dev) {
        std::printf("Can't open device %s\n", argv[1]);
        return 1;
    }
    const char *arg1 = argc > 3 ? argv[3] : nullptr;
    const char *arg2 = argc > 4 ? argv[4] : nullptr;
    int r = 0;

    if (is(cmd, "set_sim_slot", 7)) {
        if (!arg1) return usage();
        int reg = rtu::leading_int(arg1, 0) == 2 ? dio::kRegGpioSet : dio::kRegGpioClear;
        r = set_failed(dev->set_reg(reg, dio::kMaskSimSlot));
    } else if (is(cmd, "get_di_status", 7)) {
        std::int32_t v = 0;
        r = dev->get_reg(dio::kRegGpioState, v);
        // The pin reads 1 while the input is off.
        if (r >= 0) std::printf("%s\n", (v & dio::kMaskDi) ? "0" : "1");
    } else if (is(cmd, "set_do_status", 7)) {
        if (!arg1) return usage();
        int reg = rtu::leading_int(arg1, 0) == 1 ? dio::kRegGpioSet : dio::kRegGpioClear;
        r = set_failed(dev->set_reg(reg, dio::kMaskDo));
    } else if (is(cmd, "get_gpio_reg", 7)) {
        std::printf("xr_read_gpio_reg\n");
        std::int32_t v = 0;
        r = dev->get_gpio_mode(v);
        if (r >= 0) std::printf("0x%0X\n", static_cast<unsigned>(v));
    } else if (is(cmd, "set_gpio_reg", 7)) {
        if (!arg1) return usage();
        r = dev->set_gpio_mode(rtu::leading_int(arg1, 0));
        if (r < 0) std::printf("Cannot get value");
    } else if (is(cmd, "get_reg", 7)) {
        if (!arg1) return usage();
        int reg = rtu::leading_int(arg1, 0);
        std::printf("block is %d, addr is %d\n", dio::kThisPort, reg);
        std::int32_t v = 0;
        r = dev->get_reg(reg, v);
        if (r >= 0) std::printf("==0x%0X\n", static_cast<unsigned>(v));
        std::printf("result is 0x%0X\n", static_cast<unsigned>(r));
    } else if (is(cmd, "set_reg", 7)) {
        if (!arg1 || !arg2) return usage();
        r = set_failed(dev->set_reg(rtu::leading_int(arg1, 0), rtu::leading_int(arg2, 0)));
    } else if (is(cmd, "set_mode", 8)) {
        if (!arg1) return usage();
        r = set_mode(*dev, arg1);
    } else if (is(cmd, "get_test", 8)) {
        int lines = 0;
        r = dev->modem_lines(lines);
        if (r >= 0) std::printf("value is 0x%x\n", static_cast<unsigned>(lines));
    }
    return r < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    int rc = run(argc, argv);
    rtu::flush(stdout);
    return rc;
}
