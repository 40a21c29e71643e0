// Enrollment is not built yet: scep_prepare_request only checks the code and
// scep_enroll reports failure, so start-up without a valid certificate takes
// the "enrollment failed" path. The request configuration rewrite, sscep
// getca, openssl req and sscep enroll land here.
#include "scep.h"

#include <cstring>

#include "log.h"

int scep_prepare_request(const char *activation_code) {
    if (!activation_code || std::strlen(activation_code) != 12) return 22;
    return 0;
}

int scep_enroll() {
    agent_log(LOG_ERROR, "SCEP enrollment is not available in this build.");
    return 2;
}
