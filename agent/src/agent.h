// Start-up, the main loops and shutdown of the agent.
#pragma once

int agent_main();      // the whole program; its result is main's exit status
int agent_startup();   // 0; 31 libcurl init failed; 30 no heartbeat server
void agent_cleanup();
[[noreturn]] void agent_exit();
void on_sigterm(int sig);

// Starts the signal-handling thread: SIGINT, SIGQUIT and SIGABRT end the
// process through agent_exit, SIGTERM through agent_exit until start-up
// has installed on_sigterm. SIGPIPE is ignored.
void agent_signals_start();
