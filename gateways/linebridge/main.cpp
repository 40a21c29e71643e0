// linebridge: joins one serial port to one TCP connection.
#include "bridge.h"

int main(int argc, char **argv) {
    std::string path = gw::parse_command_line(argc, argv);
    gw::start_daemon("/var/run/linebridge.pid");
    gw::LineBridge bridge(path);
    bridge.run();
}
