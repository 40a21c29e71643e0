// databoard: reads and writes the router's shared values from the shell.
//
//   databoard printall | printgps
//   databoard get|shmget secname valname
//   databoard set|shmset secname valname value
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform.h"
#include "rsmwrapper.h"
#include "rtu/streams.h"

namespace {

constexpr std::size_t kValueBuf = 1024;  // a value holds at most 1023 characters

void usage(const char *prog) {
    std::printf("Usage: %s options\n", prog);
    std::printf(
        "-h, --help Display this usage information.\n%s get secname valname\n"
        "%s set secname valname \"value\"\n",
        prog, prog);
}

int print_value(const char *value) {
    if (value == nullptr) return 1;
    std::printf("%s\n", value);
    return 0;
}

// The segment for shmget and shmset; a segment that cannot be attached is
// created and erased, and the call goes on with whatever that gave.
ShmCommonSegment *attach() {
    ShmCommonSegment *seg = SHMCOMMON_Fetch();
    if (seg == nullptr) {
        std::printf("pSHMCOMM is null\n");
        rtu::flush(stdout);
        seg = SHMCOMMON_SHMInit();
    }
    return seg;
}

}  // namespace

int main(int argc, char **argv) {
    const char *prog = argv[0] ? argv[0] : "databoard";
    const int nargs = argc - 1;
    if (nargs != 1 && nargs != 3 && nargs != 4) {
        usage(prog);
        return 0;
    }
    const std::string_view cmd = argv[1];

    if (nargs == 1) {
        if (cmd == "printall") {
            SHMCOMMON_Printall();
            return 0;
        }
        if (cmd == "printgps") {
            GPS_SHMPrintall(0);
            return 0;
        }
    } else if (nargs == 3) {
        if (cmd == "get") return print_value(databoard_getvalue(argv[2], argv[3]));
        if (cmd == "shmget") {
            ShmCommonSegment *seg = attach();
            return print_value(databoard_getshmvalue_g(0, seg, argv[2], argv[3], 0, 1));
        }
    } else if (cmd == "set" || cmd == "shmset") {
        // Line feeds are dropped; what is left must fit the value buffer.
        std::string value;
        for (const char *p = argv[4]; *p; ++p) {
            if (*p != '\n') value.push_back(*p);
        }
        if (value.size() >= kValueBuf) {
            rtu::put(stderr, "%s: value longer than %zu characters\n", prog, kValueBuf - 1);
            return 1;
        }
        if (cmd == "set") return databoard_setvalue(argv[2], argv[3], value.c_str());
        attach();
        return databoard_setvalue_withshm(argv[2], argv[3], value.c_str());
    }
    usage(prog);
    return 1;
}
