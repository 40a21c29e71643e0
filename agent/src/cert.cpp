#include "cert.h"

#include <cstdio>
#include <cstring>

#include "command.h"
#include "log.h"
#include "rtu/shell.h"
#include "state.h"

int cert_common_name(const char *path, std::string *out) {
    if (!path || !out) return 20;
    FILE *f = std::fopen(path, "r");
    if (!f) return 20;
    std::fclose(f);
    auto cmd = agent_command(
        "openssl x509 -noout -subject -in %s -nameopt multiline | sed -n 's/ *commonName *= //p' ",
        rtu::shell_quote(path).c_str());
    if (!cmd) return 20;
    PipePtr p(popen(cmd->c_str(), "r"));
    if (!p) return 20;
    char line[1024] = {};
    if (!std::fgets(line, sizeof line, p.get())) line[0] = '\0';
    // Read to the end so the pipeline never ends on a broken pipe.
    char rest[256];
    while (std::fgets(rest, sizeof rest, p.get())) {
    }
    p.reset();
    std::size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    if (n > 0 && line[n - 1] == '\r') line[--n] = '\0';
    // No CommonName line: there is no certificate to compare.
    if (n == 0) return 20;
    agent_logf(LOG_HBS, "Using certificate with CommonName : %s", line);
    out->assign(line, std::min<std::size_t>(n, 255));
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
