#include "cert.h"

#include <cstdio>

#include "command.h"
#include "log.h"
#include "rtu/handles.h"
#include "state.h"

int cert_common_name(const char *path, std::string *out) {
    if (!path || !out) return 20;
    if (!rtu::FilePtr(std::fopen(path, "re"))) return 20;
    std::optional<std::string> line =
        agent_first_line(agent_command("openssl x509 -noout -subject -in %s -nameopt multiline | "
                                       "sed -n 's/ *commonName *= //p' ",
                                       agent_word(path).c_str()),
                         1023);
    // No CommonName line: there is no certificate to compare.
    if (!line || line->empty()) return 20;
    agent_logf(LOG_HBS, "Using certificate with CommonName : %s", line->c_str());
    out->assign(*line, 0, 255);
    return 0;
}

int cert_check(const char *activation_code) {
    if (!activation_code) return 21;
    const AgentConfig &c = agent_state().config;
    std::string name;
    const char *path = c.ssl_cert ? c.ssl_cert->c_str() : nullptr;
    if (cert_common_name(path, &name) != 0) {
        agent_logf(LOG_ERROR,
                   "No Certificate '%s' with CommonName '%s' available - Request cert from "
                   "scep-server if not already done yet",
                   path ? path : "(null)", name.c_str());
        return 21;
    }
    if (name != activation_code) {
        agent_logf(LOG_ERROR,
                   "CommonName '%s' differs from activation code! - Request cert from scep-server "
                   "if not already done yet",
                   name.c_str());
        return 21;
    }
    agent_logf(LOG_INFO, "Certificate '%s' with CommonName '%s' exists.", path, name.c_str());
    return 0;
}
