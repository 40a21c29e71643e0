// An anonymous in-memory file holding a fuzz input, for readers that take a
// path or a FILE*: nothing is written to any file system.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace fuzz {

class MemFile {
public:
    MemFile(const uint8_t *data, std::size_t size) {
        fd_ = memfd_create("fuzz-input", 0);
        if (fd_ < 0) return;
        std::size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(fd_, data + done, size - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::lseek(fd_, 0, SEEK_SET);
    }
    ~MemFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    MemFile(const MemFile &) = delete;
    MemFile &operator=(const MemFile &) = delete;

    bool ok() const { return fd_ >= 0; }
    // A path that opens the same contents afresh (from the start).
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }
    // A stream of its own over the contents, from the start; close it with fclose.
    FILE *open_stream() const { return std::fopen(path().c_str(), "r"); }

private:
    int fd_ = -1;
};

}  // namespace fuzz
