// Access to the USB-UART bridge through its driver's ioctl requests.
//
// Both dio tools talk to the bridge the same way: open the serial device,
// pass small records of 32-bit ints to the driver, print the driver's
// failure as "Cannot do <request> ioctl (<result>)".
#pragma once

#include <sys/ioctl.h>

#include <cstdint>
#include <optional>
#include <string>

#include "rtu/handles.h"

namespace dio {

// Driver requests (Linux ioctl encoding; the direction bits differ per
// architecture, the macros take care of that).
inline constexpr unsigned long XR_USB_SERIAL_GET_REG = _IOWR('v', 1, int);
inline constexpr unsigned long XR_USB_SERIAL_SET_REG = _IOWR('v', 2, int);
inline constexpr unsigned long XR_USB_SERIAL_SET_GPIO_MODE_REG = _IO('v', 9);
inline constexpr unsigned long XR_USB_SERIAL_GET_GPIO_MODE_REG = _IO('v', 10);
inline constexpr unsigned long XR_USB_SERIAL_RS232_TRANSCEIVER = _IO('v', 232);
inline constexpr unsigned long XR_USB_SERIAL_RS422485_TRANSCEIVER = _IO('v', 233);
inline constexpr unsigned long XR_USB_SERIAL_SET_RS232 = _IO('v', 250);
inline constexpr unsigned long XR_USB_SERIAL_SET_RS422 = _IO('v', 251);
inline constexpr unsigned long XR_USB_SERIAL_SET_RS485_4W = _IO('v', 252);
inline constexpr unsigned long XR_USB_SERIAL_SET_RS485_2W = _IO('v', 253);

// Register record of GET_REG / SET_REG: channel -1 is the port of the
// opened device.
struct XrRegRecord {
    std::int32_t channel;
    std::int32_t reg;
    std::int32_t value;
};
static_assert(sizeof(XrRegRecord) == 12, "the driver expects three 32-bit ints");

// Record of the GPIO mode requests.
struct XrGpioModeRecord {
    std::int32_t channel;
    std::int32_t value;
};
static_assert(sizeof(XrGpioModeRecord) == 8, "the driver expects two 32-bit ints");

inline constexpr std::int32_t kThisPort = -1;

// GPIO registers of the bridge and the pins wired on the router.
inline constexpr int kRegGpioDirection = 27;
inline constexpr int kRegGpioSet = 29;
inline constexpr int kRegGpioClear = 30;
inline constexpr int kRegGpioState = 31;
inline constexpr std::int32_t kPinDirections = 59;  // pins 0,1,3,4,5 out, pin 2 in
inline constexpr std::int32_t kMaskSimSlot = 2;
inline constexpr std::int32_t kMaskDi = 4;
inline constexpr std::int32_t kMaskDo = 16;

// The port whose pins carry DI, DO, the SIM selector and the line transceiver.
inline constexpr const char *kGpioPort = "/dev/ttyXRUSB1";

// An open bridge port. Every request returns the driver's result (negative
// on failure) and prints the failure line on standard output.
class Bridge {
  public:
    // Opens path read-write without making it the controlling terminal.
    static std::optional<Bridge> open(const std::string &path);

    int get_reg(int reg, std::int32_t &value);
    int set_reg(int reg, std::int32_t value);
    int get_gpio_mode(std::int32_t &value);
    int set_gpio_mode(std::int32_t value);
    // A request that takes the plain argument -1 (modes and transceivers).
    int port_request(unsigned long request);
    // Modem-control lines (TIOCMGET).
    int modem_lines(int &value);
    // Waits up to timeout_ms for the driver to hang the port up (the bridge
    // left the bus). 1 hung up, 0 time over, -1 poll failed (errno; EINTR
    // when a signal came).
    int wait_hangup(int timeout_ms);

  private:
    explicit Bridge(int fd) : fd_(fd) {}
    rtu::Fd fd_;
};

// Driver's name of a request, as used in the failure lines.
const char *request_name(unsigned long request);

// Prints the failure line of a request when result is negative; returns result.
int report_request(unsigned long request, int result);

}  // namespace dio
