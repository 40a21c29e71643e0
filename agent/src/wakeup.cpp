#include "wakeup.h"

#include <condition_variable>
#include <mutex>

#include "state.h"

namespace {
std::mutex g_mutex;
std::condition_variable g_cv;
}  // namespace

void wakeup_notify() {
    { std::lock_guard<std::mutex> lock(g_mutex); }
    g_cv.notify_all();
}

bool wait_until_or(std::chrono::system_clock::time_point deadline,
                   const std::function<bool()> &stop) {
    std::unique_lock<std::mutex> lock(g_mutex);
    while (!stop()) {
        if (std::chrono::system_clock::now() >= deadline) return true;
        // Wake at least every 200 ms: the deadline is on the system clock,
        // which may be set while we wait.
        auto step = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        g_cv.wait_until(lock, step);
    }
    return false;
}

bool wait_for_or(double seconds, const std::function<bool()> &stop) {
    auto d = std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(seconds));
    return wait_until_or(std::chrono::system_clock::now() + d, stop);
}

bool stop_main() { return agent_state().running.load() == 0; }

bool stop_hbs() {
    const AgentState &st = agent_state();
    return st.hbs_stop_requested.load() || st.running.load() == 0;
}
