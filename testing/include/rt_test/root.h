// Tests that use the router's fixed paths (/tmp, /etc, the shared segment) run
// only inside a throwaway router root, whose runner sets RT_IN_ROUTER_ROOT=1
// (run_gtest of testing/routerroot.py); elsewhere they skip or refuse to run.
#pragma once

#include <cstdlib>
#include <cstring>

namespace rt_test {

inline bool in_router_root() {
    const char *v = std::getenv("RT_IN_ROUTER_ROOT");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

}  // namespace rt_test
