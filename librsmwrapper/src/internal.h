// Helpers shared by the file accessors and the shared segment.
#pragma once

#include <string_view>

namespace rsmw {

// Opens /dev/console, writes text, closes it.
void console(std::string_view text);

}  // namespace rsmw
