// Reading numbers from texts other programs wrote.
#pragma once

#include <optional>
#include <string_view>

namespace rtu {

// A text made only of decimal digits (no sign, no blank, not empty) whose
// value fits a long long; nullopt for anything else.
std::optional<long long> parse_decimal(std::string_view text);

// The number at the start of a text, read as strtoll reads it: white space,
// an optional sign, then the digits of base (0: decimal, "0x" hexadecimal or
// a leading 0 octal); whatever follows is ignored, and so is anything after a
// NUL. nullopt when no digit was read. A value beyond the range of long long
// saturates at its end.
std::optional<long long> leading_number(std::string_view text, int base = 10);

// The same, saturated to the range of int, and 0 when no digit was read:
// atoi (or strtol on the router's 32-bit long) without undefined overflow.
int leading_int(std::string_view text, int base = 10);

}  // namespace rtu
