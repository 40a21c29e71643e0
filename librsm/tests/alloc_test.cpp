// Memory exhaustion: every allocation the library makes is failed in turn;
// each call must report it, leave the store usable and free what it took.
//
// This program replaces malloc and friends with counting versions that
// forward to the C library and fail the n-th allocation while armed.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "rsm_test_util.h"

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t n, std::size_t size);
void *__libc_realloc(void *ptr, std::size_t size);
void __libc_free(void *ptr);
}

namespace {

bool armed = false;
long fail_at = -1;  // allocation number (from 0) that fails while armed
long seen = 0;      // allocations while armed
long live = 0;      // allocations minus frees while armed

bool fail_now() {
    if (!armed) return false;
    return seen++ == fail_at;
}

// Runs fn with the fail_at-th allocation failing; tells whether it was reached
// and how many blocks it left allocated.
template <typename Fn>
bool with_failure_at(long n, long *leaked, Fn fn) {
    fail_at = n;
    seen = 0;
    live = 0;
    armed = true;
    fn();
    armed = false;
    *leaked = live;
    return seen > n;
}

}  // namespace

extern "C" {

void *malloc(std::size_t size) {
    if (fail_now()) return nullptr;
    void *p = __libc_malloc(size);
    if (armed && p != nullptr) ++live;
    return p;
}

void *calloc(std::size_t n, std::size_t size) {
    if (fail_now()) return nullptr;
    void *p = __libc_calloc(n, size);
    if (armed && p != nullptr) ++live;
    return p;
}

void *realloc(void *ptr, std::size_t size) {
    if (fail_now()) return nullptr;
    void *p = __libc_realloc(ptr, size);
    if (armed && ptr == nullptr && p != nullptr) ++live;
    return p;
}

void free(void *ptr) {
    if (armed && ptr != nullptr) --live;
    __libc_free(ptr);
}

}  // extern "C"

namespace {

const char kText[] =
    "top = 1\n"
    "name = \"a longer string value to copy\"\n"
    "[net]\n"
    "ppp user = \"x y\"\n"
    "dns[1] = 010\n"
    "f = 1.5\n"
    "b = TRUE\n"
    "[other]\n"
    "k = -3\n";

constexpr long kMaxSteps = 5000;

}  // namespace

TEST(RsmOutOfMemory, ReadFailsCleanlyAtEveryAllocation) {
    // Once outside the count: the scanner's one-time set-up.
    ASSERT_FALSE(rsmtest::text_of(rsmtest::parse(kText).get()).empty());
    long n = 0;
    for (; n < kMaxSteps; ++n) {
        rsmtest::File f = rsmtest::memory_file(kText);
        ASSERT_TRUE(f);
        int rc = 1000;
        bool allocated = false;
        long leaked = 0;
        bool reached = with_failure_at(n, &leaked, [&] {
            rsm_t *s = rsm_alloc();
            allocated = s != nullptr;
            if (s != nullptr) rc = rsm_init_from_file(s, f.get(), 0);
            rsm_free(s);
        });
        // Whatever failed, everything taken was given back.
        EXPECT_EQ(leaked, 0) << "allocation " << n;
        if (!reached) {
            EXPECT_EQ(rc, 0);
            break;
        }
        if (allocated) {
            EXPECT_EQ(rc, RSM_ERR_MALLOC) << "allocation " << n;
        }
        // The next read is not disturbed by the failed one.
        rsmtest::File g = rsmtest::memory_file("[s]\nk = 1\n");
        rsmtest::Store t(rsm_alloc());
        ASSERT_EQ(rsm_init_from_file(t.get(), g.get(), 0), 0) << "after allocation " << n;
        EXPECT_EQ(rsmtest::text_of(t.get()), "[s]\nk = 1\n");
    }
    EXPECT_GT(n, 10);  // the read allocates: the loop did fail something
    EXPECT_LT(n, kMaxSteps);
}

TEST(RsmOutOfMemory, FailedInsertsAndSetsChangeNothing) {
    for (long n = 0; n < kMaxSteps; ++n) {
        rsmtest::Store s = rsmtest::parse(kText);
        const std::string before = rsmtest::text_of(s.get());
        int v = 77;
        int rc_sec = 1000, rc_ins = 1000, rc_set = 1000;
        long leaked = 0;
        bool reached = with_failure_at(n, &leaked, [&] {
            rc_sec = rsm_section_insert(s.get(), "new section");
            rc_ins = rsm_value_insert(s.get(), "net", "new value", RSM_TYPE_STRING, "text");
            rc_set = rsm_value_set_by_name(s.get(), "net", "ppp user", RSM_TYPE_STRING, "changed");
        });
        if (!reached) {
            EXPECT_EQ(rc_sec, 0);
            EXPECT_EQ(rc_ins, 0);
            EXPECT_EQ(rc_set, 0);
            break;
        }
        // Exactly one of the three calls met the failure.
        EXPECT_TRUE(rc_sec == RSM_ERR_MALLOC || rc_ins == RSM_ERR_MALLOC ||
                    rc_set == RSM_ERR_MALLOC);
        EXPECT_EQ(rsm_section_get_values_count(s.get(), "new section"),
                  rc_sec == 0 ? 0 : RSM_ERR_SECTION_NOT_EXISTS);
        EXPECT_EQ(rsm_value_get_by_name(s.get(), "net", "new value", nullptr) != nullptr,
                  rc_ins == 0);
        auto *user =
            static_cast<const char *>(rsm_value_get_by_name(s.get(), "net", "ppp user", nullptr));
        ASSERT_NE(user, nullptr);
        EXPECT_STREQ(user, rc_set == 0 ? "changed" : "x y");
        // The store still takes new values.
        EXPECT_EQ(rsm_value_insert(s.get(), "other", "after", RSM_TYPE_INTEGER, &v), 0);
    }
}

TEST(RsmOutOfMemory, AllocatorsReturnNullAndLeaveNothing) {
    for (long n = 0; n < 20; ++n) {
        long leaked = 0;
        rsm_t *s = nullptr;
        rsm_section_t *sec = nullptr;
        rsm_value_t *val = nullptr;
        int i = 3;
        rsm_value_t in{const_cast<char *>("name"), RSM_TYPE_INTEGER, &i};
        bool reached = with_failure_at(n, &leaked, [&] {
            s = rsm_alloc();
            sec = section_alloc("sec");
            val = value_alloc(&in);
            rsm_free(s);
            section_free(sec);
            value_free(val);
        });
        EXPECT_EQ(leaked, 0) << "allocation " << n;
        if (!reached) break;
        EXPECT_TRUE(s == nullptr || sec == nullptr || val == nullptr);
    }
}
