// SCEP enrollment: the request configuration rewrite and the three tool
// runs (sscep getca, openssl req, sscep enroll).
#include "scep.h"

#include <cstring>

#include "command.h"
#include "log.h"
#include "rtu/files.h"
#include "rtu/handles.h"
#include "rtu/status_files.h"
#include "state.h"

namespace {

int g_code_status_written = 0;

// A configuration value as one shell word; an absent value gives the
// placeholder text the tools then reject.
std::string q(const std::optional<std::string> &v) {
    return agent_word(v);
}

// The options both sscep commands share: verbose output and the proxy.
std::string common_options(const AgentConfig &c) {
    std::string s;
    if (c.verbose > 0) s += " -v -d";
    if (c.proxy_enabled != 0) {
        s += " -p 1 -q " + q(c.proxy_url) + " -x " + std::to_string(c.proxy_port);
        if (c.proxy_auth_required == 1) {
            s += " -y " + q(c.proxy_user);
            if (c.proxy_pass) s += " -z " + q(c.proxy_pass);
        }
    }
    return s;
}

bool starts_with(const char *s, const char *prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// Runs a command logged beforehand (the proxy password masked); returns the
// raw shell status, or the status of a missing program when the command
// could not be built.
int run_logged(const std::optional<std::string> &cmd) {
    if (cmd) agent_log(LOG_INFO, agent_mask(*cmd));
    return agent_system(cmd);
}

}  // namespace

bool scep_rewrite_config(FILE *in, FILE *out, const char *activation_code) {
    char line[1024];
    bool at_line_start = true;  // the chunk read begins a line
    bool dropping = false;      // the rest of a replaced line is skipped
    while (std::fgets(line, sizeof line, in)) {
        std::size_t n = std::strlen(line);
        bool complete = n > 0 && line[n - 1] == '\n';
        if (!at_line_start) {
            // Continuation of a line longer than the buffer.
            if (!dropping && std::fputs(line, out) == EOF) return false;
            at_line_start = complete;
            if (complete) dropping = false;
            continue;
        }
        const char *eq = std::strchr(line, '=');
        if (eq && eq > line && (starts_with(line, "challengePasswor") || starts_with(line, "CN"))) {
            std::string repl(line, static_cast<std::size_t>(eq - line) + 1);
            repl += activation_code;
            repl += '\n';
            if (std::fputs(repl.c_str(), out) == EOF) return false;
            // The old value may go on past the buffer: it is dropped with the
            // rest, not left behind as a line of its own.
            dropping = !complete;
        } else if (std::fputs(line, out) == EOF) {
            return false;
        }
        at_line_start = complete;
    }
    return std::ferror(in) == 0;
}

std::optional<std::string> scep_getca_command(const AgentConfig &c) {
    return agent_command("/usr/bin/sscep getca%s -u %s -c %s >>%s 2>&1", common_options(c).c_str(),
                         q(c.scep_server_url).c_str(), q(c.scep_ca).c_str(), kScepLogPath);
}

std::optional<std::string> scep_request_command(const AgentConfig &c) {
    return agent_command(
        "openssl req -config %s -newkey rsa:4096 -keyout %s -out %s -nodes >>%s 2>&1",
        q(c.scep_cnf).c_str(), q(c.ssl_key).c_str(), q(c.scep_req).c_str(), kScepLogPath);
}

std::optional<std::string> scep_enroll_command(const AgentConfig &c, ScepCaForm form) {
    std::string opts = common_options(c);
    if (form == ScepCaForm::single)
        return agent_command(
            "/usr/bin/sscep enroll%s -u %s -E 3des -S sha256 -c %s -k %s -r %s -l %s >>%s 2>&1",
            opts.c_str(), q(c.scep_server_url).c_str(), q(c.scep_ca).c_str(), q(c.ssl_key).c_str(),
            q(c.scep_req).c_str(), q(c.ssl_cert).c_str(), kScepLogPath);
    return agent_command(
        "/usr/bin/sscep enroll%s -u %s -E 3des -S sha256 -c %s-0 -e %s-1 -k %s -r %s -l %s >>%s "
        "2>&1",
        opts.c_str(), q(c.scep_server_url).c_str(), q(c.scep_ca).c_str(), q(c.scep_ca).c_str(),
        q(c.ssl_key).c_str(), q(c.scep_req).c_str(), q(c.ssl_cert).c_str(), kScepLogPath);
}

int scep_code_status_written() {
    return g_code_status_written;
}

int scep_prepare_request(const char *activation_code) {
    if (!activation_code || std::strlen(activation_code) != 12) return 22;
    const AgentConfig &c = agent_state().config;
    rtu::FilePtr in(c.scep_cnf ? std::fopen(c.scep_cnf->c_str(), "r+") : nullptr);
    rtu::FilePtr out(in && c.scep_cnf_new ? std::fopen(c.scep_cnf_new->c_str(), "w") : nullptr);
    if (!in || !out) {
        agent_logf(LOG_ERROR, "Unable to open scep request config file %s", cfg_text(c.scep_cnf));
        return 1;
    }
    agent_logf(LOG_INFO, "Reading scep request config. Inserting activation code %s",
               activation_code);
    bool written = scep_rewrite_config(in.get(), out.get(), activation_code);
    in.reset();
    written = std::fclose(out.release()) == 0 && written;
    if (!written) {
        // A short copy must not replace the configuration.
        agent_logf(LOG_ERROR, "Error writing %s", cfg_text(c.scep_cnf_new));
        return 2;
    }
    if (agent_system(agent_command("rm -f %s >>%s 2>&1", q(c.scep_cnf).c_str(), kScepLogPath)) >
        0) {
        agent_logf(LOG_ERROR, "Error removing %s", cfg_text(c.scep_cnf));
        return 2;
    }
    if (agent_system(agent_command("mv %s %s >>%s 2>&1", q(c.scep_cnf_new).c_str(),
                                   q(c.scep_cnf).c_str(), kScepLogPath)) > 0) {
        agent_logf(LOG_ERROR, "Error renaming %s", cfg_text(c.scep_cnf_new));
        return 2;
    }
    return 0;
}

int scep_enroll() {
    const AgentConfig &c = agent_state().config;
    g_code_status_written = 0;

    if (agent_system(agent_command("rm -f %s* >>%s 2>&1", q(c.scep_ca).c_str(), kScepLogPath)) >
        0) {
        agent_logf(LOG_ERROR, "Error removing %s*", cfg_text(c.scep_ca));
        return 2;
    }

    int status = run_logged(scep_getca_command(c));
    if (status > 0) {
        agent_logf(LOG_ERROR, "Error #%d executing sscep getca command.", status);
        rtu::write_number_file(rtu::status::kCodeStatus, 1);
        g_code_status_written = 1;
        return 2;
    }

    // A CA that answers with one certificate leaves it in scep_ca; one with
    // several leaves numbered files beside it.
    ScepCaForm form = ScepCaForm::numbered;
    if (c.scep_ca) {
        rtu::FilePtr ca(std::fopen(c.scep_ca->c_str(), "r+"));
        if (ca) form = ScepCaForm::single;
    }

    status = run_logged(scep_request_command(c));
    if (status > 0) {
        agent_logf(LOG_ERROR, "Error #%d executing openssl command.", status);
        rtu::write_number_file(rtu::status::kCodeStatus, 2);
        g_code_status_written = 2;
        return 2;
    }

    status = run_logged(scep_enroll_command(c, form));
    if (status > 0) {
        agent_logf(LOG_ERROR, "Error #%d executing sscep enroll command.", status);
        return 2;
    }
    return 0;
}
