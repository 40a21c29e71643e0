// modemctl start | stop | init
#include <cstring>

#include "modemctl/modemctl.h"

int main(int argc, char **argv) {
    if (argc < 2) return 0;
    const char *cmd = argv[1];
    if (std::strcmp(cmd, "start") == 0) {
        cur_if_table_list_init();
        net_wan_if_up(1);
    } else if (std::strcmp(cmd, "stop") == 0) {
        net_wan_if_down();
    } else if (std::strcmp(cmd, "init") == 0) {
        modem_init();
        cur_if_table_list_init();
    }
    return 0;
}
