// The lock file that serialises read-modify-write cycles on a configuration
// file between processes: "/tmp/<last path component>.lock", made by exclusive
// create.
#pragma once

#include <string>

namespace rsmw {

std::string lock_path_of(const char *conf_path);

// One attempt: 0 when the lock file was created, -1 otherwise.
int conf_lock_try(const char *conf_path);

// Holds the lock of a configuration file for the life of the object.
//
// Up to `attempts` tries 2 seconds apart (8 s of waiting for 5). A lock file
// that stayed the same file through all of them and that no live process of
// this library holds is stale: it is removed, once, by whichever waiter gets
// to it first. Then the waiters take the lock in turn, each for at most one
// more second; a caller that still has not got it does without: held() is
// false, and it must not write.
//
// While held, the lock file stays open with a flock on it, so a waiter can
// tell a live holder from a dead one and breakers of one file take turns.
class ConfLock {
  public:
    explicit ConfLock(const char *conf_path, int attempts = 5);
    ~ConfLock();
    ConfLock(const ConfLock &) = delete;
    ConfLock &operator=(const ConfLock &) = delete;

    bool held() const { return fd_ >= 0; }

  private:
    bool take();

    std::string lock_;
    int fd_ = -1;  // the lock file, flocked, while held
};

}  // namespace rsmw
