#include "config.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "command.h"
#include "log.h"
#include "rtu/handles.h"
#include "rtu/numbers.h"
#include "rtu/split.h"
#include "state.h"

namespace {

void store_text(std::optional<std::string> &field, const std::string &value) {
    field = value;
}

std::int32_t to_flag(const std::string &value) {
    return value == "1" ? 1 : 0;
}

// Numbers as atoi and strtol read them on the router (32-bit long), saturated.
std::int32_t to_int(const std::string &value) {
    return rtu::leading_int(value);
}

void store(AgentConfig &c, const std::string &key, const std::string &value) {
    if (key == "TELVSDK_CFG_VERBOSE")
        c.verbose = to_flag(value);
    else if (key == "TELVSDK_CFG_DEFAULT_CONNECT")
        store_text(c.default_connect, value);
    else if (key == "TELVSDK_CFG_CA")
        store_text(c.ca_file, value);
    else if (key == "TELVSDK_CFG_SSLCERT")
        store_text(c.ssl_cert, value);
    else if (key == "TELVSDK_CFG_SSLKEY")
        store_text(c.ssl_key, value);
    else if (key == "TELVSDK_CFG_TLSAUTH")
        store_text(c.tls_auth, value);
    else if (key == "TELVSDK_CFG_PROXY_URL")
        store_text(c.proxy_url, value);
    else if (key == "TELVSDK_CFG_PROXY_PORT")
        c.proxy_port = to_int(value);
    else if (key == "TELVSDK_CFG_PROXY_USER")
        store_text(c.proxy_user, value);
    else if (key == "TELVSDK_CFG_PROXY_PASS") {
        store_text(c.proxy_pass, value);
        agent_secret_add(value);
    } else if (key == "TELVSDK_CFG_PROXY_ENABLED")
        c.proxy_enabled = to_flag(value);
    else if (key == "TELVSDK_CFG_PROXY_AUTH_REQUIRED")
        c.proxy_auth_required = to_flag(value);
    else if (key == "TELVSDK_CFG_PROXY_AUTHMETHOD")
        store_text(c.proxy_auth_method, value);
    else if (key == "TELVSDK_CFG_PROXY_AUTH_FILE")
        store_text(c.proxy_auth_file, value);
    else if (key == "TELVSDK_CFG_SCEP_SERVER_URL")
        store_text(c.scep_server_url, value);
    else if (key == "TELVSDK_CFG_SCEP_CA")
        store_text(c.scep_ca, value);
    else if (key == "TELVSDK_CFG_SCEP_CNF") {
        store_text(c.scep_cnf, value);
        store_text(c.scep_cnf_new, value + "-new");
    } else if (key == "TELVSDK_CFG_SCEP_REQ")
        store_text(c.scep_req, value);
    else if (key == "TELVSDK_VPN_LOCAL_MGM_PORT")
        c.vpn_mgmt_port = to_int(value);
    else if (key == "TELVSDK_CFG_HBS_CONNECTION")
        store_text(c.hbs_server, value);
    else if (key == "TELVSDK_CFG_ACTIVATION_CODE")
        store_text(c.activation_code, value);
    else if (key == "action")
        c.portal_action = to_int(value);
    else if (key == "inactivity")
        c.vpn_inactivity = to_int(value);
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// One line as fgets gives it (newline included when it fit).
void handle_line(AgentConfig &c, const char *line) {
    std::size_t len = std::strlen(line);
    if (len < 4 || line[0] == '#') return;
    std::size_t sep = std::strcspn(line, " \t");
    if (line[sep] == '\0') return;  // no separator: no value
    std::string key(line, sep);
    std::size_t v = sep;
    while (is_blank(line[v])) ++v;
    if (line[v] == '\r' || line[v] == '\n') return;
    std::string value(line + v);
    if (!value.empty() && value.back() == '\n') value.pop_back();
    if (key == "TELVSDK_CFG_PROXY_PASS")
        agent_logf(LOG_INFO, "config %-32s = %s", key.c_str(), "***");
    else
        agent_logf(LOG_INFO, "config %-32s = %s", key.c_str(), value.c_str());
    store(c, key, value);
}

}  // namespace

void agent_config_reset() {
    agent_state().config = AgentConfig{};
    agent_secrets_clear();
}

int read_agent_config_file(const std::string &path) {
    rtu::FilePtr f(std::fopen(path.c_str(), "re"));
    if (!f) {
        agent_logf(LOG_ERROR, "Unable to open config file %s", path.c_str());
        return 1;
    }
    agent_logf(LOG_INFO, "Reading config file %s", path.c_str());
    char line[1024];
    while (std::fgets(line, sizeof line, f.get())) handle_line(agent_state().config, line);
    return 0;
}

int read_agent_config() {
    return read_agent_config_file(kAgentConfigPath);
}

void parse_network_lines(const std::string &output) {
    AgentState &st = agent_state();
    std::size_t slot = 1;
    std::size_t pos = 0;
    while (pos < output.size() && slot < kMaxNetworks) {
        // Lines are read in pieces of at most 255 characters.
        std::size_t end = output.find('\n', pos);
        std::size_t stop = end == std::string::npos ? output.size() : end + 1;
        if (stop - pos > 255) stop = pos + 255;
        std::string line = output.substr(pos, stop - pos);
        pos = stop;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        // Address and mask: the first two fields between commas (empty ones skipped).
        std::vector<std::string_view> fields = rtu::split_fields(line, ",");
        if (fields.size() > 2) fields.resize(2);
        for (std::size_t field = 0; field < fields.size(); ++field) {
            std::string_view text = fields[field].substr(0, kNetTextSize - 1);
            char *dst = st.network_text[slot][field];
            std::memset(dst, 0, kNetTextSize);
            std::memcpy(dst, text.data(), text.size());
        }
        if (fields.size() == 2) {
            st.networks[slot] = std::make_unique<NetworkEntry>(
                NetworkEntry{st.network_text[slot][0], st.network_text[slot][1]});
            ++slot;
        }
    }
}

int read_network_list() {
    std::optional<std::string> out =
        agent_output(std::string("uci -q get novra.config.network | sed 's/ /\\\n/g'"), 1 << 16);
    if (!out) return 1;
    parse_network_lines(*out);
    return 0;
}
