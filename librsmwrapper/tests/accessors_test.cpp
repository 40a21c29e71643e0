#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "rsmwrapper.h"
#include "rt_test/files.h"
#include "rt_test/poll.h"

using rt_test::exists;
using rt_test::slurp;
using rt_test::write_file;

namespace {

const char kSample[] =
    "version = \"1.2\"\n"
    "[common]\n"
    "wanif = \"usb0\"\n"
    "enable = TRUE\n"
    "retries = 3\n"
    "ratio = 0.75\n"
    "[lan]\n"
    "ipaddr = \"192.168.1.1\"\n";

// Each test has its own folder under the root's private /tmp.
class Accessors : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::string("/tmp/acc-") +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ::mkdir(dir.c_str(), 0755);
        conf = dir + "/sample.conf";
        write_file(conf, kSample);
    }
    std::string dir, conf;
};

TEST_F(Accessors, GettersReadEachType) {
    char text[64] = "";
    ASSERT_EQ(RSM_GET_STRING("common", "wanif", text, conf.c_str()), 0);
    EXPECT_STREQ(text, "usb0");
    int b = -1, n = -1;
    ASSERT_EQ(RSM_GET_BOOL("common", "enable", &b, conf.c_str()), 0);
    EXPECT_EQ(b, 1);
    ASSERT_EQ(RSM_GET_INTEGER("common", "retries", &n, conf.c_str()), 0);
    EXPECT_EQ(n, 3);
    double d = 0;
    ASSERT_EQ(RSM_GET_FLOAT("common", "ratio", &d, conf.c_str()), 0);
    EXPECT_DOUBLE_EQ(d, 0.75);
    n = -1;
    EXPECT_EQ(RSM_VALUE_GET_INTEGER_BOOL("common", "retries", &n, conf.c_str()), 0);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(RSM_VALUE_GET_INTEGER_BOOL("common", "enable", &n, conf.c_str()), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(slurp(conf), kSample) << "a get does not rewrite the file";
    EXPECT_FALSE(exists("/tmp/sample.conf.lock"));
}

TEST_F(Accessors, MissingValueOrWrongTypeLeavesTheOutArgument) {
    int n = 1234;
    EXPECT_EQ(RSM_GET_INTEGER("common", "absent", &n, conf.c_str()), -1);
    EXPECT_EQ(RSM_GET_INTEGER("nosuch", "retries", &n, conf.c_str()), -1);
    EXPECT_EQ(RSM_GET_INTEGER("common", "wanif", &n, conf.c_str()), -1);  // a STRING
    EXPECT_EQ(RSM_GET_BOOL("common", "retries", &n, conf.c_str()), -1);   // an INTEGER
    EXPECT_EQ(n, 1234);
    char text[16] = "keep";
    EXPECT_EQ(RSM_GET_STRING("common", "retries", text, conf.c_str()), -1);
    EXPECT_STREQ(text, "keep");
    double d = 9.5;
    EXPECT_EQ(RSM_GET_FLOAT("common", "wanif", &d, conf.c_str()), -1);
    EXPECT_EQ(d, 9.5);
    // an integer is a whole float as the writer writes it
    EXPECT_EQ(RSM_GET_FLOAT("common", "retries", &d, conf.c_str()), 0);
    EXPECT_EQ(d, 3.0);
    EXPECT_EQ(RSM_GET_INTEGER(nullptr, "retries", &n, conf.c_str()), -1);
    EXPECT_EQ(RSM_GET_INTEGER("common", "retries", nullptr, conf.c_str()), -1);
    EXPECT_EQ(RSM_GET_INTEGER("common", "retries", &n, nullptr), -1);
}

TEST_F(Accessors, UnreadableFilesFailAndStayAsTheyWere) {
    int n = 0, v = 5;
    std::string missing = dir + "/missing.conf";
    EXPECT_EQ(RSM_GET_INTEGER("common", "retries", &n, missing.c_str()), -1);
    EXPECT_EQ(RSM_SET_INTEGER("common", "retries", &v, missing.c_str()), -1);
    EXPECT_FALSE(exists(missing));
    std::string broken = dir + "/broken.conf";
    write_file(broken, "[common]\nflag = true\n");
    EXPECT_EQ(RSM_SET_INTEGER("common", "retries", &v, broken.c_str()), -1);
    EXPECT_EQ(slurp(broken), "[common]\nflag = true\n");
    EXPECT_FALSE(exists("/tmp/broken.conf.lock"));
}

TEST_F(Accessors, SetChangesInPlaceAndCreatesValueAndSection) {
    int v = 7;
    ASSERT_EQ(RSM_SET_INTEGER("common", "retries", &v, conf.c_str()), 0);
    ASSERT_EQ(RSM_SET_STRING("lan", "netmask", "255.255.255.0", conf.c_str()), 0);
    int on = 0;
    ASSERT_EQ(RSM_SET_BOOL("wifi", "disabled", &on, conf.c_str()), 0);
    double d = -2.5;
    ASSERT_EQ(RSM_SET_FLOAT("common", "ratio", &d, conf.c_str()), 0);
    EXPECT_EQ(slurp(conf),
              "version = \"1.2\"\n"
              "[common]\n"
              "wanif = \"usb0\"\n"
              "enable = TRUE\n"
              "retries = 7\n"
              "ratio = -2.5\n"
              "[lan]\n"
              "ipaddr = \"192.168.1.1\"\n"
              "netmask = \"255.255.255.0\"\n"
              "[wifi]\n"
              "disabled = FALSE\n");
    // a set may change the type
    ASSERT_EQ(RSM_SET_STRING("common", "retries", "many", conf.c_str()), 0);
    char text[16];
    ASSERT_EQ(RSM_GET_STRING("common", "retries", text, conf.c_str()), 0);
    EXPECT_STREQ(text, "many");
    // a whole float comes back through the float getter
    d = 2.0;
    ASSERT_EQ(RSM_SET_FLOAT("common", "ratio", &d, conf.c_str()), 0);
    double back = 0;
    ASSERT_EQ(RSM_GET_FLOAT("common", "ratio", &back, conf.c_str()), 0);
    EXPECT_EQ(back, 2.0);
    EXPECT_FALSE(exists("/tmp/sample.conf.lock"));
}

TEST_F(Accessors, SetterNullArgumentsFail) {
    int v = 1;
    EXPECT_EQ(RSM_SET_STRING("s", "n", nullptr, conf.c_str()), -1);
    EXPECT_EQ(RSM_SET_INTEGER("s", nullptr, &v, conf.c_str()), -1);
    EXPECT_EQ(RSM_SET_BOOL("s", "n", nullptr, conf.c_str()), -1);
    EXPECT_EQ(RSM_SET_FLOAT("s", "n", nullptr, conf.c_str()), -1);
    EXPECT_EQ(slurp(conf), kSample);
}

TEST_F(Accessors, SetStringOnAMissingFileFails) {
    std::string missing = dir + "/missing.conf";
    EXPECT_EQ(RSM_SET_STRING("common", "wanif", "usb0", missing.c_str()), -1);
    EXPECT_FALSE(exists(missing));
    EXPECT_FALSE(exists("/tmp/missing.conf.lock"));
}

// Values the text format cannot hold would leave a file no one can read:
// they are refused and the file stays as it was.
TEST_F(Accessors, ValueThatWouldNotReadBackIsRefused) {
    EXPECT_EQ(RSM_SET_STRING("common", "wanif", "say \"hi\"", conf.c_str()), -1);
    EXPECT_EQ(RSM_SET_STRING("common", "wanif", "two\nlines", conf.c_str()), -1);
    EXPECT_EQ(slurp(conf), kSample);
    // nothing is left beside the file
    std::string ls = "ls -A " + dir;
    FILE *p = popen(ls.c_str(), "r");
    char line[256];
    int count = 0;
    while (std::fgets(line, sizeof line, p)) ++count;
    pclose(p);
    EXPECT_EQ(count, 1);
}

// Setting one value leaves every other value as it stands in the file, and a
// float the writer puts in its exponent form reads back.
TEST_F(Accessors, RewriteKeepsPreciseFloatsAndTakesExponents) {
    const std::string text = "[net]\nbig = 1234567.5\npi = 3.14159265\n";
    write_file(conf, text);
    int mtu = 1500;
    ASSERT_EQ(RSM_SET_INTEGER("net", "mtu", &mtu, conf.c_str()), 0);
    EXPECT_EQ(slurp(conf), text + "mtu = 1500\n");
    double million = 1000000.0;
    ASSERT_EQ(RSM_SET_FLOAT("net", "big", &million, conf.c_str()), 0);
    mtu = 1400;
    ASSERT_EQ(RSM_SET_INTEGER("net", "mtu", &mtu, conf.c_str()), 0);
    EXPECT_EQ(slurp(conf), "[net]\nbig = 1e+06\npi = 3.14159265\nmtu = 1400\n");
    double d = 0;
    ASSERT_EQ(RSM_GET_FLOAT("net", "big", &d, conf.c_str()), 0);
    EXPECT_EQ(d, 1e6);
}

TEST_F(Accessors, RewriteKeepsModeAndFollowsALink) {
    ::chmod(conf.c_str(), 0640);
    std::string link = dir + "/link.conf";
    ASSERT_EQ(::symlink(conf.c_str(), link.c_str()), 0);
    int v = 11;
    ASSERT_EQ(RSM_SET_INTEGER("common", "retries", &v, link.c_str()), 0);
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(conf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    int n = 0;
    ASSERT_EQ(RSM_GET_INTEGER("common", "retries", &n, conf.c_str()), 0);
    EXPECT_EQ(n, 11);
}

TEST(Mirror, DoubleSlashRuntimePathSetsBothCopies) {
    ::mkdir("/var/run", 0755);
    ::mkdir("/mnt/config", 0755);
    ::mkdir("/mnt/config/config", 0755);
    write_file("/var/run/system.conf", "[common]\nx = 1\n");
    write_file("/mnt/config/config/system.conf", "[common]\nx = 1\n");
    int v = 5;
    ASSERT_EQ(RSM_VALUE_SET_INTEGER("common", "x", &v, "/var/run//system.conf"), 0);
    EXPECT_EQ(slurp("/var/run/system.conf"), "[common]\nx = 5\n");
    EXPECT_EQ(slurp("/mnt/config/config/system.conf"), "[common]\nx = 5\n");

    v = 6;
    ASSERT_EQ(RSM_VALUE_SET_INTEGER("common", "x", &v, "/var/run/system.conf"), 0);
    EXPECT_EQ(slurp("/var/run/system.conf"), "[common]\nx = 6\n");
    EXPECT_EQ(slurp("/mnt/config/config/system.conf"), "[common]\nx = 5\n");

    ASSERT_EQ(RSM_VALUE_SET_STRING("common", "s", "a", "/var/run//system.conf"), 0);
    int on = 1;
    ASSERT_EQ(RSM_VALUE_SET_BOOL("common", "b", &on, "/var/run//system.conf"), 0);
    double d = 0.5;
    ASSERT_EQ(RSM_VALUE_SET_FLOAT("common", "f", &d, "/var/run//system.conf"), 0);
    EXPECT_EQ(slurp("/mnt/config/config/system.conf"),
              "[common]\nx = 5\ns = \"a\"\nb = TRUE\nf = 0.5\n");

    // the getters read only the path they are given
    int n = 0;
    ASSERT_EQ(RSM_GET_INTEGER("common", "x", &n, "/mnt/config/config//system.conf"), 0);
    EXPECT_EQ(n, 5);

    // a failure on the runtime copy stops before the persistent one
    write_file("/var/run/system.conf", "[broken\n");
    v = 9;
    EXPECT_EQ(RSM_VALUE_SET_INTEGER("common", "x", &v, "/var/run//system.conf"), -1);
    ASSERT_EQ(RSM_GET_INTEGER("common", "x", &n, "/mnt/config/config//system.conf"), 0);
    EXPECT_EQ(n, 5);
    // without the persistent copy the mirror reports its failure
    write_file("/var/run/system.conf", "[common]\nx = 1\n");
    std::remove("/mnt/config/config/system.conf");
    EXPECT_EQ(RSM_VALUE_SET_INTEGER("common", "x", &v, "/var/run//system.conf"), -1);
    EXPECT_EQ(slurp("/var/run/system.conf"), "[common]\nx = 9\n");
}

RsmItem item(const char *section, const char *name, int type) {
    RsmItem it{};
    it.section = section;
    it.name = name;
    it.type = type;
    return it;
}

TEST_F(Accessors, MultiItemGetFillsWhatIsFound) {
    RsmItem items[6];
    items[0] = item("common", "wanif", RSM_ITEM_STRING);
    items[1] = item("common", "retries", RSM_ITEM_INTEGER);
    items[2] = item("common", "absent", RSM_ITEM_INTEGER);
    items[2].value.num = 77;
    items[3] = item("common", "enable", RSM_ITEM_BOOL);
    items[4] = item("common", "ratio", RSM_ITEM_INTEGER);  // asked wrongly: stored FLOAT
    items[5] = item(nullptr, nullptr, 0);
    ASSERT_EQ(RSM_GET_MULTI_ITEMS(items, conf.c_str()), 0);
    EXPECT_STREQ(items[0].value.str, "usb0");
    EXPECT_EQ(items[1].value.num, 3);
    EXPECT_EQ(items[2].value.num, 77);
    EXPECT_EQ(items[2].type, RSM_ITEM_INTEGER);
    EXPECT_EQ(items[3].value.num, 1);
    // a found item takes the stored type, and its value follows that type
    EXPECT_EQ(items[4].type, RSM_ITEM_FLOAT);
    EXPECT_DOUBLE_EQ(items[4].value.dbl, 0.75);
    EXPECT_EQ(RSM_GET_MULTI_ITEMS(items, (dir + "/none.conf").c_str()), -1);
    EXPECT_EQ(RSM_GET_MULTI_ITEMS(nullptr, conf.c_str()), -1);
}

TEST_F(Accessors, MultiItemTextIsCutAt511) {
    std::string long_text(600, 'x');
    write_file(conf, "[common]\nlong = \"" + long_text + "\"\n");
    RsmItem items[2] = {item("common", "long", RSM_ITEM_STRING), item("", nullptr, 0)};
    std::memset(items[0].value.str, 'y', sizeof items[0].value.str);
    ASSERT_EQ(RSM_GET_MULTI_ITEMS(items, conf.c_str()), 0);
    EXPECT_EQ(std::strlen(items[0].value.str), 511u);
    EXPECT_EQ(std::string(items[0].value.str), long_text.substr(0, 511));
}

TEST_F(Accessors, MultiItemSetWritesOnceAndClearsTheMirror) {
    FILE *f = std::fopen(SHMCOMMON_KEY_FILE, "a");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ShmCommonSegment *seg = SHMCOMMON_SHMInit();
    ASSERT_NE(seg, nullptr);
    RsmItem items[4];
    items[0] = item("common", "wanif", RSM_ITEM_STRING);
    std::strcpy(items[0].value.str, "eth1");
    items[1] = item("new", "count", RSM_ITEM_INTEGER);
    items[1].value.num = 12;
    items[2] = item("common", "ratio", RSM_ITEM_FLOAT);
    items[2].value.dbl = 0.25;
    items[3] = item(nullptr, nullptr, 0);
    ASSERT_EQ(SHMCOMMON_Sync(items, seg), 0);
    SHMCOMMON_Setval(1, seg, "other_key", "stays");
    ASSERT_NE(SHMCOMMON_Lookup(1, seg, "common_wanif"), nullptr);

    ASSERT_EQ(RSM_SET_MULTI_ITEMS(items, conf.c_str()), 0);
    char text[16];
    ASSERT_EQ(RSM_GET_STRING("common", "wanif", text, conf.c_str()), 0);
    EXPECT_STREQ(text, "eth1");
    int n = 0;
    ASSERT_EQ(RSM_GET_INTEGER("new", "count", &n, conf.c_str()), 0);
    EXPECT_EQ(n, 12);
    EXPECT_EQ(SHMCOMMON_Lookup(1, seg, "common_wanif"), nullptr);
    EXPECT_EQ(SHMCOMMON_Lookup(1, seg, "new_count"), nullptr);
    EXPECT_EQ(SHMCOMMON_Lookup(1, seg, "common_ratio"), nullptr);
    EXPECT_NE(SHMCOMMON_Lookup(1, seg, "other_key"), nullptr);
    SHMCOMMON_Detach(seg);
}

TEST_F(Accessors, MultiItemSetWithAFailingItemLeavesTheFile) {
    RsmItem items[4];
    items[0] = item("common", "wanif", RSM_ITEM_STRING);
    std::strcpy(items[0].value.str, "eth1");
    items[1] = item("common", "bad", RSM_ITEM_STRING);
    std::memset(items[1].value.str, 'z', sizeof items[1].value.str);  // no end in the area
    items[2] = item(nullptr, nullptr, 0);
    EXPECT_EQ(RSM_SET_MULTI_ITEMS(items, conf.c_str()), -1);
    EXPECT_EQ(slurp(conf), kSample);
    items[1] = item("common", nullptr, RSM_ITEM_INTEGER);
    EXPECT_EQ(RSM_SET_MULTI_ITEMS(items, conf.c_str()), -1);
    EXPECT_EQ(slurp(conf), kSample);
    EXPECT_FALSE(exists("/tmp/sample.conf.lock"));
}

TEST(Items, SpecifySectionSetsAllButTheTerminator) {
    RsmItem items[3] = {};
    items[2].section = "untouched";
    EXPECT_EQ(specify_items_section("common", 3, items), 0);
    EXPECT_STREQ(items[0].section, "common");
    EXPECT_STREQ(items[1].section, "common");
    EXPECT_STREQ(items[2].section, "untouched");
    EXPECT_EQ(specify_items_section("x", 0, items), -1);
    EXPECT_EQ(specify_items_section("x", 1, items), 0);
    EXPECT_STREQ(items[0].section, "common");
    list_items(items);
}

TEST(Lock, LockFileIsOneExclusiveAttempt) {
    std::remove("/tmp/thing.conf.lock");
    EXPECT_EQ(LockFile("/some/dir/thing.conf"), 0);
    EXPECT_TRUE(exists("/tmp/thing.conf.lock"));
    EXPECT_EQ(LockFile("/other/thing.conf"), -1) << "the last component names the lock";
    EXPECT_EQ(UnLockFile("/some/dir/thing.conf"), 0);
    EXPECT_FALSE(exists("/tmp/thing.conf.lock"));
    EXPECT_EQ(UnLockFile("/some/dir/thing.conf"), -1);
    // the lock path is cut at 63 characters
    std::string name(80, 'n');
    ASSERT_EQ(LockFile(("/x/" + name).c_str()), 0);
    std::string cut = ("/tmp/" + name).substr(0, 63);
    EXPECT_TRUE(exists(cut));
    EXPECT_EQ(UnLockFile(("/x/" + name).c_str()), 0);
    EXPECT_FALSE(exists(cut));
}

// A lock file left by a process that died is waited for through five
// attempts (8 s of sleep), then broken; the call then works.
TEST(Lock, StaleLockIsBrokenAfterFiveAttempts) {
    ::mkdir("/tmp/stale", 0755);
    write_file("/tmp/stale/stale.conf", "[s]\nn = 1\n");
    write_file("/tmp/stale.conf.lock", "");
    auto start = std::chrono::steady_clock::now();
    int v = 2;
    ASSERT_EQ(RSM_SET_INTEGER("s", "n", &v, "/tmp/stale/stale.conf"), 0);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 7.9);
    EXPECT_LT(waited, 12.0);
    EXPECT_FALSE(exists("/tmp/stale.conf.lock"));
    EXPECT_EQ(slurp("/tmp/stale/stale.conf"), "[s]\nn = 2\n");
}

// A holder killed inside its read-modify-write leaves its lock behind. The
// writers that waited for it break it once, then take the lock in turn: every
// set lands and none runs without the lock.
TEST(Lock, StaleLockOfAKilledHolderIsBrokenOnce) {
    const char *path = "/tmp/killed/shared.conf";
    write_file(path, "[c]\n");
    const char *lock = "/tmp/shared.conf.lock";
    // The holder's file of the same name is a FIFO: it opens it, holding the
    // lock, and waits there for a writer that never comes.
    ::mkdir("/tmp/killed/fifo", 0755);
    ASSERT_EQ(::mkfifo("/tmp/killed/fifo/shared.conf", 0600), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        int v = 1;
        _exit(RSM_SET_INTEGER("c", "holder", &v, "/tmp/killed/fifo/shared.conf") == 0 ? 0 : 1);
    }
    ASSERT_TRUE(rt_test::wait_for([&] { return exists(lock); }, std::chrono::seconds(5),
                                  std::chrono::milliseconds(10)));

    constexpr int kWriters = 6;
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    pid_t kids[kWriters];
    for (int k = 0; k < kWriters; ++k) {
        kids[k] = fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            ::close(go[1]);
            char c;
            if (::read(go[0], &c, 1) != 0) _exit(3);  // all start when the pipe closes
            std::string key = "w" + std::to_string(k);
            _exit(RSM_SET_INTEGER("c", key.c_str(), &k, path) == 0 ? 0 : 1);
        }
    }
    ::close(go[0]);
    ::close(go[1]);
    auto start = std::chrono::steady_clock::now();
    ::usleep(300 * 1000);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    for (pid_t kid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(kid, &status, 0), kid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(waited, 10.0);
    for (int k = 0; k < kWriters; ++k) {
        int n = -1;
        EXPECT_EQ(RSM_GET_INTEGER("c", ("w" + std::to_string(k)).c_str(), &n, path), 0)
            << slurp(path);
        EXPECT_EQ(n, k);
    }
    EXPECT_FALSE(exists(lock));
}

// A lock that keeps changing hands belongs to live processes. It is neither
// broken nor waited for beyond the bound: the set fails after about 8 s and
// leaves the file alone.
TEST(Lock, LiveLockBoundsTheWait) {
    write_file("/tmp/live/live.conf", "[s]\nn = 1\n");
    const char *lock = "/tmp/live.conf.lock";
    write_file(lock, "");
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // a busy peer: a new lock every second for 12 seconds, then done
        for (int i = 0; i < 12; ++i) {
            ::usleep(1000 * 1000);
            write_file("/tmp/live.conf.lock.new", "");
            std::rename("/tmp/live.conf.lock.new", lock);
        }
        std::remove(lock);
        _exit(0);
    }
    ::usleep(100 * 1000);
    auto start = std::chrono::steady_clock::now();
    int v = 2;
    EXPECT_EQ(RSM_SET_INTEGER("s", "n", &v, "/tmp/live/live.conf"), -1);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(exists(lock)) << "the live lock was broken";
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_GE(waited, 7.9);
    EXPECT_LT(waited, 10.0);
    EXPECT_EQ(slurp("/tmp/live/live.conf"), "[s]\nn = 1\n");
}

// Two processes, each 200 read-modify-writes of its own key of one file.
TEST(Concurrency, TwoWritersLoseNoUpdate) {
    ::mkdir("/tmp/rmw", 0755);
    const char *path = "/tmp/rmw/shared.conf";
    write_file(path, "[c]\na = 0\nb = 0\n");
    pid_t kids[2];
    const char *keys[2] = {"a", "b"};
    for (int k = 0; k < 2; ++k) {
        kids[k] = fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            for (int i = 0; i < 200; ++i) {
                int n = -1;
                if (RSM_GET_INTEGER("c", keys[k], &n, path) != 0) _exit(10);
                ++n;
                if (RSM_SET_INTEGER("c", keys[k], &n, path) != 0) _exit(11);
            }
            _exit(0);
        }
    }
    for (pid_t kid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(kid, &status, 0), kid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    int a = -1, b = -1;
    ASSERT_EQ(RSM_GET_INTEGER("c", "a", &a, path), 0);
    ASSERT_EQ(RSM_GET_INTEGER("c", "b", &b, path), 0);
    EXPECT_EQ(a, 200);
    EXPECT_EQ(b, 200);
    EXPECT_FALSE(exists("/tmp/shared.conf.lock"));
}

// RT_SMALL_FS names a small filesystem of the root that the process test has
// mounted; the rewrite there fails for lack of room.
TEST(FullDisk, FailedRewriteLeavesTheOldFile) {
    const char *small = std::getenv("RT_SMALL_FS");
    if (small == nullptr) GTEST_SKIP() << "needs the small filesystem of the process test";
    std::string path = std::string(small) + "/system.conf";
    std::string text = "[common]\nwanif = \"usb0\"\n";
    write_file(path, text);
    // fill what is left
    std::string filler = std::string(small) + "/filler";
    FILE *f = std::fopen(filler.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::string block(4096, 'f');
    for (int i = 0; i < 1024 && std::fwrite(block.data(), 1, block.size(), f) == block.size(); ++i)
        if (std::fflush(f) != 0) break;
    std::fclose(f);
    std::string big(200, 'v');
    for (int i = 0; i < 20; ++i) {
        std::string name = "k" + std::to_string(i);
        EXPECT_EQ(RSM_SET_STRING("common", name.c_str(), big.c_str(), path.c_str()), -1);
    }
    EXPECT_EQ(slurp(path), text);
    char out[64];
    ASSERT_EQ(RSM_GET_STRING("common", "wanif", out, path.c_str()), 0);
    EXPECT_STREQ(out, "usb0");
    // room again: the same set works
    std::remove(filler.c_str());
    EXPECT_EQ(RSM_SET_STRING("common", "k0", big.c_str(), path.c_str()), 0);
}

}  // namespace
