// Shell injection through modemctl's command builders: interface, device
// and radio texts come from the module description file and uci; every one
// must reach its script as one whole word, run through the real /bin/sh with
// a recorder in the script's place.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modem_internal.h"
#include "rt_test/payloads.h"

namespace {

using rt_test::Payload;
using rt_test::Scratch;
using rt_test::shown;

struct Built {
    const char *what;
    std::string cmd;
    const char *program;
    std::string tail;
    std::vector<std::string> want;
};

TEST(ModemCommands, IdentityValuesReachTheScriptsWhole) {
    Scratch s("modem");
    const std::string redirect = modem::kConsoleRedirect;
    for (const Payload &p : rt_test::payloads(s.canary())) {
        const std::string &v = p.text;
        const std::vector<Built> built = {
            {"qmi",
             modem::connection_cmd(modem::ConnectionKind::Qmi, false, "/dev/cdc-wdm0", v),
             "/usr/sbin/qmi-network_all",
             redirect,
             {v, "start"}},
            {"qmi background",
             modem::connection_cmd(modem::ConnectionKind::Other, true, "/dev/cdc-wdm0", v),
             "/usr/sbin/qmi-network_all",
             redirect + " &",
             {v, "start"}},
            {"atdial",
             modem::connection_cmd(modem::ConnectionKind::Atdial, false, v, v),
             "/usr/sbin/qmi-network_atcmd",
             redirect,
             {v, "start", v}},
            {"atdial background",
             modem::connection_cmd(modem::ConnectionKind::Atdial, true, v, "usb0"),
             "/usr/sbin/qmi-network_atcmd",
             redirect + " &",
             {v, "start", "usb0"}},
            {"radio",
             modem::radio_cmd(v, v),
             "/usr/sbin/wvdial-report",
             redirect,
             {"-C", "/etc/wvdial_cmd_" + v, "SETURAT" + v}},
            {"report",
             modem::report_create_cmd(v),
             "/usr/sbin/modem-report_atcmd",
             redirect,
             {v, "create"}},
            {"supervision",
             modem::supervision_cmd(v, 3, 1),
             modem::kSupervisorScript,
             redirect + " &",
             {v, "3", "1"}},
        };
        for (const Built &b : built) {
            bool form = false;
            auto run = s.run(b.cmd, b.program, b.tail, form);
            ASSERT_TRUE(form) << b.what << ": " << shown(b.cmd);
            EXPECT_FALSE(s.canary_ran()) << b.what << " [" << p.name << "]: " << shown(b.cmd);
            ASSERT_EQ(run.calls.size(), 1u) << b.what << " [" << p.name << "]: " << shown(b.cmd);
            EXPECT_EQ(run.calls[0], b.want) << b.what << " [" << p.name << "]";
        }
    }
}

TEST(ModemCommands, RadioTypeTooLongForTheBufferGivesNoCommand) {
    // Cut at the buffer, the command would end inside the quoted word or
    // lose its redirection.
    for (std::size_t n : {940u, 960u, 980u, 1000u, 1100u}) {
        const std::string v = std::string(n, 'x') + "';touch /tmp/CANARY;'";
        EXPECT_EQ(modem::radio_cmd("usb0", v), "") << n;
    }
    EXPECT_NE(modem::radio_cmd("usb0", std::string(900, 'x')), "");
}

}  // namespace
