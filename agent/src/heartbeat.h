// The heartbeat connection: one thread repeating exchanges with the
// heartbeat server while its connection is up.
#pragma once

#include <chrono>

#include "wakeup.h"

// One request and reply. Returns true when the reply held no commands
// ("[]" or "[ ]"), which is when the caller paces the next exchange.
bool hbs_exchange();

void hbs_thread_main();

// 0 up, 11 already exists, 14 failed. The thread runs body (tests give
// their own).
int hbs_connection_create(void (*body)() = hbs_thread_main);
// Ends the connection: the thread is joined and the state is STOPPED, also
// when an exchange finished while it was being stopped. Always 0.
int hbs_connection_stop();

// Sleeps in steps of at most one second until the monotonic clock reaches
// the deadline (flushing standard output after each step); ends early when
// the heartbeat is stopped.
void hbs_wait_until(WaitClock::time_point deadline);
