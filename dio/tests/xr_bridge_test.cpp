// The names in the failure lines.
#include "xr_bridge.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace dio {
namespace {

TEST(RequestName, DistinctNamesForEveryDriverRequest) {
    const unsigned long all[] = {
        XR_USB_SERIAL_GET_REG,           XR_USB_SERIAL_SET_REG,
        XR_USB_SERIAL_SET_GPIO_MODE_REG, XR_USB_SERIAL_GET_GPIO_MODE_REG,
        XR_USB_SERIAL_RS232_TRANSCEIVER, XR_USB_SERIAL_RS422485_TRANSCEIVER,
        XR_USB_SERIAL_SET_RS232,         XR_USB_SERIAL_SET_RS422,
        XR_USB_SERIAL_SET_RS485_4W,      XR_USB_SERIAL_SET_RS485_2W};
    std::set<std::string> names;
    for (unsigned long r : all) {
        std::string n = request_name(r);
        EXPECT_EQ(n.rfind("XR_USB_SERIAL_", 0), 0u) << n;
        names.insert(n);
    }
    EXPECT_EQ(names.size(), std::size(all));
    EXPECT_STREQ(request_name(XR_USB_SERIAL_SET_RS485_2W), "XR_USB_SERIAL_SET_RS485_2W");
}

}  // namespace
}  // namespace dio
