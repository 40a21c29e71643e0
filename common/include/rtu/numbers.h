// Reading numbers from texts other programs wrote.
#pragma once

#include <optional>
#include <string_view>

namespace rtu {

// A text made only of decimal digits (no sign, no blank, not empty) whose
// value fits a long long; nullopt for anything else.
std::optional<long long> parse_decimal(std::string_view text);

}  // namespace rtu
