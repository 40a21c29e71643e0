#include "rtu/numbers.h"

#include <charconv>
#include <climits>
#include <cstdlib>
#include <string>

namespace rtu {

std::optional<long long> parse_decimal(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    long long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<long long> leading_number(std::string_view text, int base) {
    // strtoll needs a terminated text; it stops at the first NUL as C does.
    const std::string copy(text);
    char *end = nullptr;
    long long value = std::strtoll(copy.c_str(), &end, base);  // saturates on overflow
    if (end == copy.c_str()) return std::nullopt;
    return value;
}

int leading_int(std::string_view text, int base) {
    long long value = leading_number(text, base).value_or(0);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace rtu
