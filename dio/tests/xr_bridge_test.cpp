// Numbers from the command line, and the names in the failure lines.
#include "xr_bridge.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace dio {
namespace {

TEST(ParseNumber, BaseZeroLikeStrtol) {
    EXPECT_EQ(parse_number("2"), 2);
    EXPECT_EQ(parse_number("0x1"), 1);
    EXPECT_EQ(parse_number("0X1f"), 31);
    EXPECT_EQ(parse_number("010"), 8);
    EXPECT_EQ(parse_number("-1"), -1);
    EXPECT_EQ(parse_number("  7"), 7);
    EXPECT_EQ(parse_number("1abc"), 1);
    EXPECT_EQ(parse_number("abc"), 0);
    EXPECT_EQ(parse_number(""), 0);
    EXPECT_EQ(parse_number("09"), 0);  // octal stops at 9
}

TEST(ParseNumber, ClampedToThe32BitRangeOnEveryHost) {
    EXPECT_EQ(parse_number("0x7fffffff"), INT32_MAX);
    EXPECT_EQ(parse_number("0xffffffff"), INT32_MAX);
    EXPECT_EQ(parse_number("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(parse_number("-0x80000001"), INT32_MIN);
}

TEST(RequestName, DistinctNamesForEveryDriverRequest) {
    const unsigned long all[] = {XR_USB_SERIAL_GET_REG, XR_USB_SERIAL_SET_REG,
                                 XR_USB_SERIAL_SET_GPIO_MODE_REG, XR_USB_SERIAL_GET_GPIO_MODE_REG,
                                 XR_USB_SERIAL_RS232_TRANSCEIVER, XR_USB_SERIAL_RS422485_TRANSCEIVER,
                                 XR_USB_SERIAL_SET_RS232, XR_USB_SERIAL_SET_RS422,
                                 XR_USB_SERIAL_SET_RS485_4W, XR_USB_SERIAL_SET_RS485_2W};
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
