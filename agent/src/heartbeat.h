// The heartbeat connection: one thread repeating exchanges with the
// heartbeat server while its connection is up.
#pragma once

#include <chrono>

// One request and reply. Returns true when the reply held no commands
// ("[]" or "[ ]"), which is when the caller paces the next exchange.
bool hbs_exchange();

int hbs_connection_create();  // 0 up, 11 already exists, 14 failed
int hbs_connection_stop();    // always 0
void hbs_thread_main();

// Sleeps in steps of at most one second until the system time reaches the
// deadline (flushing standard output after each step); ends early when the
// heartbeat is stopped.
void hbs_wait_until(std::chrono::system_clock::time_point deadline);
