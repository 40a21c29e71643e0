// An anonymous in-memory file holding a fuzz input, for readers that take a
// path: nothing is written to any file system.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "rtu/handles.h"

namespace fuzz {

class MemFile {
  public:
    MemFile(const uint8_t *data, std::size_t size) : fd_(memfd_create("fuzz-input", 0)) {
        if (!fd_) return;
        std::size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(fd_.get(), data + done, size - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::lseek(fd_.get(), 0, SEEK_SET);
    }

    bool ok() const { return static_cast<bool>(fd_); }
    // A path that opens the same contents afresh (from the start).
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }

  private:
    rtu::Fd fd_;
};

}  // namespace fuzz
