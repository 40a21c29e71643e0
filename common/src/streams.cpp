#include "rtu/streams.h"

namespace rtu {

bool close_file(FilePtr f) {
    if (!f) return false;
    bool ok = std::fflush(f.get()) == 0 && std::ferror(f.get()) == 0;
    if (std::fclose(f.release()) != 0) ok = false;
    return ok;
}

}  // namespace rtu
