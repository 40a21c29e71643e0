// SCEP enrollment of a new client certificate with the activation code.
#pragma once

// 0; 22 code missing or not 12 characters; 1 request configuration not
// opened; 2 a shell step failed.
int scep_prepare_request(const char *activation_code);

// 0 when a certificate was enrolled into config.ssl_cert, else 2.
int scep_enroll();
