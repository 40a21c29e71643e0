// Start-up, the main loops and shutdown of the agent.
#pragma once

int agent_main();     // the whole program; its result is main's exit status
int agent_startup();  // 0; 31 libcurl init failed; 30 no heartbeat server
void agent_cleanup();
// SIGINT, SIGQUIT and SIGABRT, and the last step of agent_shutdown: the status
// files go, the VPN ends, /tmp/telvsdk.hbs.status says OFFLINE, exit 0.
[[noreturn]] void agent_exit();
// The end of a normal run (and of a failed start-up), in one order: no new
// VPN, the VPN ended and its threads joined, then the networks, the
// configuration and libcurl released (agent_cleanup), then agent_exit.
[[noreturn]] void agent_shutdown();
void on_sigterm(int sig);

// Starts the signal-handling thread: SIGINT, SIGQUIT and SIGABRT end the
// process through agent_exit, SIGTERM through agent_exit until start-up
// has installed on_sigterm. SIGPIPE is ignored.
void agent_signals_start();
