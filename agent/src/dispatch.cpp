#include "dispatch.h"

#include <cstdio>
#include <cstring>

#include "command.h"
#include "log.h"
#include "push.h"
#include "rtu/files.h"
#include "rtu/numbers.h"
#include "rtu/shell.h"
#include "state.h"
#include "vpn.h"

const char *const jsonrpc_result_ok =
    "[{\"key\":\"jsonrpc\",\"result\":\" [{\\\"jsonrpc\\\" : \\\"2.0\\\",\\\"result\\\":\\\"1\\\" "
    ",\\\"id\\\" : \\\"0\\\"}] \",\"error\":null,\"action\":\"call\",\"val1\":\"\" }]";
const char *const jsonrpc_result_fail =
    "[{\"key\":\"jsonrpc\",\"result\":\" [{\\\"jsonrpc\\\" : \\\"2.0\\\",\\\"result\\\":\\\"0\\\" "
    ",\\\"id\\\" : \\\"0\\\"}] \",\"error\":null,\"action\":\"call\",\"val1\":\"\" }]";

namespace {

DispatchActions g_actions{vpn_start, vpn_stop};

void set_answer(std::string &answer, const char *text) {
    answer.assign(text ? text : "");
    if (answer.size() > 1023) answer.resize(1023);
}

const char *member_string(json_object *obj, const char *name) {
    json_object *v = nullptr;
    if (!obj || !json_object_is_type(obj, json_type_object) ||
        !json_object_object_get_ex(obj, name, &v) || !json_object_is_type(v, json_type_string))
        return nullptr;
    return json_object_get_string(v);
}

// First line of a file read through /bin/cat: at most 31 characters, with
// its line feed when the line is shorter; empty for a missing file.
std::string device_value(const char *path) {
    if (!rtu::file_exists(path)) return {};
    std::string out = agent_output(std::string("/bin/cat ") + path, 4096).value_or("");
    std::size_t lf = out.find('\n');
    if (lf != std::string::npos) out.resize(lf + 1);
    if (out.size() > 31) out.resize(31);
    return out;
}

}  // namespace

void set_dispatch_actions(const DispatchActions *actions) {
    g_actions = actions ? *actions : DispatchActions{vpn_start, vpn_stop};
}

std::string json_escape(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += rtu::format_bounded(8, "\\u%04x", c);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out;
}

json_object *find_by_key(json_object *array, const char *member, const char *text) {
    if (!array || !member || !text || !json_object_is_type(array, json_type_array)) return nullptr;
    std::size_t n = json_object_array_length(array);
    for (std::size_t i = 0; i < n; ++i) {
        json_object *el = json_object_array_get_idx(array, i);
        const char *v = member_string(el, member);
        if (v && std::strcmp(v, text) == 0) return el;
    }
    return nullptr;
}

const char *find_param_value(json_object *array, const char *key, const char *member,
                             const char *action) {
    if (!array || !json_object_is_type(array, json_type_array)) return nullptr;
    const char *found = nullptr;
    std::size_t n = json_object_array_length(array);
    for (std::size_t i = 0; i < n; ++i) {
        json_object *el = json_object_array_get_idx(array, i);
        const char *k = member_string(el, "key");
        const char *a = member_string(el, "action");
        if (!k || !a || std::strcmp(k, key) != 0 || std::strcmp(a, action) != 0) continue;
        json_object *values = nullptr;
        if (!json_object_object_get_ex(el, member, &values) ||
            !json_object_is_type(values, json_type_array))
            continue;
        std::size_t len = json_object_array_length(values);
        if (len == 0) continue;
        found = json_object_get_string(json_object_array_get_idx(values, len - 1));
    }
    return found;
}

void apply_timing_params(json_object *array) {
    AgentState &st = agent_state();
    std::size_t n = json_object_array_length(array);
    if (n >= 1) {
        if (const char *v = find_param_value(array, "cdel", "values", "param")) {
            st.hbs_client_delay = rtu::leading_int(v);
            agent_logf(LOG_INFO, "hbs_client_delay set to %d seconds", st.hbs_client_delay.load());
        }
    }
    if (n >= 2) {
        if (const char *v = find_param_value(array, "sdel", "values", "param")) {
            st.hbs_server_delay = rtu::leading_int(v);
            agent_logf(LOG_INFO, "hbs_server_delay set to %d seconds", st.hbs_server_delay.load());
        }
    }
}

void build_device_info(std::string &answer) {
    std::string fw = device_value("/tmp/novra_fw_version");
    std::printf("version:%s\n", fw.c_str());
    std::string sn = device_value("/tmp/board_sn");
    std::printf("sn:%s\n", sn.c_str());
    std::string model = device_value("/tmp/novra_model");
    std::printf("model:%s\n", model.c_str());
    std::string alias = device_value("/tmp/novra_model_alias");
    std::printf("alias:%s\n", alias.c_str());
    // The values go into JSON strings: escape them (a line feed as read
    // would make the answer invalid JSON).
    std::string text = rtu::format_bounded(
        1024,
        "[{\"key\":\"fwversion\",\"values\":null,\"table\":null,\"columns\":null,\"where\":null,"
        "\"result\":\"%s\",\"error\":null,\"sqlresult\":null,\"action\":\"get\"},"
        "{\"key\":\"redbootserial\",\"values\":null,\"table\":null,\"columns\":null,\"where\":null,"
        "\"result\":\"%s\",\"error\":null,\"sqlresult\":null,\"action\":\"status\"},"
        "{\"key\":\"realproduct\",\"values\":null,\"table\":null,\"columns\":null,\"where\":null,"
        "\"result\":\"%s\",\"error\":null,\"sqlresult\":null,\"action\":\"status\"},"
        "{\"key\":\"product\",\"values\":null,\"table\":null,\"columns\":null,\"where\":null,"
        "\"result\":\"%s\",\"error\":null,\"sqlresult\":null,\"action\":\"status\"},"
        "{\"key\":\"buildno\",\"values\":null,\"table\":null,\"columns\":null,\"where\":null,"
        "\"result\":\"%s\",\"error\":null,\"sqlresult\":null,\"action\":\"status\"}]",
        json_escape(fw).c_str(), json_escape(sn).c_str(), json_escape(model).c_str(),
        json_escape(alias).c_str(), "1");
    set_answer(answer, text.c_str());
}

int run_addroute(json_object *request, std::string &answer) {
    json_object *params = nullptr;
    if (!json_object_object_get_ex(request, "params", &params) ||
        !json_object_is_type(params, json_type_object))
        return 0;
    const char *network = member_string(params, "network");
    const char *subnet = member_string(params, "subnet");
    const char *gateway = member_string(params, "gateway");
    (void)member_string(params, "id");
    if (network && subnet && gateway && is_dotted_quad(network) && is_dotted_quad(subnet) &&
        is_dotted_quad(gateway)) {
        // The three values are checked dotted quads: plain words for the shell.
        auto cmd = agent_command(
            "route add -net %s netmask %s gw %s >>/var/log/telvsdk-route.log 2>&1",
            agent_word(network).c_str(), agent_word(subnet).c_str(), agent_word(gateway).c_str());
        if (cmd) {
            agent_logf(LOG_HBS, "%s", cmd->c_str());
            if (agent_system(cmd) < 1) {
                set_answer(answer, jsonrpc_result_ok);
                return 1;
            }
        }
    }
    agent_log(LOG_ERROR, "Error adding route.");
    set_answer(answer, jsonrpc_result_fail);
    return 0;
}

int run_doupdate(json_object *request, std::string &) {
    json_object *params = nullptr;
    if (!json_object_object_get_ex(request, "params", &params)) return 0;
    const char *path = member_string(params, "updatePath");
    if (!path) return 0;
    agent_logf(LOG_INFO, "updatepath : %s", path);
    return 1;
}

int dispatch_jsonrpc(json_object *array, std::string &answer) {
    agent_logf(LOG_DEBUG, "handle_request_jsonrpc - arraylen : %d",
               static_cast<int>(json_object_array_length(array)));
    if (json_object_array_length(array) == 0) return 0;
    const char *val1 = member_string(json_object_array_get_idx(array, 0), "val1");
    if (!val1) return 0;
    agent_logf(LOG_DEBUG, "jsonsubobj : %s", val1);
    JsonPtr sub(json_tokener_parse(val1));
    if (!sub) {
        agent_log(LOG_DEBUG, "jsonsubobj : json_type != array");
        set_answer(answer, jsonrpc_result_fail);
        return 0;
    }
    if (!json_object_is_type(sub.get(), json_type_array)) return 0;
    std::size_t n = json_object_array_length(sub.get());
    agent_log(LOG_DEBUG, "jsonsubobj : json_type_array");
    agent_logf(LOG_DEBUG, "jsonsubobj : arraylen : %d", static_cast<int>(n));
    for (std::size_t i = 0; i < n; ++i) {
        agent_logf(LOG_DEBUG, "jsonsubobj - arraylen : %d", static_cast<int>(n));
        json_object *req = json_object_array_get_idx(sub.get(), i);
        if (!json_object_is_type(req, json_type_object)) continue;
        agent_log(LOG_DEBUG, "jsubrequest : json_type_object");
        const char *method = member_string(req, "method");
        if (!method) continue;
        if (std::strcmp(method, "connectvpn") == 0) {
            agent_log(LOG_HBS, "HBS command 'START VPN connection' received.");
            bool ok = g_actions.vpn_start() == 0;
            set_answer(answer, ok ? jsonrpc_result_ok : jsonrpc_result_fail);
            return ok ? 1 : 0;
        }
        if (std::strcmp(method, "disconnectvpn") == 0) {
            agent_log(LOG_HBS, "HBS command 'STOP  VPN connection' received.");
            bool ok = g_actions.vpn_stop() == 0;
            set_answer(answer, ok ? jsonrpc_result_ok : jsonrpc_result_fail);
            return ok ? 1 : 0;
        }
        if (std::strcmp(method, "addroute") == 0) {
            agent_log(LOG_HBS, "HBS command 'addroute' received.");
            if (run_addroute(req, answer)) {
                set_answer(answer, jsonrpc_result_ok);
                return 1;
            }
            continue;
        }
        if (std::strcmp(method, "doupdate") == 0) {
            agent_log(LOG_HBS, "HBS command 'doupdate' received.");
            if (run_doupdate(req, answer)) {
                set_answer(answer, jsonrpc_result_ok);
                return 1;
            }
            continue;
        }
    }
    return 0;
}

std::optional<long long> shell_read_number(const char *command) {
    std::optional<std::string> line =
        agent_first_line(agent_command("%s 2>/dev/null", command), 255);
    if (!line) return std::nullopt;
    return rtu::parse_decimal(*line);
}

int shell_output_equals(const char *command, const char *text) {
    std::optional<std::string> line =
        agent_first_line(agent_command("%s 2>/dev/null", command), 255);
    return line && !line->empty() && *line == text ? 0 : -1;
}

int hbs_reply_parse(const char *reply, std::string &answer) {
    if (!reply) reply = "";
    agent_logf(LOG_HBS, "< %s", reply);
    set_answer(answer, reply);
    JsonPtr root(json_tokener_parse(reply));
    if (!root || !json_object_is_type(root.get(), json_type_array)) return 0;
    agent_log(LOG_DEBUG, "json_type_array");
    json_object *arr = root.get();
    if (find_by_key(arr, "key", "fwversion")) {
        build_device_info(answer);
        return 1;
    }
    if (find_by_key(arr, "key", "cdel")) {
        apply_timing_params(arr);
        return 1;
    }
    if (!find_by_key(arr, "key", "jsonrpc")) return 0;
    switch (agent_state().config.portal_action) {
        case 1:
            return dispatch_jsonrpc(arr, answer);
        case 0:
            agent_log(LOG_HBS, "Never allowed novra Portal.");
            return 0;
        case 2: {
            if (shell_output_equals("uci -q get sysevent.dido.di_action_type", "VPN_NOVRA") != 0) {
                agent_log(
                    LOG_HBS,
                    "Digital Input Action Type is not novra mode, and never allowed novra Portal.");
                return 0;
            }
            // Only a reading of the input may open the gate: a failed or garbled
            // answer refuses, as a closed input does.
            std::optional<long long> di = shell_read_number("databoard get common \"di_status\"");
            if (!di) {
                agent_log(LOG_HBS_ERROR,
                          "Digital input state unreadable - portal command refused.");
                return 0;
            }
            if (*di == 0) return dispatch_jsonrpc(arr, answer);
            if (*di == 1) agent_log(LOG_HBS, "Never allowed novra Portal.");
            return 0;
        }
        default:
            return 0;
    }
}
