// The check of the agent's client certificate.
#pragma once

#include <string>

// 0 when config.ssl_cert exists and its CommonName equals the code; 21 otherwise.
int cert_check(const char *activation_code);

// 0 with the certificate's CommonName in *out (at most 255 characters); 20
// when path or out is null, the file cannot be opened, the command cannot
// be started or it gives no CommonName.
int cert_common_name(const char *path, std::string *out);
