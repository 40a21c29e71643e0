#include "lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "rsmwrapper.h"

namespace rsmw {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRetryDelay = std::chrono::seconds(2);
// After the last attempt, the waiters that broke one stale lock (or saw it
// released) take the lock in turn: each tries this often, this long.
constexpr auto kTakeOverPoll = std::chrono::milliseconds(10);
constexpr auto kTakeOverWait = std::chrono::seconds(1);
// How long one tries for the flock of a lock file: a live holder keeps it,
// another waiter looking at the same file has it for a moment only.
constexpr auto kFlockWait = std::chrono::milliseconds(50);

// What tells one lock file from the next one made under the same name.
struct LockId {
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec mtime = {};

    bool operator==(const LockId &o) const {
        return dev == o.dev && ino == o.ino && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

LockId id_of(const struct stat &st) {
    LockId id;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.mtime = st.st_mtim;
    return id;
}

bool path_id(const std::string &lock, LockId &id) {
    struct stat st;
    if (::stat(lock.c_str(), &st) != 0) return false;
    id = id_of(st);
    return true;
}

bool fd_id(int fd, LockId &id) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    id = id_of(st);
    return true;
}

// Whether the lock file open on fd is the one its name stands for.
bool still_named(int fd, const std::string &lock) {
    LockId mine, there;
    return fd_id(fd, mine) && path_id(lock, there) && mine == there;
}

// Closes a descriptor when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

bool flock_within(int fd) {
    const auto until = Clock::now() + kFlockWait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int create_exclusive(const std::string &lock) {
    int fd = ::open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    ::close(fd);
    return 0;
}

std::string limited_lock_path(const char *conf_path) {
    std::string lock = lock_path_of(conf_path);
    if (lock.size() > 63) lock.resize(63);
    return lock;
}

// Removes a lock file whose holder is gone: the file seen at the first failed
// attempt, still in place, and flocked by no live holder. The waiters that
// come to break the same file take turns on its flock, so the first one
// removes it and the others find the name gone or taken anew.
void break_stale(const std::string &lock, const LockId &first) {
    Fd fd(::open(lock.c_str(), O_RDONLY | O_CLOEXEC));
    LockId opened;
    if (fd.get() < 0 || !fd_id(fd.get(), opened) || !(opened == first)) return;
    if (!flock_within(fd.get())) return;  // its holder lives
    if (still_named(fd.get(), lock)) ::unlink(lock.c_str());
}

}  // namespace

std::string lock_path_of(const char *conf_path) {
    const char *slash = std::strrchr(conf_path, '/');
    const char *base = slash ? slash + 1 : conf_path;
    return std::string("/tmp/") + base + ".lock";
}

int conf_lock_try(const char *conf_path) {
    return create_exclusive(lock_path_of(conf_path));
}

ConfLock::ConfLock(const char *conf_path, int attempts) : lock_(lock_path_of(conf_path)) {
    if (attempts < 1) attempts = 1;
    LockId first;
    bool seen = false;
    for (int i = 1; i <= attempts; ++i) {
        if (take()) return;
        if (!seen) seen = path_id(lock_, first);
        if (i < attempts) std::this_thread::sleep_for(kRetryDelay);
    }
    if (seen) break_stale(lock_, first);
    const auto until = Clock::now() + kTakeOverWait;
    do {
        if (take()) return;
        std::this_thread::sleep_for(kTakeOverPoll);
    } while (Clock::now() < until);
}

// One attempt: the lock file made by exclusive create and flocked for as long
// as it is held, which the kernel ends with the process.
bool ConfLock::take() {
    Fd fd(::open(lock_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0) return false;
    if (!flock_within(fd.get()) || !still_named(fd.get(), lock_)) {
        if (still_named(fd.get(), lock_)) ::unlink(lock_.c_str());
        return false;
    }
    fd_ = fd.release();
    return true;
}

// The lock file is removed only while it is still the one this object made.
ConfLock::~ConfLock() {
    if (fd_ < 0) return;
    if (still_named(fd_, lock_)) ::unlink(lock_.c_str());
    ::close(fd_);
}

}  // namespace rsmw

extern "C" {

int LockFile(const char *path) {
    if (path == nullptr) return -1;
    try {
        return rsmw::create_exclusive(rsmw::limited_lock_path(path));
    } catch (...) {
        return -1;
    }
}

int UnLockFile(const char *path) {
    if (path == nullptr) return -1;
    try {
        return std::remove(rsmw::limited_lock_path(path).c_str()) == 0 ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
