#include "internal.h"
#include "rtu/files.h"

namespace rsmw {

void console(std::string_view text) {
    try {
        rtu::append_file("/dev/console", text);
    } catch (...) {
    }
}

}  // namespace rsmw
