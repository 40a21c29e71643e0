// Rewrites on a full filesystem. The process under test gets a file size
// limit (RLIMIT_FSIZE, SIGXFSZ ignored): a write that would take a file past
// it fails with EFBIG, as a write to a full disk fails with ENOSPC. Each call
// runs in a child of its own so the limit stays there.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include "rsm.h"
#include "rsmwrapper.h"
#include "rt_test/files.h"

using rt_test::exists;
using rt_test::slurp;
using rt_test::write_file;

namespace {

const char kText[] =
    "[common]\n"
    "wanif = \"usb0\"\n"
    "enable = TRUE\n"
    "retries = 3\n"
    "ratio = 0.75\n";

std::set<std::string> entries(const std::string &dir) {
    std::set<std::string> out;
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return out;
    while (struct dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            out.insert(e->d_name);
    }
    ::closedir(d);
    return out;
}

// The result of call() (0 or -1) in a child whose files may not grow past
// limit bytes; 99 when the child did not end normally.
int limited(rlim_t limit, const std::function<int()> &call) {
    pid_t pid = ::fork();
    if (pid < 0) return 99;
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) ::_exit(98);
        int rc = call();
        ::_exit(rc == 0 ? 0 : rc == -1 ? 1 : 97);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 99;
    switch (WEXITSTATUS(status)) {
        case 0:
            return 0;
        case 1:
            return -1;
        default:
            return 90 + WEXITSTATUS(status) % 10;
    }
}

class FileSizeLimit : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::string("/tmp/fsl-") +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ::mkdir(dir.c_str(), 0755);
        conf = dir + "/net.conf";
        write_file(conf, kText);
        room = sizeof kText - 1 + 8;  // the old text and a little
    }
    // Nothing but the configuration file is left, and no lock.
    void expect_clean() {
        EXPECT_EQ(entries(dir), std::set<std::string>{"net.conf"});
        EXPECT_FALSE(exists("/tmp/net.conf.lock"));
    }
    std::string dir, conf;
    rlim_t room = 0;
};

TEST_F(FileSizeLimit, EverySetterReportsTheFailureAndLeavesTheOldFile) {
    const std::string big(64, 'v');
    const int n = 1234567, on = 1;
    const double d = 0.123456789;
    const char *c = conf.c_str();
    EXPECT_EQ(limited(room, [&] { return RSM_SET_STRING("common", "extra", big.c_str(), c); }), -1);
    EXPECT_EQ(slurp(conf), kText);
    expect_clean();
    EXPECT_EQ(limited(room, [&] { return RSM_SET_INTEGER("counters", "a_long_key", &n, c); }), -1);
    EXPECT_EQ(limited(room, [&] { return RSM_SET_FLOAT("common", "a_long_ratio", &d, c); }), -1);
    EXPECT_EQ(limited(room, [&] { return RSM_SET_BOOL("common", "a_long_switch", &on, c); }), -1);
    EXPECT_EQ(limited(room, [&] { return RSM_VALUE_SET_STRING("common", "extra", "x", c); }), -1);
    EXPECT_EQ(slurp(conf), kText);
    expect_clean();
    // the same limit takes a rewrite of the same size, and no limit the larger one
    const int four = 4;
    EXPECT_EQ(limited(room, [&] { return RSM_SET_INTEGER("common", "retries", &four, c); }), 0);
    EXPECT_EQ(
        limited(RLIM_INFINITY, [&] { return RSM_SET_STRING("common", "extra", big.c_str(), c); }),
        0);
    char out[80];
    ASSERT_EQ(RSM_GET_STRING("common", "extra", out, c), 0);
    EXPECT_EQ(out, big);
    int retries = 0;
    ASSERT_EQ(RSM_GET_INTEGER("common", "retries", &retries, c), 0);
    EXPECT_EQ(retries, 4);
    expect_clean();
}

TEST_F(FileSizeLimit, MultiItemSetFailsAsAWhole) {
    RsmItem items[3]{};
    items[0].section = "common";
    items[0].name = "wanif";
    items[0].type = RSM_ITEM_STRING;
    std::strcpy(items[0].value.str, "wwan0");
    items[1].section = "common";
    items[1].name = "description_of_the_uplink";
    items[1].type = RSM_ITEM_STRING;
    std::strcpy(items[1].value.str, "cellular uplink of the router");
    EXPECT_EQ(limited(room, [&] { return RSM_SET_MULTI_ITEMS(items, conf.c_str()); }), -1);
    EXPECT_EQ(slurp(conf), kText);
    expect_clean();
}

// The runtime system.conf is set before its persistent copy: when only the
// copy no longer fits, the call says so, and the copy is whole.
TEST(FileSizeLimitMirror, FailedPersistentCopyIsReported) {
    ::mkdir("/var/run", 0755);
    ::mkdir("/mnt/config", 0755);
    ::mkdir("/mnt/config/config", 0755);
    const std::string runtime = "[common]\nx = 1\n";
    const std::string persist = runtime + "[notes]\ntext = \"" + std::string(120, 'n') + "\"\n";
    write_file("/var/run/system.conf", runtime);
    write_file("/mnt/config/config/system.conf", persist);
    const int v = 2;
    // room for neither: both stay
    EXPECT_EQ(
        limited(8,
                [&] { return RSM_VALUE_SET_INTEGER("common", "x", &v, RSM_SYSTEM_CONF_RUNTIME); }),
        -1);
    EXPECT_EQ(slurp("/var/run/system.conf"), runtime);
    EXPECT_EQ(slurp("/mnt/config/config/system.conf"), persist);
    // room for the runtime file only
    EXPECT_EQ(
        limited(runtime.size() + 8,
                [&] { return RSM_VALUE_SET_INTEGER("common", "x", &v, RSM_SYSTEM_CONF_RUNTIME); }),
        -1);
    EXPECT_EQ(slurp("/var/run/system.conf"), "[common]\nx = 2\n");
    EXPECT_EQ(slurp("/mnt/config/config/system.conf"), persist);
    EXPECT_EQ(entries("/mnt/config/config"), std::set<std::string>{"system.conf"});
    EXPECT_FALSE(exists("/tmp/system.conf.lock"));
}

// The store's writers return nothing: a failed write must stay visible on
// the stream, where the caller checks it.
TEST(FileSizeLimitWriters, FailedWriteStaysOnTheStream) {
    rsm_t *store = rsm_alloc();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(rsm_section_insert(store, "common"), 0);
    const std::string text(300, 't');
    ASSERT_EQ(rsm_value_insert(store, "common", "long", RSM_TYPE_STRING, text.c_str()), 0);
    ::mkdir("/tmp/fsl-writers", 0755);
    for (bool xml : {false, true}) {
        for (rlim_t limit : {rlim_t{64}, RLIM_INFINITY}) {
            int rc = limited(limit, [&] {
                FILE *f = std::fopen("/tmp/fsl-writers/out", "w");
                if (f == nullptr) return 2;
                if (xml)
                    rsm_write_xml(store, f);
                else
                    rsm_write(store, f);
                bool failed = std::fflush(f) != 0 || std::ferror(f) != 0;
                failed = std::fclose(f) != 0 || failed;
                return failed ? -1 : 0;
            });
            EXPECT_EQ(rc, limit == RLIM_INFINITY ? 0 : -1) << "xml " << xml;
        }
    }
    rsm_free(store);
}

}  // namespace
