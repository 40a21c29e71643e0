// Interruptible waits. Every sleep of the agent that may have to end early
// (SIGTERM, heartbeat stop) waits here; notify() wakes all of them and they
// re-check their stop condition. Waits are measured on the monotonic clock:
// the wall clock may be set at any time (NTP, the server's Date header), and
// a step back must not stretch a one-second pause into minutes.
#pragma once

#include <chrono>
#include <functional>

void wakeup_notify();

// Waits until the deadline or until stop() is true; returns true when the
// deadline was reached, false when stop() ended the wait.
using WaitClock = std::chrono::steady_clock;
bool wait_until_or(WaitClock::time_point deadline, const std::function<bool()> &stop);
bool wait_for_or(double seconds, const std::function<bool()> &stop);

// Stop conditions used by the agent.
bool stop_main();  // the agent is no longer running
bool stop_hbs();   // the heartbeat thread has to end (stop request or not running)
