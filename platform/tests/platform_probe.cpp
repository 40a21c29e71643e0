// Calls one platform service by name with the arguments of the command line
// and prints what it answered, so the stand-in can be tested as a process.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"

namespace {

int num(const char *text) {
    return std::atoi(text);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    std::string fn = argv[1];
    char **a = argv + 2;
    int n = argc - 2;
    auto need = [&](int count) {
        if (n != count) {
            std::fprintf(stderr, "%s takes %d arguments\n", fn.c_str(), count);
            std::exit(2);
        }
    };
    int rc = 0;
    if (fn == "modem_check_valid") {
        need(1);
        rc = modem_check_valid(num(a[0]));
    } else if (fn == "modem_check_type") {
        need(2);
        rc = modem_check_type(num(a[0]), a[1]);
    } else if (fn == "modem_status") {
        need(1);
        rc = modem_status(num(a[0]));
    } else if (fn == "modem_stop") {
        need(2);
        rc = modem_stop(num(a[0]), num(a[1]));
    } else if (fn == "modem_get_dialif_postfix") {
        need(1);
        char buf[32 + 8];
        std::memset(buf, 'X', sizeof buf);
        rc = modem_get_dialif_postfix(buf, num(a[0]));
        // nothing may be written past the 32-byte field
        for (std::size_t i = 32; i < sizeof buf; ++i)
            if (buf[i] != 'X') return 3;
        std::printf("postfix=%s\n", buf);
    } else if (fn == "modem_report_start_atcmd") {
        need(2);
        rc = modem_report_start_atcmd(a[0], num(a[1]));
    } else if (fn == "net_wan_if_set_profile") {
        need(8);
        rc = net_wan_if_set_profile(a[0], a[1], a[2], a[3], num(a[4]), a[5], a[6], a[7]);
    } else if (fn == "net_wan_clear_old_ip") {
        need(1);
        rc = net_wan_clear_old_ip(a[0]);
    } else if (fn == "set_cur_wan_info") {
        need(8);
        rc = set_cur_wan_info(a[0], num(a[1]), a[2], a[3], a[4], a[5], a[6], a[7]);
    } else if (fn == "cur_valid_if_init") {
        need(1);
        rc = cur_valid_if_init(a[0]);
    } else if (fn == "cur_slave_ifs_init") {
        need(1);
        rc = cur_slave_ifs_init(a[0]);
    } else if (fn == "striprn") {
        need(1);
        std::string text = a[0];
        striprn(text.data());
        std::printf("text=[%s]\n", text.c_str());
    } else if (fn == "setvalue") {
        need(3);
        rc = databoard_setvalue(a[0], a[1], a[2]);
    } else if (fn == "getvalue") {
        need(2);
        const char *v = databoard_getvalue(a[0], a[1]);
        std::printf("value=%s\n", v ? v : "(null)");
    } else {
        std::fprintf(stderr, "unknown function %s\n", fn.c_str());
        return 2;
    }
    std::printf("rc=%d\n", rc);
    return 0;
}
