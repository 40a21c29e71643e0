// textrelay: SMS lines received on a TCP port, sent with send_sms.sh.
#include "relay_server.h"

int main(int argc, char **argv) {
    gw::run_relay_server(gw::Program::textrelay, "/var/run/textrelay.pid", argc, argv);
}
