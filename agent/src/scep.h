// SCEP enrollment of a new client certificate with the activation code.
//
// The work is done by outside tools run through the shell (sscep getca,
// openssl req, sscep enroll), their output appended to the SCEP log; the
// agent rewrites the request configuration, builds the command lines and
// judges their exit status.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

struct AgentConfig;

inline constexpr const char *kScepLogPath = "/var/log/telvsdk-scep.log";

// 0; 22 code missing or not 12 characters; 1 request configuration not
// opened; 2 a shell step failed.
int scep_prepare_request(const char *activation_code);

// 0 when a certificate was enrolled into config.ssl_cert, else 2.
int scep_enroll();

// The value scep_enroll last wrote to /tmp/code_status: 1 after a failed
// sscep getca, 2 after a failed openssl req, 0 when it wrote none (success,
// or a failure that leaves the status to the caller).
int scep_code_status_written();

// ---- Building blocks, exposed for the unit tests ----

// Copies a request configuration from in to out, replacing the value of the
// challengePassword and CN lines by the code. Returns false on a write error.
bool scep_rewrite_config(FILE *in, FILE *out, const char *activation_code);

// CA forms of sscep getca: one certificate in config.scep_ca, or the CA
// certificate in "<scep_ca>-0" and the encryption certificate in "<scep_ca>-1".
enum class ScepCaForm { single, numbered };

// Command texts. Values from the configuration are single shell words
// (quoted only when the shell would interpret them); the proxy password is
// masked when a command is logged. nullopt (logged) when the command would
// not fit its 1024-byte buffer.
std::optional<std::string> scep_getca_command(const AgentConfig &c);
std::optional<std::string> scep_request_command(const AgentConfig &c);
std::optional<std::string> scep_enroll_command(const AgentConfig &c, ScepCaForm form);
