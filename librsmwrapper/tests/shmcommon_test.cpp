#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rsmwrapper.h"

namespace {

// How many of the next attaches fail as the kernel's do when the address
// space runs out.
int attach_failures = 0;

}  // namespace

// The library's attaches come here first.
extern "C" void *shmat(int id, const void *addr, int flags) noexcept {
    using Attach = void *(*)(int, const void *, int);
    static auto real = reinterpret_cast<Attach>(dlsym(RTLD_NEXT, "shmat"));
    if (attach_failures > 0) {
        --attach_failures;
        errno = ENOMEM;
        return reinterpret_cast<void *>(-1);
    }
    return real(id, addr, flags);
}

namespace {

class Segment : public ::testing::Test {
  protected:
    void SetUp() override {
        FILE *f = std::fopen(SHMCOMMON_KEY_FILE, "a");
        ASSERT_NE(f, nullptr) << "the root must have /share";
        std::fclose(f);
        seg = SHMCOMMON_SHMInit();
        ASSERT_NE(seg, nullptr);
    }
    void TearDown() override { SHMCOMMON_Detach(seg); }

    int used(int area) const {
        int n = 0;
        for (const ShmEntry &e : seg->area[area]) n += e.key[0] != '\0';
        return n;
    }
    int slot_of(int area, const ShmEntry *e) const {
        return static_cast<int>(e - &seg->area[area][0]);
    }

    ShmCommonSegment *seg = nullptr;
};

std::string key(int i) {
    return "common_k" + std::to_string(i);
}

TEST_F(Segment, LayoutKeyAndPermissions) {
    key_t k = ftok(SHMCOMMON_KEY_FILE, 0);
    int id = shmget(k, 0, 0);
    ASSERT_GE(id, 0);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 128000u);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0600u);
    // area 1 begins 64000 bytes in, a slot is 320 bytes, the value 64 bytes in
    ShmEntry *e = SHMCOMMON_Setval(1, seg, "x", "y");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(reinterpret_cast<char *>(e) - reinterpret_cast<char *>(seg), 64000);
    EXPECT_STREQ(reinterpret_cast<char *>(seg) + 64000 + 64, "y");
}

TEST_F(Segment, SameKeyTwiceKeepsOneSlotAndTheNewerValue) {
    ShmEntry *a = SHMCOMMON_Setval(0, seg, "common_wanif", "usb0");
    ShmEntry *b = SHMCOMMON_Setval(0, seg, "common_wanif", "eth1");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a->value, "eth1");
    EXPECT_EQ(used(0), 1);
    // keys compare exactly: a prefix is another key
    ShmEntry *c = SHMCOMMON_Setval(0, seg, "common_wan", "x");
    EXPECT_NE(c, a);
    EXPECT_EQ(used(0), 2);
}

TEST_F(Segment, FullAreaRefusesANewKeyButNotAnOldOne) {
    for (int i = 0; i < SHMCOMMON_SLOTS; ++i)
        ASSERT_NE(SHMCOMMON_Setval(0, seg, key(i).c_str(), "v"), nullptr) << i;
    EXPECT_EQ(SHMCOMMON_Setval(0, seg, "common_extra", "v"), nullptr);
    EXPECT_EQ(SHMCOMMON_Lookup(0, seg, "common_extra"), nullptr);
    ShmEntry *old = SHMCOMMON_Setval(0, seg, key(150).c_str(), "new");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(slot_of(0, old), 150);
    // area 1 is independent
    EXPECT_EQ(used(1), 0);
    EXPECT_NE(SHMCOMMON_Setval(1, seg, "common_extra", "v"), nullptr);
    EXPECT_EQ(SHMCOMMON_Lookup(0, seg, "common_extra"), nullptr);
}

TEST_F(Segment, ClearFreesTheSlotAndTheNextNewKeyTakesTheLowest) {
    RsmItem items[4] = {};
    const char *names[] = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) {
        items[i].section = "common";
        items[i].name = names[i];
        items[i].type = RSM_ITEM_INTEGER;
        items[i].value.num = i;
    }
    ASSERT_EQ(SHMCOMMON_Sync(items, seg), 0);
    ShmEntry *b = SHMCOMMON_Lookup(1, seg, "common_b");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->value, "1");
    EXPECT_EQ(slot_of(1, b), 1);

    RsmItem only_b[2] = {};
    only_b[0] = items[1];
    only_b[0].value.num = 99;  // the mirror goes whatever value the item holds now
    ASSERT_EQ(SHMCOMMON_Clear(only_b, seg), 0);
    EXPECT_EQ(SHMCOMMON_Lookup(1, seg, "common_b"), nullptr);
    EXPECT_EQ(used(1), 2);
    static const char zero[sizeof(ShmEntry)] = {};
    EXPECT_EQ(std::memcmp(&seg->area[1][1], zero, sizeof zero), 0);

    ShmEntry *d = SHMCOMMON_Setval(1, seg, "common_d", "4");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(slot_of(1, d), 1);
    // area 0 was never touched by the mirror
    EXPECT_EQ(used(0), 0);
}

TEST_F(Segment, SyncTurnsEveryTypeIntoText) {
    RsmItem items[5] = {};
    items[0] = {"s", "str", RSM_ITEM_STRING, {}};
    std::strcpy(items[0].value.str, "hello");
    items[1] = {"s", "int", RSM_ITEM_INTEGER, {}};
    items[1].value.num = -42;
    items[2] = {"s", "flag", RSM_ITEM_BOOL, {}};
    items[2].value.num = 5;
    items[3] = {"s", "real", RSM_ITEM_FLOAT, {}};
    items[3].value.dbl = 1.5;
    // items[4] ends the array (NULL section); an empty section ends it too
    ASSERT_EQ(SHMCOMMON_Sync(items, nullptr), 0);
    EXPECT_STREQ(SHMCOMMON_Lookup(1, seg, "s_str")->value, "hello");
    EXPECT_STREQ(SHMCOMMON_Lookup(1, seg, "s_int")->value, "-42");
    EXPECT_STREQ(SHMCOMMON_Lookup(1, seg, "s_flag")->value, "1");
    EXPECT_STREQ(SHMCOMMON_Lookup(1, seg, "s_real")->value, "1.5");

    RsmItem stop_early[3] = {};
    stop_early[0] = {"", "x", RSM_ITEM_INTEGER, {}};
    stop_early[1] = {"s", "never", RSM_ITEM_INTEGER, {}};
    EXPECT_EQ(SHMCOMMON_Sync(stop_early, seg), 0);
    EXPECT_EQ(SHMCOMMON_Lookup(1, seg, "s_never"), nullptr);
    EXPECT_EQ(SHMCOMMON_Sync(nullptr, seg), -1);
    EXPECT_EQ(SHMCOMMON_Clear(nullptr, seg), -1);
}

TEST_F(Segment, AreaOtherThanZeroOrOneIsRefused) {
    ShmCommonSegment before;
    std::memcpy(&before, seg, sizeof before);
    EXPECT_EQ(SHMCOMMON_Setval(2, seg, "common_x", "v"), nullptr);
    EXPECT_EQ(SHMCOMMON_Setval(-1, seg, "common_x", "v"), nullptr);
    EXPECT_EQ(std::memcmp(&before, seg, sizeof before), 0);
}

TEST_F(Segment, OversizedKeyOrValueIsRefusedNotCut) {
    std::string k63(63, 'k'), k64(64, 'k');
    std::string v255(255, 'v'), v256(256, 'v');
    ASSERT_NE(SHMCOMMON_Setval(0, seg, k63.c_str(), "short"), nullptr);
    // the 64-character key must not land on its 63-character prefix
    EXPECT_EQ(SHMCOMMON_Setval(0, seg, k64.c_str(), "long"), nullptr);
    EXPECT_STREQ(SHMCOMMON_Lookup(0, seg, k63.c_str())->value, "short");
    EXPECT_EQ(used(0), 1);
    ShmEntry *e = SHMCOMMON_Setval(0, seg, "v", v255.c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->value), v255);
    EXPECT_EQ(SHMCOMMON_Setval(0, seg, "v", v256.c_str()), nullptr);
    EXPECT_EQ(std::string(e->value), v255);
    EXPECT_EQ(SHMCOMMON_Setval(0, seg, "", "x"), nullptr);
    EXPECT_EQ(SHMCOMMON_Setval(0, seg, nullptr, "x"), nullptr);
}

TEST_F(Segment, InitErasesBothAreasSeenByEveryAttachment) {
    SHMCOMMON_Setval(0, seg, "a", "1");
    SHMCOMMON_Setval(1, seg, "b", "2");
    ShmCommonSegment *other = SHMCOMMON_Fetch();
    ASSERT_NE(other, nullptr);
    EXPECT_STREQ(SHMCOMMON_Lookup(0, other, "a")->value, "1");
    ShmCommonSegment *again = SHMCOMMON_SHMInit();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(used(0), 0);
    EXPECT_EQ(used(1), 0);
    EXPECT_EQ(SHMCOMMON_Lookup(0, other, "a"), nullptr);
    SHMCOMMON_Detach(other);
    SHMCOMMON_Detach(again);
    SHMCOMMON_Detach(nullptr);
}

TEST_F(Segment, SetvalWithoutAddressUsesTheSameSegment) {
    ShmEntry *e = SHMCOMMON_Setval(0, nullptr, "common_x", "7");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(SHMCOMMON_Lookup(0, seg, "common_x")->value, "7");
}

// Setting a value without an address many times holds one attachment, not
// one per call.
TEST_F(Segment, SetvalWithoutAddressAttachesOnce) {
    int id = shmget(ftok(SHMCOMMON_KEY_FILE, 0), 0, 0);
    ASSERT_GE(id, 0);
    auto attachments = [id] {
        struct shmid_ds ds = {};
        shmctl(id, IPC_STAT, &ds);
        return ds.shm_nattch;
    };
    ASSERT_NE(SHMCOMMON_Setval(0, nullptr, "common_n", "start"), nullptr);
    const auto before = attachments();
    for (int i = 0; i < 100; ++i)
        ASSERT_NE(SHMCOMMON_Setval(0, nullptr, "common_n", std::to_string(i).c_str()), nullptr);
    EXPECT_EQ(attachments(), before);
    EXPECT_STREQ(SHMCOMMON_Lookup(0, seg, "common_n")->value, "99");
}

// An attach that fails once is tried again; the values already there stay.
TEST_F(Segment, FailedAttachKeepsTheValues) {
    ASSERT_NE(SHMCOMMON_Setval(0, seg, "common_wanif", "usb0"), nullptr);
    RsmItem items[2] = {};
    items[0] = {"common", "mtu", RSM_ITEM_INTEGER, {}};
    items[0].value.num = 1500;
    attach_failures = 1;
    EXPECT_EQ(SHMCOMMON_Sync(items, nullptr), 0);
    EXPECT_EQ(attach_failures, 0);
    ASSERT_NE(SHMCOMMON_Lookup(0, seg, "common_wanif"), nullptr);
    EXPECT_STREQ(SHMCOMMON_Lookup(0, seg, "common_wanif")->value, "usb0");
    ASSERT_NE(SHMCOMMON_Lookup(1, seg, "common_mtu"), nullptr);
    EXPECT_STREQ(SHMCOMMON_Lookup(1, seg, "common_mtu")->value, "1500");
}

// Writers in many processes at once, each adding, checking and freeing its
// own key: a key keeps its own value, and no two keys share a slot.
TEST_F(Segment, ConcurrentWritersNeverCrossKeysAndValues) {
    constexpr int kWriters = 12;
    constexpr int kRounds = 100000;
    constexpr auto kFor = std::chrono::seconds(1);
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> kids;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(go[1]);
            char c;
            if (::read(go[0], &c, 1) != 0) _exit(3);  // all start when the pipe closes
            const std::string section = "w" + std::to_string(w), key = section + "_k";
            RsmItem items[2] = {};
            items[0] = {section.c_str(), "k", RSM_ITEM_STRING, {}};
            const auto until = std::chrono::steady_clock::now() + kFor;
            for (int r = 0; r < kRounds && std::chrono::steady_clock::now() < until; ++r) {
                std::snprintf(items[0].value.str, sizeof items[0].value.str, "%s=%d", key.c_str(),
                              r);
                SHMCOMMON_Sync(items, seg);
                ShmEntry *e = SHMCOMMON_Lookup(1, seg, key.c_str());
                if (e == nullptr || std::strcmp(e->value, items[0].value.str) != 0) _exit(1);
                SHMCOMMON_Clear(items, seg);
                if (SHMCOMMON_Lookup(1, seg, key.c_str()) != nullptr) _exit(2);
            }
            _exit(SHMCOMMON_Setval(0, seg, key.c_str(), key.c_str()) != nullptr ? 0 : 4);
        }
        kids.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]);
    for (pid_t kid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(kid, &status, 0), kid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(used(1), 0);
    EXPECT_EQ(used(0), kWriters);
    for (const ShmEntry &e : seg->area[0]) {
        if (e.key[0] != '\0') {
            EXPECT_STREQ(e.key, e.value);
        }
    }
}

// No key file: no segment, the console messages (checked by the process test)
// and NULL results; Sync and Clear still answer 0.
TEST(SegmentMissing, NoKeyFileGivesNull) {
    std::remove(SHMCOMMON_KEY_FILE);
    EXPECT_EQ(SHMCOMMON_Fetch(), nullptr);
    EXPECT_EQ(SHMCOMMON_SHMInit(), nullptr);
    EXPECT_EQ(SHMCOMMON_Setval(0, nullptr, "common_x", "v"), nullptr);
    RsmItem items[2] = {};
    items[0] = {"common", "x", RSM_ITEM_INTEGER, {}};
    EXPECT_EQ(SHMCOMMON_Sync(items, nullptr), 0);
    EXPECT_EQ(SHMCOMMON_Clear(items, nullptr), 0);
}

}  // namespace
