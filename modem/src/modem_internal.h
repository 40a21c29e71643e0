// Pieces of modemctl shared by its source files: uci access, the slot key
// rule, the fixed paths and command texts, and the plain logic that the unit
// tests reach without a router root.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// uci access. Every option of the modem goes through these two. The key
// pkg.sec.opt is one shell word: as it is when plain, quoted otherwise.
// "/sbin/uci -q get pkg.sec.opt": first output line, at most 4095 characters,
// empty when the option is absent (or the command would not fit its buffer).
std::string uci_get_value(std::string_view package, std::string_view section,
                          std::string_view option);
// "/sbin/uci -q set pkg.sec.opt='value'" (not committed). The value is quoted
// so that it reaches uci whole whatever it holds. Returns the command's status,
// -1 when the command would not fit the command buffer.
int uci_set_value(std::string_view package, std::string_view section, std::string_view option,
                  std::string_view value);

namespace modem {

// The program manages one modem; the exported operations still take a slot.
inline constexpr int kSlotCount = 1;

// Interface names and keys live in 64-byte fields, in the table writer in
// 32-byte fields; table lines are read up to 255 characters.
inline constexpr std::size_t kNameMax = 63;
inline constexpr std::size_t kTableNameMax = 31;
inline constexpr std::size_t kTableLineMax = 255;
inline constexpr std::size_t kSlaveListMax = 255;
inline constexpr std::size_t kUciValueMax = 4095;

inline constexpr const char *kConsoleRedirect = " >>/tmp/console_log 2>&1";
inline constexpr const char *kIfTablePath = "/etc/if_table_list";
inline constexpr const char *kSlaveListPath = "/tmp/.slave_if_list";
inline constexpr const char *kModuleFile = "/etc_ro/MODULE_EC25E_3907_img";
inline constexpr const char *kSupervisorPidFile = "/var/run/alive_checker_modem.pid";
inline constexpr const char *kSupervisorScript = "/usr/sbin/exe_alive_checker.sh";

// Slot key rule: slot 0 uses the base name, slot n appends n+1 (modem_if2).
std::string slot_key(std::string_view base, int slot);
// Composite keys put the number after "modem": modemwan_test_site,
// modem2wan_test_site for slot 1. `rest` is the part after "modem".
std::string slot_composite_key(std::string_view rest, int slot);
// Profile number a slot passes to net_wan_if_set_profile: 0, then n+1.
int slot_profile(int slot);

// Option of package modem, section parameters, of the given slot.
std::string param(std::string_view base, int slot);
std::string composite_param(std::string_view rest, int slot);

// Copies text into a caller's 64-byte field, cut at 63 characters.
void copy_field(char *out, std::string_view text);
std::string cut(std::string_view text, std::size_t max);

// One line to the system log (through logger).
void log_event(const std::string &message);
// Writes text to /dev/console when it can be opened.
void console_write(std::string_view text);

// ---- interface table ---------------------------------------------------------

struct TableMatch {
    int rc = -1;                          // 0 when priority and type were found
    std::optional<std::string> priority;  // set once a second token was seen
    std::optional<std::string> type;
};
// First line of the table file that contains ifname anywhere.
TableMatch table_lookup(const std::string &path, std::string_view ifname);

// ---- module description --------------------------------------------------------

inline constexpr std::array<const char *, 6> kDeviceOptions = {
    "cdc_wdm", "modem_if", "modem_atif", "modem_dialif", "modem_gpsif", "modem_type"};

struct ModuleDescription {
    bool has_tokens = false;
    std::vector<std::array<std::string, 6>> records;  // record k describes slot k
    std::string drivers;                              // comma-separated
    std::optional<std::string> loadfix;
};
ModuleDescription parse_module_description(std::string_view text);

// ---- version and radio -----------------------------------------------------------

// Each part on its own must reach 3, 5 and 23.
bool version_meets_minimum(int major, int minor, int patch);
// Text of a radio type value 0..5, nullptr outside.
const char *radio_type_text(int value);
// Module names that take the radio command (after the wvdial file check for
// the first family).
bool module_needs_wvdial_file(std::string_view name);
bool module_takes_radio_cmd(std::string_view name);

// ---- command texts ------------------------------------------------------------------

// Connection command of modem_start: "qmi" and "other" start qmi-network_all
// with the interface, "atdial" qmi-network_atcmd with the control device first.
enum class ConnectionKind { Qmi, Atdial, Other };
std::string connection_cmd(ConnectionKind kind, bool background, const std::string &device,
                           const std::string &ifname);
// Radio access command (empty when it would not fit the command buffer), and
// the command that makes the wvdial command file.
std::string radio_cmd(const std::string &ifname, const std::string &radio_type);
std::string report_create_cmd(const std::string &ifname);
// Supervision command; an empty interface is passed as "none".
std::string supervision_cmd(const std::string &ifname, int first, int second);

// ---- supervision pid file ------------------------------------------------------------

// Checks that pid_file holds one process number and that this process runs
// the supervision script (its /proc/<pid>/cmdline, below proc_dir). Returns
// the pid, or nullopt and the reason in why.
std::optional<long> supervisor_pid(const std::string &pid_file, const std::string &proc_dir,
                                   std::string &why);

}  // namespace modem
