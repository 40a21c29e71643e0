// The heartbeat server's requests and commands, and the agent's answers.
#pragma once

#include <json-c/json.h>

#include <memory>
#include <optional>
#include <string>

struct JsonDeleter {
    void operator()(json_object *o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonDeleter>;

extern const char *const jsonrpc_result_ok;
extern const char *const jsonrpc_result_fail;

// Decides what a reply asks for and writes the answer (the next request
// body, at most 1023 characters). 1 when it acted, else 0.
int hbs_reply_parse(const char *reply, std::string &answer);

// What the server's VPN commands call: vpn_start and vpn_stop, unless a
// test or fuzz target installs others (nullptr: the real ones again).
struct DispatchActions {
    int (*vpn_start)();
    int (*vpn_stop)();
};
void set_dispatch_actions(const DispatchActions *actions);

json_object *find_by_key(json_object *array, const char *member, const char *text);
// The string of the last entry of `member`, or nullptr (points into array).
const char *find_param_value(json_object *array, const char *key, const char *member,
                             const char *action);
void apply_timing_params(json_object *array);
void build_device_info(std::string &answer);
int dispatch_jsonrpc(json_object *array, std::string &answer);
int run_addroute(json_object *request, std::string &answer);
int run_doupdate(json_object *request, std::string &answer);

// The first line of a command's output (run with "2>/dev/null") read as a
// number: a line of decimal digits only; nullopt for anything else or when
// the command could not be run.
std::optional<long long> shell_read_number(const char *command);
// 0 when the first output line of the command is the (non-empty) text, else -1.
int shell_output_equals(const char *command, const char *text);

// Text escaped for use inside a JSON string (quotes, backslashes, control characters).
std::string json_escape(const std::string &text);
