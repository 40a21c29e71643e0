// Stand-in for the router's platform service libraries on a machine without
// them. Shared values live for real in the shared segment (area 0, key
// "<section>_<name>"); the modem and WAN services only record their calls and
// answer from a small settings file (see DESIGN.md).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform.h"
#include "rsmwrapper.h"
#include "rtu/files.h"
#include "rtu/numbers.h"
#include "rtu/shell.h"
#include "rtu/streams.h"

namespace {

// ---- settings and call log ------------------------------------------------

std::string standin_dir() {
    const char *dir = std::getenv("PLATFORM_STANDIN_DIR");
    return dir && *dir ? dir : "/tmp/platform";
}

// One argument of a call line: texts shell-quoted, so that a line splits back
// into its arguments with shlex.split or `eval set --`.
std::string arg(const char *text) {
    return text ? rtu::shell_quote(text) : std::string("NULL");
}
std::string arg(int number) {
    return std::to_string(number);
}

template <typename... Args>
void record(const char *function, Args... args) {
    try {
        std::string line = function;
        ((line += ' ', line += arg(args)), ...);
        line += '\n';
        std::string dir = standin_dir();
        ::mkdir(dir.c_str(), 0755);
        rtu::append_file(dir + "/calls.log", line);
    } catch (...) {
    }
}

// The answer set for the first of the keys found in <dir>/answers, a file of
// "key=value" lines ('#' starts a comment line). Read afresh on every call so a
// test can change it between two calls.
std::optional<std::string> answer(std::initializer_list<std::string> keys) {
    auto text = rtu::read_file(standin_dir() + "/answers");
    if (!text) return std::nullopt;
    for (const std::string &key : keys) {
        std::string_view rest = *text;
        while (!rest.empty()) {
            std::size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.empty() || line[0] == '#') continue;
            std::size_t eq = line.find('=');
            if (eq != std::string_view::npos && line.substr(0, eq) == key)
                return std::string(line.substr(eq + 1));
        }
    }
    return std::nullopt;
}

int answer_int(std::initializer_list<std::string> keys, int fallback) {
    auto v = answer(keys);
    std::optional<long long> n = v ? rtu::leading_number(*v) : std::nullopt;
    return n ? static_cast<int>(std::clamp<long long>(*n, INT_MIN, INT_MAX)) : fallback;
}

std::string dotted(const char *function, int modem) {
    return std::string(function) + "." + std::to_string(modem);
}

// ---- shared values ----------------------------------------------------------

// One attachment for the life of the process. The segment's key file belongs
// to the firmware; the stand-in makes it when it is missing.
ShmCommonSegment *segment() {
    static std::mutex lock;
    static ShmCommonSegment *seg = nullptr;
    std::lock_guard<std::mutex> hold(lock);
    if (seg == nullptr) {
        struct stat st;
        if (::stat(SHMCOMMON_KEY_FILE, &st) != 0) {
            ::mkdir("/share", 0755);
            rtu::touch_file(SHMCOMMON_KEY_FILE);
        }
        seg = SHMCOMMON_Fetch();
    }
    return seg;
}

std::optional<std::string> value_key(const char *section, const char *name) {
    if (section == nullptr || name == nullptr) return std::nullopt;
    return std::string(section) + "_" + name;
}

thread_local char value_copy[SHMCOMMON_VALUE_SIZE];

char *read_value(int area, ShmCommonSegment *seg, const char *section, const char *name) {
    try {
        auto key = value_key(section, name);
        if (!key || seg == nullptr) return nullptr;
        ShmEntry *slot = SHMCOMMON_Lookup(area, seg, key->c_str());
        if (slot == nullptr) return nullptr;
        std::memcpy(value_copy, slot->value, sizeof value_copy);
        value_copy[sizeof value_copy - 1] = '\0';
        return value_copy;
    } catch (...) {
        return nullptr;
    }
}

int store_value(const char *section, const char *name, const char *value) {
    try {
        auto key = value_key(section, name);
        ShmCommonSegment *seg = segment();
        if (!key || value == nullptr || seg == nullptr) return -1;
        return SHMCOMMON_Setval(0, seg, key->c_str(), value) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

void print_area(int area, ShmCommonSegment *seg, const char *prefix) {
    for (int i = 0; i < SHMCOMMON_SLOTS; ++i) {
        const ShmEntry &slot = seg->area[area][i];
        if (slot.key[0] == '\0') continue;
        if (prefix && std::strncmp(slot.key, prefix, std::strlen(prefix)) != 0) continue;
        std::printf("area%d[%d] %.*s=%.*s\n", area, i, SHMCOMMON_KEY_SIZE - 1, slot.key,
                    SHMCOMMON_VALUE_SIZE - 1, slot.value);
    }
}

}  // namespace

extern "C" {

char *databoard_getvalue(const char *section, const char *name) {
    return read_value(0, segment(), section, name);
}

int databoard_setvalue(const char *section, const char *name, const char *value) {
    return store_value(section, name, value);
}

// Values and the shared segment are the same store here.
int databoard_setvalue_withshm(const char *section, const char *name, const char *value) {
    return store_value(section, name, value);
}

char *databoard_getshmvalue_g(int area, void *seg, const char *section, const char *name,
                              int /*flags*/, int /*copy*/) {
    ShmCommonSegment *s = seg ? static_cast<ShmCommonSegment *>(seg) : segment();
    return read_value(area, s, section, name);
}

void SHMCOMMON_Printall(void) {
    ShmCommonSegment *seg = segment();
    if (seg == nullptr) return;
    print_area(0, seg, nullptr);
    print_area(1, seg, nullptr);
    rtu::flush(stdout);
}

// No GPS receiver here: the table is whatever area 0 holds under "gps" keys.
void GPS_SHMPrintall(int /*flags*/) {
    ShmCommonSegment *seg = segment();
    if (seg == nullptr) return;
    print_area(0, seg, "gps");
    rtu::flush(stdout);
}

int modem_check_valid(int modem) {
    record("modem_check_valid", modem);
    return answer_int({dotted("modem_check_valid", modem), "modem_check_valid"}, 0);
}

int modem_check_type(int modem, const char *type) {
    record("modem_check_type", modem, type);
    std::string word = type ? type : "";
    std::string fn = dotted("modem_check_type", modem);
    if (auto forced = answer({fn + "." + word, "modem_check_type." + word}))
        return rtu::leading_int(*forced);
    std::string configured = answer({dotted("modem_type", modem), "modem_type"}).value_or("qmi");
    return type != nullptr && configured == type ? 0 : 1;
}

int modem_status(int modem) {
    record("modem_status", modem);
    return answer_int({dotted("modem_status", modem), "modem_status"}, 1);
}

int modem_stop(int modem, int flags) {
    record("modem_stop", modem, flags);
    return answer_int({dotted("modem_stop", modem), "modem_stop"}, 0);
}

int modem_get_dialif_postfix(char *postfix, int modem) {
    record("modem_get_dialif_postfix", modem);
    if (postfix == nullptr) return -1;
    std::string v = answer({dotted("modem_get_dialif_postfix", modem), "modem_get_dialif_postfix"})
                        .value_or("");
    rtu::copy_bounded(postfix, 32, v);  // the caller's buffer: 32 bytes
    return 0;
}

int modem_report_start_atcmd(const char *ifname, int flags) {
    record("modem_report_start_atcmd", ifname, flags);
    std::string fn = "modem_report_start_atcmd";
    return answer_int({fn + "." + (ifname ? ifname : ""), fn}, 0);
}

int net_wan_if_set_profile(const char *ifname, const char *proto, const char *test_site,
                           const char *fill_gw, int profile, const char *extra1, const char *extra2,
                           const char *extra3) {
    record("net_wan_if_set_profile", ifname, proto, test_site, fill_gw, profile, extra1, extra2,
           extra3);
    return answer_int({"net_wan_if_set_profile"}, 0);
}

int net_wan_clear_old_ip(const char *ifname) {
    record("net_wan_clear_old_ip", ifname);
    return answer_int({"net_wan_clear_old_ip"}, 0);
}

int set_cur_wan_info(const char *ifname, int current, const char *extra1, const char *extra2,
                     const char *extra3, const char *extra4, const char *extra5, const char *flag) {
    record("set_cur_wan_info", ifname, current, extra1, extra2, extra3, extra4, extra5, flag);
    return answer_int({"set_cur_wan_info"}, 0);
}

int cur_valid_if_init(const char *list) {
    record("cur_valid_if_init", list);
    return answer_int({"cur_valid_if_init"}, 0);
}

int cur_slave_ifs_init(const char *list) {
    record("cur_slave_ifs_init", list);
    return answer_int({"cur_slave_ifs_init"}, 0);
}

void striprn(char *text) {
    if (text == nullptr) return;
    char *out = text;
    for (char *in = text; *in; ++in) {
        if (*in != '\r' && *in != '\n') *out++ = *in;
    }
    *out = '\0';
}

}  // extern "C"
