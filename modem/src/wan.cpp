// Bringing the WAN up by the configured WAN type, starting the cellular
// connection and the link supervision, and taking the modem WAN down.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "modem_internal.h"
#include "modemctl/modemctl.h"
#include "platform.h"
#include "rsmwrapper.h"
#include "rtu/files.h"
#include "rtu/numbers.h"
#include "rtu/shell.h"

namespace modem {
namespace {

int read_mode() {
    return rtu::leading_int(uci_get_value("modem", "setting", "mode"));
}

// Wired (eth0.2) or wireless-client (wlan0) WAN: the interface becomes the
// current WAN and the modem, when configured so, its backup.
void bring_up_lan_wan(const char *ifname) {
    const std::string back_testip = uci_get_value("modem", "failover", "back_testip");
    cur_valid_if_init("");
    set_cur_wan_info(ifname, 1, "", "", "", "", "", "1");
    net_wan_clear_old_ip(ifname);
    net_wan_if_set_profile(ifname, "dhcp", back_testip.c_str(), "off", 1, "", "", "");
    cur_slave_fill_selected(ifname);
    if (RSM_VALUE_SET_STRING("common", "wanif", ifname, RSM_SHMEM_CONF) != 0)
        log_event(std::string("wanif not stored in ") + RSM_SHMEM_CONF);
    if (rtu::leading_int(uci_get_value("modem", "failover", "fail_back")) == 1)
        rtu::run_shell(supervision_cmd(ifname, 3, 0));
}

void bring_up_modem_wan(int start_auto) {
    const std::string wan_type = uci_get_value("modem", "failover", "wan_type");
    const std::string modem_bk = uci_get_value("modem", "parameters", "modem_bk");
    const std::string testip = uci_get_value("modem", "setting", "testip");

    cur_valid_if_init("");
    cur_slave_ifs_init("");
    char ifname[kNameMax + 1] = {};
    modem_get_if(ifname, 0);
    cur_slave_ifs_detect(wan_type.c_str(), modem_bk.c_str(), "off");
    // Replaces the profile the slave set-up gave the modem.
    net_wan_if_set_profile(ifname, "dhcp", testip.c_str(), "off", 0, "", "", "");

    const int mode = read_mode();
    if (start_auto != 0 && mode == 0) {
        if (modem_is_apn_empty() != 0) return;
        modem_start(0, 0);
        if (read_mode() != 0) return;  // switched to manual while connecting
        const std::string cmd = supervision_cmd(ifname, 3, 1);
        console_write("cmd_buf=" + cmd + "\n");
        rtu::run_shell(cmd);
    } else if (mode == 1) {
        databoard_setvalue("common", "manual_con", "0");
        if (modem_is_apn_empty() != 0) return;
        modem_start(0, 1);
        rtu::run_shell(supervision_cmd(ifname, 10, 1));
    }
}

bool basename_is(std::string_view path, std::string_view name) {
    std::size_t slash = path.rfind('/');
    std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return base == name;
}

}  // namespace

// "/usr/sbin/exe_alive_checker.sh <if> <n1> <n2>  >>/tmp/console_log 2>&1 &"
std::string supervision_cmd(const std::string &ifname, int first, int second) {
    const std::string name = ifname.empty() ? std::string("none") : ifname;
    return rtu::format_cmd("%s %s %d %d %s &", kSupervisorScript, rtu::shell_word(name).c_str(),
                           first, second, kConsoleRedirect);
}

std::string connection_cmd(ConnectionKind kind, bool background, const std::string &device,
                           const std::string &ifname) {
    const char *program = "/usr/sbin/qmi-network";
    const std::string if_q = rtu::shell_word(ifname);
    if (kind == ConnectionKind::Atdial)
        return rtu::format_cmd(background ? "%s_atcmd %s start %s %s &" : "%s_atcmd %s start %s %s",
                               program, rtu::shell_word(device).c_str(), if_q.c_str(),
                               kConsoleRedirect);
    return rtu::format_cmd(background ? "%s_all %s start %s &" : "%s_all %s start %s", program,
                           if_q.c_str(), kConsoleRedirect);
}

std::optional<long> supervisor_pid(const std::string &pid_file, const std::string &proc_dir,
                                   std::string &why) {
    // Read whole (up to a bound no pid file reaches): the kill command reads
    // all of it.
    constexpr std::size_t kPidFileMax = 4096;
    std::optional<std::string> text = rtu::read_file(pid_file, kPidFileMax + 1);
    if (!text) {
        why = "no pid file " + pid_file;
        return std::nullopt;
    }
    if (text->size() > kPidFileMax) {
        why = pid_file + " holds no process number";
        return std::nullopt;
    }
    // What the kill command's backquotes make of it: one word of digits.
    const std::string_view blanks = " \t\r\n";
    std::string_view s(*text);
    std::size_t b = s.find_first_not_of(blanks);
    std::size_t e = s.find_last_not_of(blanks);
    std::string_view word;
    if (b != std::string_view::npos) word = s.substr(b, e - b + 1);
    std::optional<long long> number = rtu::parse_decimal(word);
    if (word.size() > 9 || !number) {
        why = pid_file + " holds no process number";
        return std::nullopt;
    }
    long pid = static_cast<long>(*number);  // at most nine digits
    if (pid <= 1) {
        why = pid_file + " holds no process number";
        return std::nullopt;
    }
    std::optional<std::string> cmdline =
        rtu::read_file(proc_dir + "/" + std::to_string(pid) + "/cmdline", 4096);
    if (!cmdline || cmdline->empty()) {
        why = "process " + std::to_string(pid) + " of " + pid_file + " is not running";
        return std::nullopt;
    }
    // The script runs either by itself or as an argument of its interpreter,
    // behind as many interpreter options as its first line or its caller
    // gives ("/bin/sh -e script ...").
    const std::string script =
        std::string(kSupervisorScript).substr(std::string_view(kSupervisorScript).rfind('/') + 1);
    std::string_view rest(*cmdline);
    while (!rest.empty()) {
        std::size_t nul = rest.find('\0');
        if (basename_is(rest.substr(0, nul), script)) return pid;
        if (nul == std::string_view::npos) break;
        rest.remove_prefix(nul + 1);
    }
    why = "process " + std::to_string(pid) + " of " + pid_file + " is not the supervision script";
    return std::nullopt;
}

}  // namespace modem

using namespace modem;

extern "C" int modem_start(int slot, int background) try {
    if (modem_check_valid(slot) != 0) return 0;
    modem_renewconf(slot);
    ::sleep(1);

    char device[kNameMax + 1] = {};
    char ifname[kNameMax + 1] = {};
    modem_get_device(device, slot);
    modem_get_if(ifname, slot);
    ConnectionKind kind = ConnectionKind::Other;
    if (modem_check_type(slot, "qmi") == 0)
        kind = ConnectionKind::Qmi;
    else if (modem_check_type(slot, "atdial") == 0)
        kind = ConnectionKind::Atdial;
    const std::string cmd = connection_cmd(kind, background != 0, device, ifname);
    return rtu::run_shell(cmd);
} catch (...) {
    return -1;
}

extern "C" int net_wan_if_up(int start_auto) try {
    const int wan_type = rtu::leading_int(uci_get_value("modem", "failover", "wan_type"));
    if (wan_type == 0 || wan_type == 1) {
        if (uci_get_value("network", "wan", "proto") != "dhcp") return 0;
        bring_up_lan_wan(wan_type == 0 ? "eth0.2" : "wlan0");
    } else if (wan_type == 2) {
        bring_up_modem_wan(start_auto);
    }
    return 0;
} catch (...) {
    return 0;
}

extern "C" int net_wan_if_down(void) try {
    // A stale pid file may name a process that is long gone, or whose number
    // now belongs to something else: only the supervision script is killed.
    std::string why;
    if (supervisor_pid(kSupervisorPidFile, "/proc", why)) {
        rtu::run_shell(rtu::format_cmd("%s -9 `/bin/cat /var/run/alive_checker_modem.pid` %s",
                                       "/bin/kill", kConsoleRedirect));
    } else {
        log_event("supervision not killed: " + why);
    }
    if (rtu::file_exists(kSupervisorPidFile) && !rtu::remove_file(kSupervisorPidFile))
        log_event(std::string("cannot remove ") + kSupervisorPidFile);

    for (int slot = 0; slot < kSlotCount; ++slot) modem_stop(slot, 0);
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (modem_status(slot) != 1) modem_stop(slot, 0);
    rtu::run_shell(rtu::format_cmd("%s quectel-CM", "/usr/bin/killall"));
    return 0;
} catch (...) {
    return 0;
}
