#include "wakeup.h"

#include <algorithm>
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

bool wait_until_or(WaitClock::time_point deadline, const std::function<bool()> &stop) {
    std::unique_lock<std::mutex> lock(g_mutex);
    while (!stop()) {
        if (WaitClock::now() >= deadline) return true;
        // Wake at least every 200 ms to look at stop conditions that change
        // without a notification.
        g_cv.wait_until(lock,
                        std::min(deadline, WaitClock::now() + std::chrono::milliseconds(200)));
    }
    return false;
}

bool wait_for_or(double seconds, const std::function<bool()> &stop) {
    auto d =
        std::chrono::duration_cast<WaitClock::duration>(std::chrono::duration<double>(seconds));
    return wait_until_or(WaitClock::now() + d, stop);
}

bool stop_main() {
    return agent_state().running.load() == 0;
}

bool stop_hbs() {
    const AgentState &st = agent_state();
    return st.hbs_stop_requested.load() || st.running.load() == 0;
}
