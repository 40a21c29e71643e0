// The lock file that serialises read-modify-write cycles on a configuration
// file between processes: "/tmp/<last path component>.lock", made by exclusive
// create.
#pragma once

#include <string>

namespace rsmw {

std::string lock_path_of(const char *conf_path);

// One attempt: 0 when the lock file was created, -1 otherwise.
int conf_lock_try(const char *conf_path);

// Holds the lock of a configuration file for the life of the object. Up to
// `attempts` tries 2 seconds apart; a lock file that stayed the same through
// all of them is stale and is broken (and then taken). A lock that keeps
// changing hands belongs to live processes and is waited for a few rounds more.
class ConfLock {
public:
    explicit ConfLock(const char *conf_path, int attempts = 5);
    ~ConfLock();
    ConfLock(const ConfLock &) = delete;
    ConfLock &operator=(const ConfLock &) = delete;

    bool held() const { return held_; }

private:
    std::string lock_;
    bool held_ = false;
};

}  // namespace rsmw
