#include "push.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "command.h"
#include "dispatch.h"
#include "log.h"
#include "rtu/split.h"
#include "state.h"
#include "transfer.h"

namespace {

// Copies a JSON text value into a fixed field; false when it does not fit.
bool fit(char *field, std::size_t size, const char *value) {
    std::size_t n = std::strlen(value);
    if (n >= size) return false;
    std::memcpy(field, value, n + 1);
    return true;
}

const char *text_of(json_object *obj, const char *key) {
    json_object *v = nullptr;
    if (!json_object_object_get_ex(obj, key, &v) || !v) return nullptr;
    return json_object_get_string(v);
}

// One push request on a handle of its own.
int push_request(const std::string &body, int (*parse)(const char *), bool main_thread) {
    AgentState &st = agent_state();
    CurlPtr handle(curl_easy_init());
    if (main_thread) st.push_transfer = handle.get();
    std::string url = st.config.hbs_server.value_or("") + "?push=1&gzip=1";
    agent_logf(LOG_PUSH, "curlurl %s", url.c_str());
    int result = 14;
    if (handle) {
        transfer_setup(handle.get());
        curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    }
    std::string reply;
    if (push_send(handle.get(), body, &reply) == 0 && parse(reply.c_str()) == 0) result = 0;
    if (main_thread) st.push_transfer = nullptr;
    return result;
}

// A push reply is a JSON array whose first element is an object keyed by the
// function name: that member, or null when the reply is not of this form.
// root keeps the parsed reply alive for the caller.
json_object *reply_member(const char *reply, const char *function, JsonPtr &root) {
    if (!reply) return nullptr;
    root.reset(json_tokener_parse(reply));
    if (!root || !json_object_is_type(root.get(), json_type_array) ||
        json_object_array_length(root.get()) == 0)
        return nullptr;
    json_object *first = json_object_array_get_idx(root.get(), 0);
    json_object *member = nullptr;
    if (!json_object_is_type(first, json_type_object) ||
        !json_object_object_get_ex(first, function, &member))
        return nullptr;
    return member;
}

}  // namespace

int is_decimal_digits(const char *text) {
    if (!text) return 0;
    for (const char *p = text; *p; ++p)
        if (*p < '0' || *p > '9') return 0;
    return 1;
}

int is_dotted_quad(const char *text) {
    if (!text) return 0;
    std::string copy(text);
    int parts = 0;
    std::size_t pos = 0;
    while (pos < copy.size()) {
        if (copy[pos] == '.') {
            ++pos;
            continue;
        }
        std::size_t end = copy.find('.', pos);
        if (end == std::string::npos) end = copy.size();
        std::string part = copy.substr(pos, end - pos);
        pos = end;
        if (++parts > 4) return 0;
        if (!is_decimal_digits(part.c_str())) return 0;
        long value = 0;
        for (char c : part) {
            value = value * 10 + (c - '0');
            if (value > 255) return 0;
        }
    }
    return parts == 4 ? 1 : 0;
}

int push_send(CURL *handle, const std::string &body, std::string *reply_out) {
    if (reply_out) reply_out->clear();
    if (!handle) {
        agent_log(LOG_PUSH_ERROR, "Unable to push data. No connection to server!");
        return -1;
    }
    ReplyPtr reply(reply_buffer_new(kReplyCapacity));
    char errbuf[CURL_ERROR_SIZE + 1] = {};
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, reply.get());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, transfer_abort_check);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, nullptr);

    unsigned char *packed = nullptr;
    std::size_t packed_len = 0;
    payload_compress(body.data(), body.size(), &packed, &packed_len);
    MallocPtr<unsigned char> packed_owner(packed);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(packed_len));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, packed ? reinterpret_cast<char *>(packed) : "");
    agent_logf(LOG_PUSH, "> %s", body.c_str());

    CURLcode res = curl_easy_perform(handle);
    packed_owner.reset();
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
    if (res != CURLE_OK) {
        agent_logf(LOG_PUSH_ERROR, "Failed to send push data to server : %s ", errbuf);
        agent_logf(LOG_PUSH_ERROR, "CURL Error %d meaning : %s", static_cast<int>(res),
                   curl_easy_strerror(res));
        return -1;
    }
    if (code != 200) {
        if (code == 403)
            agent_log(LOG_PUSH_ERROR,
                      "Unable to push data! Error 403 - forbidden or smartcard is blocked on the "
                      "server.");
        else
            agent_logf(LOG_PUSH_ERROR, "Unable to push data. HTTP Error %ld", code);
        return -1;
    }
    curl_off_t downloaded = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &downloaded);
    if (downloaded == 0) agent_log(LOG_PUSH_ERROR, "Unable to push data. No connection to server!");
    char *text = nullptr;
    std::size_t text_len = 0;
    payload_decompress(reinterpret_cast<const unsigned char *>(reply->data), reply->length, &text,
                       &text_len);
    MallocPtr<char> text_owner(text);
    if (!text) {
        agent_log(LOG_PUSH_ERROR, "Failed to decompress return value");
        return -1;
    }
    if (reply_out) reply_out->assign(text, text_len);
    agent_logf(LOG_PUSH, "< %s", text);
    return 0;
}

int parse_vpn_server_list(const char *reply) {
    JsonPtr root;
    json_object *list = reply_member(reply, "get_vpn_client_server", root);
    if (!json_object_is_type(list, json_type_array) || json_object_array_length(list) == 0)
        return 16;

    agent_log(LOG_PUSH, kHyphens);
    std::vector<std::unique_ptr<VpnServerEntry>> entries;
    int result = 0;
    std::size_t n = json_object_array_length(list);
    for (std::size_t i = 0; i < n; ++i) {
        if (entries.size() >= static_cast<std::size_t>(kMaxVpnServers)) {
            agent_logf(LOG_PUSH, "vpn server list holds %d entries - only the first %d are used!",
                       static_cast<int>(n), kMaxVpnServers);
            break;
        }
        json_object *el = json_object_array_get_idx(list, i);
        if (!json_object_is_type(el, json_type_object)) {
            agent_logf(LOG_PUSH, "vpn server %d not used - not an object!",
                       static_cast<int>(i + 1));
            result = 16;
            break;
        }
        auto e = std::make_unique<VpnServerEntry>();
        std::memset(e.get(), 0, sizeof *e);
        const char *host = text_of(el, "host");
        const char *name = text_of(el, "name");
        const char *ip = text_of(el, "ip");
        const char *port = text_of(el, "port");
        const char *proto = text_of(el, "proto");
        const char *args = text_of(el, "args");
        agent_logf(LOG_PUSH, "vpn server %d %20s %30s %15s %4s %12s %s", static_cast<int>(i + 1),
                   name ? name : "(null)", host ? host : "(null)", ip ? ip : "(null)",
                   port ? port : "(null)", proto ? proto : "(null)", args ? args : "(null)");
        if (!host && !ip) {
            agent_log(LOG_PUSH, "vpn server not used - neither hostname or ip given!");
            result = 16;
            break;
        }
        if (!name) {
            agent_log(LOG_PUSH, "vpn server not used - no name given!");
            result = 16;
            break;
        }
        bool ok = fit(e->host, sizeof e->host, host ? host : ip) &&
                  fit(e->name, sizeof e->name, name) && fit(e->ip, sizeof e->ip, ip ? ip : " ") &&
                  fit(e->port, sizeof e->port, port ? port : "443") &&
                  fit(e->proto, sizeof e->proto, proto ? proto : "tcp-client") &&
                  fit(e->args, sizeof e->args, args ? args : " ");
        if (!ok) {
            agent_logf(LOG_PUSH, "vpn server %d not used - a text is longer than its field!",
                       static_cast<int>(i + 1));
            result = 16;
            break;
        }
        entries.push_back(std::move(e));
    }
    vpn_servers_replace(std::move(entries));
    if (result == 0) agent_log(LOG_PUSH, kHyphens);
    return result;
}

int parse_push_network_reply(const char *reply) {
    JsonPtr root;
    json_object *v = reply_member(reply, "push_network", root);
    if (!json_object_is_type(v, json_type_string) ||
        std::strcmp(json_object_get_string(v), "ok") != 0) {
        agent_log(LOG_PUSH, "The portal did not accept the networks.");
        return 16;
    }
    return 0;
}

int build_networks_body(std::string &body) {
    const AgentState &st = agent_state();
    std::string out = "[{\"action\":\"call\",\"function\":\"push_network\",\"networks\":[";
    for (int i = 0; i < kMaxNetworks && st.networks[static_cast<std::size_t>(i)]; ++i) {
        const NetworkEntry &e = *st.networks[static_cast<std::size_t>(i)];
        if (i > 0) out += ",";
        if (!is_dotted_quad(e.network) || !is_dotted_quad(e.subnetmask)) {
            agent_logf(LOG_PUSH_ERROR,
                       "Network '%s' with mask '%s' is not a valid address - networks not pushed.",
                       e.network, e.subnetmask);
            return 18;
        }
        out += "{\"network\":\"";
        out += e.network;
        out += "\",\"subnetmask\":\"";
        out += e.subnetmask;
        out += "\"}";
    }
    out += "]}]";
    if (out.size() > 1023) out.resize(1023);  // the body's 1024-byte buffer
    body = out;
    return 0;
}

int push_get_vpn_servers() {
    return push_request(kServerListBody, parse_vpn_server_list, true);
}

int push_networks() {
    AgentState &st = agent_state();
    if (!st.networks[0]) {
        agent_log(LOG_PUSH_ERROR, "No LAN network known - networks not pushed.");
        return 14;
    }
    // The script's line ends (as every echo ends it) are not part of the mask.
    std::optional<std::string> line =
        agent_first_line(std::string(kPushNetworkScript) + " br-lan", 255);
    if (!line) {
        agent_logf(LOG_PUSH_ERROR, "Unable to run %s - networks not pushed.", kPushNetworkScript);
        return 1;
    }
    // Address and mask: the first two words between blanks.
    std::vector<std::string_view> found = rtu::split_fields(*line, " \t");
    std::string words[2];
    for (std::size_t i = 0; i < 2 && i < found.size(); ++i)
        words[i] = found[i].substr(0, kNetTextSize - 1);
    if (words[0] != st.lan_network) {
        std::memset(st.lan_network, 0, kNetTextSize);
        std::memcpy(st.lan_network, words[0].data(), words[0].size());
    }
    if (words[1] != st.lan_mask) {
        std::memset(st.lan_mask, 0, kNetTextSize);
        std::memcpy(st.lan_mask, words[1].data(), words[1].size());
    }
    std::string body;
    if (build_networks_body(body) != 0) return 18;
    int result = push_request(body, parse_push_network_reply, false);
    if (result != 0) agent_log(LOG_PUSH_ERROR, "Networks not pushed.");
    return result;
}
