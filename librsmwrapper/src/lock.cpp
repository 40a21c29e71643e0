#include "lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "rsmwrapper.h"

namespace rsmw {
namespace {

constexpr auto kRetryDelay = std::chrono::seconds(2);
// Rounds of attempts while the lock keeps changing hands, before giving up
// waiting and going on as a stale lock would.
constexpr int kBusyRounds = 3;

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

bool lock_id(const std::string &lock, LockId &id) {
    struct stat st;
    if (::stat(lock.c_str(), &st) != 0) return false;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.mtime = st.st_mtim;
    return true;
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

}  // namespace

std::string lock_path_of(const char *conf_path) {
    const char *slash = std::strrchr(conf_path, '/');
    const char *base = slash ? slash + 1 : conf_path;
    return std::string("/tmp/") + base + ".lock";
}

int conf_lock_try(const char *conf_path) { return create_exclusive(lock_path_of(conf_path)); }

ConfLock::ConfLock(const char *conf_path, int attempts) : lock_(lock_path_of(conf_path)) {
    if (attempts < 1) attempts = 1;
    LockId first;
    bool seen = false;
    for (int round = 0; round < kBusyRounds; ++round) {
        for (int i = 1; i <= attempts; ++i) {
            if (create_exclusive(lock_) == 0) {
                held_ = true;
                return;
            }
            if (!seen) seen = lock_id(lock_, first);
            if (i < attempts) std::this_thread::sleep_for(kRetryDelay);
        }
        LockId now;
        if (!lock_id(lock_, now)) continue;  // released meanwhile: try again
        if ((seen && now == first) || round == kBusyRounds - 1) {
            // The same lock file through every attempt: its holder is gone.
            std::remove(lock_.c_str());
            held_ = create_exclusive(lock_) == 0;
            return;
        }
        first = now;  // a live holder: wait for the next one as well
    }
}

ConfLock::~ConfLock() {
    if (held_) std::remove(lock_.c_str());
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
