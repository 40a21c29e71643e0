// These tests use the fixed paths of the router (/tmp/*.lock, /var/run,
// /mnt/config, the shared segment keyed by /share/shmcommon), so they only run
// inside a throwaway router root, started by the process tests of this folder.
#include <gtest/gtest.h>

#include <cstdio>

#include "rt_test/root.h"

int main(int argc, char **argv) {
    if (!rt_test::in_router_root()) {
        std::fprintf(stderr, "%s: run inside a router root (see test_inroot.py)\n", argv[0]);
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
