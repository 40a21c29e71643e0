// The WAN interface table /etc/if_table_list and the set-up of the modem as a
// failover ("slave") interface, with the slave list /tmp/.slave_if_list.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "modem_internal.h"
#include "modemctl/modemctl.h"
#include "platform.h"
#include "rtu/handles.h"
#include "rtu/numbers.h"
#include "rtu/shell.h"
#include "rtu/split.h"
#include "rtu/streams.h"

namespace modem {
namespace {

using rtu::FilePtr;

std::string strip_line_end(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

}  // namespace

TableMatch table_lookup(const std::string &path, std::string_view ifname) {
    TableMatch m;
    FilePtr f(std::fopen(path.c_str(), "r"));
    if (!f) return m;
    char buf[kTableLineMax + 1];
    const std::string name(ifname);
    while (std::fgets(buf, sizeof buf, f.get())) {
        if (!std::strstr(buf, name.c_str())) continue;
        // The first line that contains the name is the match, even when the
        // name is only a part of its first field.
        // Tokens split at blanks, empty ones skipped.
        auto tokens = rtu::split_fields(buf, " ");
        if (tokens.size() >= 2) m.priority = cut(strip_line_end(std::string(tokens[1])), kNameMax);
        if (tokens.size() >= 3) {
            m.type = cut(strip_line_end(std::string(tokens[2])), kNameMax);
            m.rc = 0;
        }
        break;
    }
    return m;
}

}  // namespace modem

using namespace modem;

extern "C" int cur_if_table_list_init(void) try {
    FilePtr f(std::fopen(kIfTablePath, "w"));
    if (!f) {
        log_event(std::string("cannot create ") + kIfTablePath + ": " + std::strerror(errno));
        return -1;
    }
    rtu::put_text(f.get(), "adsl 10 adsl\n");
    rtu::put_text(f.get(), "eth0 10 ethernet\n");
    rtu::put_text(f.get(), "eth0.2 20 ethernet\n");
    rtu::put_text(f.get(), "wlan0 20 ethernet\n");

    int next = 50;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        std::string ifname = cut(param("modem_if", slot), kTableNameMax);
        if (!ifname.empty()) {
            std::string type = cut(param("modem_type", slot), kTableNameMax);
            if (type.empty()) {
                rtu::put(f.get(), "%s %d qmi\n", ifname.c_str(), next);
                rtu::put(f.get(), "wan%d %d qmi\n", slot + 1, next);
            } else {
                rtu::put(f.get(), "%s %d %s\n", ifname.c_str(), next, type.c_str());
                rtu::put(f.get(), "wan%d %d %s\n", slot + 1, next, type.c_str());
            }
            next += 10;
        }
        char postfix[32] = {};
        modem_get_dialif_postfix(postfix, slot);
        postfix[sizeof postfix - 1] = '\0';
        if (postfix[0] != '\0') rtu::put(f.get(), "%s %d ppp\n", postfix, next - 10);
    }
    if (!rtu::close_file(std::move(f))) {
        log_event(std::string("cannot write ") + kIfTablePath);
        return -1;
    }
    return 0;
} catch (...) {
    return -1;
}

extern "C" int cur_if_table_get_byif(const char *ifname, char *priority, char *type) try {
    if (!ifname || !priority || !type) return -1;
    TableMatch m = table_lookup(kIfTablePath, ifname);
    if (m.priority) copy_field(priority, *m.priority);
    if (m.type) copy_field(type, *m.type);
    return m.rc;
} catch (...) {
    return -1;
}

extern "C" int cur_slave_ifs_detect(const char * /*wan_type*/, const char *backup,
                                    const char *stop_word) try {
    // The caller's copy of the WAN type is not consulted: the option is read here.
    if (rtu::leading_int(uci_get_value("modem", "failover", "wan_type")) != 2) return 0;

    const bool only_first = backup && stop_word && std::strcmp(backup, "off") == 0 &&
                            std::strcmp(stop_word, "off") == 0;
    std::string slaves;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        char ifname[kNameMax + 1] = {};
        modem_get_if(ifname, slot);
        if (ifname[0] == '\0') continue;
        if (param("modem_apn", slot).empty()) continue;  // no APN: never a slave

        const std::string test_site = composite_param("wan_test_site", slot);
        const std::string fill_gw = composite_param("wan_fill_gw", slot);
        net_wan_if_set_profile(ifname, "dhcp", test_site.c_str(), fill_gw.c_str(),
                               slot_profile(slot), "", "", "");
        if (slot == 0) {
            databoard_setvalue("common", "wanif", ifname);
            databoard_setvalue("common", "wanif1", ifname);
        } else {
            databoard_setvalue("common", rtu::format_bounded(64, "wanif%d", slot + 1).c_str(),
                               ifname);
        }
        std::string lb = param("lb_pri", slot);
        if (lb.empty()) lb = "1";
        databoard_setvalue("common", rtu::format_bounded(64, "%s_cur_lb_priority", ifname).c_str(),
                           lb.c_str());
        slaves += ifname;
        slaves += ' ';
        if (only_first) break;
    }
    if (!slaves.empty()) {
        slaves.pop_back();
        cur_slave_ifs_init(cut(slaves, kSlaveListMax).c_str());
    }
    return 0;
} catch (...) {
    return -1;
}

extern "C" int cur_slave_fill_selected(const char *selected) try {
    if (!selected) return -1;
    FilePtr f(std::fopen(kSlaveListPath, "w"));
    if (!f) {
        log_event(std::string("cannot create ") + kSlaveListPath + ": " + std::strerror(errno));
        return -1;
    }
    rtu::put(f.get(), "%s ", selected);

    int rc = 0;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (param("modem_bk", slot) != "on") continue;
        char ifname[kNameMax + 1] = {};
        rc = modem_get_if(ifname, slot);
        if (std::strcmp(ifname, selected) == 0) continue;  // already the primary

        rtu::put(f.get(), "%s ", ifname);
        std::string test_site = composite_param("wan_test_site", slot);
        if (test_site.empty()) test_site = "8.8.8.8";
        const std::string fill_gw = composite_param("wan_fill_gw", slot);
        set_cur_wan_info(ifname, 0, "", "", "", "", "", "1");
        net_wan_clear_old_ip(ifname);
        net_wan_if_set_profile(ifname, "dhcp", test_site.c_str(), fill_gw.c_str(),
                               slot_profile(slot), "", "", "");
    }
    if (!rtu::close_file(std::move(f))) {
        log_event(std::string("cannot write ") + kSlaveListPath);
        return -1;
    }
    return rc;
} catch (...) {
    return -1;
}
