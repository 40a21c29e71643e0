// postrelay: mail lines received on a TCP port, sent with mailsend.
#include "relay_server.h"

int main(int argc, char **argv) {
    gw::run_relay_server(gw::Program::postrelay, "/var/run/postrelay.pid", argc, argv);
}
