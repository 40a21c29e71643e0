#include "xr_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace dio {

const char *request_name(unsigned long request) {
    switch (request) {
        case XR_USB_SERIAL_GET_REG:
            return "XR_USB_SERIAL_GET_REG";
        case XR_USB_SERIAL_SET_REG:
            return "XR_USB_SERIAL_SET_REG";
        case XR_USB_SERIAL_SET_GPIO_MODE_REG:
            return "XR_USB_SERIAL_SET_GPIO_MODE_REG";
        case XR_USB_SERIAL_GET_GPIO_MODE_REG:
            return "XR_USB_SERIAL_GET_GPIO_MODE_REG";
        case XR_USB_SERIAL_RS232_TRANSCEIVER:
            return "XR_USB_SERIAL_RS232_TRANSCEIVER";
        case XR_USB_SERIAL_RS422485_TRANSCEIVER:
            return "XR_USB_SERIAL_RS422485_TRANSCEIVER";
        case XR_USB_SERIAL_SET_RS232:
            return "XR_USB_SERIAL_SET_RS232";
        case XR_USB_SERIAL_SET_RS422:
            return "XR_USB_SERIAL_SET_RS422";
        case XR_USB_SERIAL_SET_RS485_4W:
            return "XR_USB_SERIAL_SET_RS485_4W";
        case XR_USB_SERIAL_SET_RS485_2W:
            return "XR_USB_SERIAL_SET_RS485_2W";
        case TIOCMGET:
            return "TIOCMGET";
        default:
            return "unknown";
    }
}

int report_request(unsigned long request, int result) {
    if (result < 0) std::printf("Cannot do %s ioctl (%d)\n", request_name(request), result);
    return result;
}

std::optional<Bridge> Bridge::open(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    return Bridge(fd);
}

int Bridge::get_reg(int reg, std::int32_t &value) {
    XrRegRecord rec{kThisPort, reg, 0};
    int r = report_request(XR_USB_SERIAL_GET_REG, ::ioctl(fd_.get(), XR_USB_SERIAL_GET_REG, &rec));
    if (r >= 0) value = rec.value;
    return r;
}

int Bridge::set_reg(int reg, std::int32_t value) {
    XrRegRecord rec{kThisPort, reg, value};
    return report_request(XR_USB_SERIAL_SET_REG, ::ioctl(fd_.get(), XR_USB_SERIAL_SET_REG, &rec));
}

int Bridge::get_gpio_mode(std::int32_t &value) {
    XrGpioModeRecord rec{kThisPort, 0};
    int r = report_request(XR_USB_SERIAL_GET_GPIO_MODE_REG,
                           ::ioctl(fd_.get(), XR_USB_SERIAL_GET_GPIO_MODE_REG, &rec));
    if (r >= 0) value = rec.value;
    return r;
}

int Bridge::set_gpio_mode(std::int32_t value) {
    XrGpioModeRecord rec{kThisPort, value};
    return report_request(XR_USB_SERIAL_SET_GPIO_MODE_REG,
                          ::ioctl(fd_.get(), XR_USB_SERIAL_SET_GPIO_MODE_REG, &rec));
}

int Bridge::port_request(unsigned long request) {
    return report_request(request, ::ioctl(fd_.get(), request, static_cast<int>(kThisPort)));
}

int Bridge::modem_lines(int &value) {
    int lines = 0;
    int r = report_request(TIOCMGET, ::ioctl(fd_.get(), TIOCMGET, &lines));
    if (r >= 0) value = lines;
    return r;
}

int Bridge::wait_hangup(int timeout_ms) {
    // No events asked for: poll reports only what the driver signals on its
    // own, a hangup (POLLHUP) or an error.
    pollfd p{fd_.get(), 0, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r < 0) return -1;
    return r > 0 ? 1 : 0;
}

}  // namespace dio
