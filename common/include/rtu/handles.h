// Owners of C handles: descriptors, FILE streams and popen() pipes, closed
// when their owner goes out of scope.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <memory>

namespace rtu {

// A descriptor, closed when the owner goes out of scope; -1 holds none.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd_(o.release()) {}
    Fd &operator=(Fd &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A stream whose writes must reach the file is closed by rtu::close_file,
// which reports a failure; this owner closes the others (and any stream left
// after an error) and has no one to tell.
struct FileCloser {
    void operator()(FILE *f) const { (void)std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct PipeCloser {
    void operator()(FILE *f) const { pclose(f); }
};
using PipePtr = std::unique_ptr<FILE, PipeCloser>;

}  // namespace rtu
