// telvsdkd: the remote-access agent. Runs in the foreground; takes no arguments.
#include "agent.h"

int main() {
    return agent_main();
}
