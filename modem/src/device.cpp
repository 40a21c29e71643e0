// Which cellular module the router carries and which device nodes belong to
// it: the module description file, the per-slot accessors, start-up
// initialisation, the firmware version check, the radio access setting, the
// QMI network file and the APN check.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "modem_internal.h"
#include "modemctl/modemctl.h"
#include "platform.h"
#include "rtu/files.h"
#include "rtu/handles.h"
#include "rtu/numbers.h"
#include "rtu/shell.h"
#include "rtu/split.h"
#include "rtu/streams.h"

namespace modem {

ModuleDescription parse_module_description(std::string_view text) {
    ModuleDescription d;
    // Tokens between commas and line ends, empty ones skipped.
    std::vector<std::string_view> tokens = rtu::split_fields(text, ",\n");
    if (tokens.empty()) return d;
    d.has_tokens = true;

    // The first token is always the control device of record 0; keyword pairs
    // may only follow it.
    std::array<std::string, 6> record;
    record[0] = std::string(tokens[0]);
    std::size_t field = 1;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        std::string_view t = tokens[i];
        if (t == "driver" || t == "loadfix") {
            if (i + 1 >= tokens.size()) break;  // keyword without its value
            std::string_view value = tokens[++i];
            if (t == "driver") {
                if (!d.drivers.empty()) d.drivers += ',';
                d.drivers += value;
            } else {
                d.loadfix = value;
            }
            continue;
        }
        record[field] = std::string(t);
        if (field == 5) d.records.push_back(record);
        field = (field + 1) % 6;
    }
    return d;
}

bool version_meets_minimum(int major, int minor, int patch) {
    return major >= 3 && minor >= 5 && patch >= 23;
}

const char *radio_type_text(int value) {
    static constexpr const char *kTexts[] = {"gsm, umts, lte", "umts, lte", "gsm, umts", "lte",
                                             "umts",           "gsm"};
    if (value < 0 || value > 5) return nullptr;
    return kTexts[value];
}

bool module_needs_wvdial_file(std::string_view name) {
    for (const char *family : {"MC73", "MC74", "MC77", "MC83", "MC88"})
        if (name.find(family) != std::string_view::npos) return true;
    return false;
}

bool module_takes_radio_cmd(std::string_view name) {
    return name.find("HUAWEI_E909S") != std::string_view::npos ||
           name.find("EC25E") != std::string_view::npos;
}

// "/usr/sbin/wvdial-report -C /etc/wvdial_cmd_<if> SETURAT<type>  >>/tmp/console_log 2>&1";
// empty when it does not fit the command buffer (cut there, it could end
// inside the quoted radio type).
std::string radio_cmd(const std::string &ifname, const std::string &radio_type) {
    std::string cmd = std::string("/usr/sbin/wvdial-report -C ") +
                      rtu::shell_word("/etc/wvdial_cmd_" + ifname) + " " +
                      rtu::shell_word("SETURAT" + radio_type) + " " + kConsoleRedirect;
    if (cmd.size() > rtu::kCmdMax - 1) return {};
    return cmd;
}

// "/usr/sbin/modem-report_atcmd <if> create  >>/tmp/console_log 2>&1"
std::string report_create_cmd(const std::string &ifname) {
    return rtu::format_cmd("%s_atcmd %s create %s", "/usr/sbin/modem-report",
                           rtu::shell_word(ifname).c_str(), kConsoleRedirect);
}

}  // namespace modem

using namespace modem;

namespace {

// Copies the slot's option, or the default when it is empty (nullptr: leave
// the output as it was).
int get_with_default(char *out, int slot, const char *base, const char *default0,
                     const char *default_n) {
    if (!out || slot < 0) return 1;
    std::string value = param(base, slot);
    if (value.empty()) {
        const char *def = slot == 0 ? default0 : default_n;
        if (def) copy_field(out, def);
    } else {
        copy_field(out, value);
    }
    return 0;
}

}  // namespace

extern "C" int modem_get_device(char *out, int slot) try {
    return get_with_default(out, slot, "cdc_wdm", "/dev/cdc-wdm1", "/dev/cdc-wdm0");
} catch (...) {
    return 1;
}

extern "C" int modem_get_if(char *out, int slot) try {
    return get_with_default(out, slot, "modem_if", "eth1", "usb0");
} catch (...) {
    return 1;
}

extern "C" int modem_get_atif(char *out, int slot) try {
    return get_with_default(out, slot, "modem_atif", "/dev/ttyUSB1", "/dev/ttyUSB0");
} catch (...) {
    return 1;
}

extern "C" int modem_get_dialif(char *out, int slot) try {
    return get_with_default(out, slot, "modem_dialif", nullptr, nullptr);
} catch (...) {
    return 1;
}

extern "C" int modem_get_type(char *out, int slot) try {
    return get_with_default(out, slot, "modem_type", nullptr, nullptr);
} catch (...) {
    return 1;
}

extern "C" int modem_get_name(char *out) try {
    if (!out) return 1;
    std::string name = uci_get_value("modem", "parameters", "modem_name");
    if (name.empty()) return 1;
    copy_field(out, name);
    return 0;
} catch (...) {
    return 1;
}

extern "C" int modem_fix_device(void) try {
    if (!rtu::file_exists(kModuleFile)) {
        // No description: the module's usual layout, for this run only.
        static constexpr const char *kDefaults[] = {"/dev/cdc-wdm1", "eth1",         "/dev/ttyUSB1",
                                                    "/dev/ttyUSB1",  "/dev/ttyUSB2", "qmi"};
        for (std::size_t i = 0; i < kDeviceOptions.size(); ++i)
            uci_set_value("modem", "parameters", kDeviceOptions[i], kDefaults[i]);
        return 1;
    }
    // Read whole: the firmware's files are small, but nothing is lost when one
    // is not.
    std::optional<std::string> text = rtu::read_file(kModuleFile);
    if (!text) {
        log_event(std::string("cannot read ") + kModuleFile + ": " + std::strerror(errno));
        return 0;
    }
    ModuleDescription d = parse_module_description(*text);
    if (!d.has_tokens) return -1;

    bool changed = false;
    for (std::size_t k = 0; k < d.records.size(); ++k) {
        for (std::size_t i = 0; i < kDeviceOptions.size(); ++i) {
            const std::string key = slot_key(kDeviceOptions[i], static_cast<int>(k));
            const std::string &want = d.records[k][i];
            if (uci_get_value("modem", "parameters", key) == want) continue;
            uci_set_value("modem", "parameters", key, want);
            databoard_setvalue_withshm("common", key.c_str(), want.c_str());
            changed = true;
        }
    }
    if (!d.drivers.empty() && d.drivers != uci_get_value("modem", "parameters", "modem_driver")) {
        uci_set_value("modem", "parameters", "modem_driver", d.drivers);
        changed = true;
    }
    if (d.loadfix) {
        databoard_setvalue("common", "loadfix", d.loadfix->c_str());
        changed = true;
    }
    if (changed) rtu::run_shell("uci commit modem");
    return 0;
} catch (...) {
    return -1;
}

extern "C" int modem_init(void) try {
    databoard_setvalue("common", "modem_hwreset_count", "3");
    databoard_setvalue("common", "modem_apn_max", "1");
    rtu::run_shell("/usr/sbin/modem-check-module");
    ::sleep(1);
    modem_fix_device();
    int rc = 0;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        char ifname[kNameMax + 1] = {};
        modem_get_if(ifname, slot);
        rc = modem_report_start_atcmd(ifname, 0);
    }
    return rc;
} catch (...) {
    return -1;
}

extern "C" int modem_check_version(const char *id) try {
    if (!id) return -1;
    const std::string ok_marker = std::string("/tmp/") + id + "_modem_version_ok";
    const std::string fail_marker = std::string("/tmp/") + id + "_modem_version_fail";
    if (rtu::file_exists(ok_marker)) return 0;
    if (rtu::file_exists(fail_marker)) return -1;

    // The identifier is part of every command below; one too long for the
    // command buffer would be cut, perhaps inside its quotes.
    const std::string touch_fail = std::string("/bin/touch ") + rtu::shell_word(fail_marker);
    if (touch_fail.size() > rtu::kCmdMax - 1) {
        log_event("modem identifier too long for the version check");
        return -1;
    }
    rtu::run_shell(std::string("/usr/sbin/modem_version.sh ") + rtu::shell_word(id));
    int parts[3] = {};
    for (int i = 0; i < 3; ++i) {
        const std::string key = rtu::format_bounded(64, "%s_version%d", id, i + 1);
        const char *value = databoard_getvalue("common", key.c_str());
        if (!value) return -1;  // the script left no version: no verdict either
        parts[i] = rtu::leading_int(value);
    }
    if (!version_meets_minimum(parts[0], parts[1], parts[2])) {
        rtu::run_shell(touch_fail);
        return -1;
    }
    rtu::run_shell(std::string("/bin/touch ") + rtu::shell_word(ok_marker));
    return 0;
} catch (...) {
    return -1;
}

extern "C" int modem_dev_radio_type_get(char *out, int slot) try {
    if (!out || slot < 0) return 0;
    const char *text = radio_type_text(rtu::leading_int(param("modem_radiotype", slot)));
    if (!text) return 0;
    copy_field(out, text);
    return 1;
} catch (...) {
    return 0;
}

extern "C" int modem_dev_hwreset_atcmd(int /*slot*/) {
    return 0;
}

extern "C" int modem_set_radio_type(int slot, const char *radio_type) try {
    if (!radio_type || slot < 0) return -1;
    char ifname[kNameMax + 1] = {};
    char name[kNameMax + 1] = {};
    if (modem_get_if(ifname, slot) != 0 || modem_get_name(name) != 0) return -1;

    const std::string wvdial_file = std::string("/etc/wvdial_cmd_") + ifname;
    const std::string radio = radio_cmd(ifname, radio_type);
    if (radio.empty() && (module_needs_wvdial_file(name) || module_takes_radio_cmd(name))) {
        log_event("radio type too long for the radio command, not set");
        return -1;
    }
    int rc = 0;
    if (module_needs_wvdial_file(name)) {
        if (!rtu::file_exists(wvdial_file)) rc = rtu::run_shell(report_create_cmd(ifname));
        rc = rtu::run_shell(radio);
    } else if (module_takes_radio_cmd(name)) {
        rc = rtu::run_shell(radio);
    }
    uci_set_value("modem", "parameters", slot_key("modem_radiotype", slot), radio_type);
    return rc;
} catch (...) {
    return -1;
}

extern "C" int modem_renewconf(int slot) try {
    char ifname[kNameMax + 1] = {};
    if (modem_get_if(ifname, slot) != 0) return -2;
    const std::string path = std::string("/etc/qmi-network.conf_") + ifname;
    // The file carries the SIM's password and PIN: readable by root only.
    rtu::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) {
        log_event("cannot create " + path + ": " + std::strerror(errno));
        return -2;
    }
    ::fchmod(fd.get(), 0600);
    rtu::FilePtr f(::fdopen(fd.get(), "w"));
    if (!f) return -2;
    fd.release();  // the stream closes it
    const std::string apn = param("modem_apn", slot);
    const std::string user = param("modem_user", slot);
    const std::string passwd = param("modem_passwd", slot);
    const std::string pin = param("modem_pin", slot);
    ::flockfile(f.get());
    rtu::put(f.get(), "APN=%s\n", apn.c_str());
    rtu::put(f.get(), "Username=%s\n", user.c_str());
    rtu::put(f.get(), "Password=%s\n", passwd.c_str());
    rtu::put(f.get(), "PIN=%s\n", pin.c_str());
    ::funlockfile(f.get());
    if (!rtu::close_file(std::move(f))) log_event("cannot write " + path);
    return 0;
} catch (...) {
    return -2;
}

extern "C" int modem_is_apn_empty(void) try {
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (!param("modem_apn", slot).empty()) return 0;
    return 1;
} catch (...) {
    return 1;
}
