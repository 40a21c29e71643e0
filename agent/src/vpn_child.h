// The openvpn child of the agent: started through /bin/sh in a process group
// of its own, so the agent can end it (and anything the shell started) when
// OpenVPN cannot be told to stop over its management interface.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace vpn {

class ChildProcess {
  public:
    // Allows a new start after an earlier run has ended.
    void reset();

    // Starts the command (rtu::spawn_shell) in a process group of its own; a
    // command started with "exec " ends with the calling thread. Returns false when it could not be
    // started or when terminate() came first.
    bool start(const std::string &cmd);

    // Waits for the end and returns a system()-style status (-1 when the
    // child could not be started or waited for).
    int wait();

    // Ends the child: SIGTERM to its process group, SIGKILL when it is still
    // there after grace. A child not yet started will not be started.
    // Returns true when the child is gone (or never ran) within grace + kill_wait.
    bool terminate(std::chrono::milliseconds grace, std::chrono::milliseconds kill_wait);

    // Waits until the child has ended (or was never started), bounded.
    bool wait_gone(std::chrono::milliseconds bound);

    bool running();
    pid_t pid();

  private:
    void signal_locked(int sig);

    std::mutex mutex_;
    std::condition_variable cv_;
    pid_t pid_ = -1;
    bool reaped_ = true;
    bool cancelled_ = false;
};

}  // namespace vpn
