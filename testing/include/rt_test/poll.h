// The one bounded wait of the unit tests: a condition checked until it holds.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace rt_test {

// Calls cond() at once, then every step, and once more when bound has passed;
// true as soon as it holds, false when it never did.
template <class Cond>
bool wait_for(Cond cond, std::chrono::steady_clock::duration bound,
              std::chrono::steady_clock::duration step = std::chrono::milliseconds(20)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (cond()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return false;
        std::this_thread::sleep_for(std::min(step, end - now));
    }
}

}  // namespace rt_test
