// The openvpn child: status like system(), and an end that always comes.
#include "vpn_child.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "rt_test/poll.h"

namespace {

using namespace std::chrono_literals;

bool process_exists(pid_t pid) {
    return kill(pid, 0) == 0;
}

// True while a process of group pgid still runs. A member that has ended but
// waits for its new parent to reap it (state Z) does not count: on a loaded
// machine, or under a slow init, that can take a while.
bool group_has_live_member(pid_t pgid) {
    DIR *d = opendir("/proc");
    if (!d) return kill(-pgid, 0) == 0;
    bool live = false;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::ifstream f(std::string("/proc/") + e->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::size_t paren = text.rfind(')');
        if (paren == std::string::npos) continue;
        std::istringstream rest(text.substr(paren + 1));
        char state = 0;
        long ppid = 0, pgrp = 0;
        rest >> state >> ppid >> pgrp;
        if (pgrp == pgid && state != 'Z') live = true;
    }
    closedir(d);
    return live;
}

TEST(VpnChild, StatusIsThatOfSystem) {
    vpn::ChildProcess c;
    ASSERT_TRUE(c.start("exit 3"));
    int st = c.wait();
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 3);
    EXPECT_FALSE(c.running());
    c.reset();
    ASSERT_TRUE(c.start("true"));
    EXPECT_EQ(c.wait(), 0);
}

TEST(VpnChild, ChildStartsWithDefaultSignalsAndMask) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    struct sigaction ign {
    }, prev{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &prev);

    vpn::ChildProcess c;
    // SigBlk and SigIgn of the shell itself must not carry SIGTERM (bit 15) or SIGPIPE (bit 13).
    ASSERT_TRUE(
        c.start("for v in $(grep -E '^Sig(Blk|Ign)' /proc/$$/status | cut -f2); do "
                "[ $(( 0x$v & 0x5000 )) -eq 0 ] || exit 1; done"));
    int st = c.wait();
    sigaction(SIGPIPE, &prev, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(VpnChild, TerminateEndsTheWholeProcessGroup) {
    vpn::ChildProcess c;
    // The shell starts a grandchild and waits for it, as with a wrapper script.
    ASSERT_TRUE(c.start("sleep 30 & echo $! > /dev/null; wait"));
    pid_t pid = c.pid();
    ASSERT_GT(pid, 0);
    std::thread waiter([&] { c.wait(); });
    std::this_thread::sleep_for(100ms);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.terminate(2s, 2s));
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);  // within the two bounds
    // no member of the group is left running (the grandchild may take a
    // moment to end after its signal)
    EXPECT_TRUE(rt_test::wait_for([&] { return !group_has_live_member(pid); }, 2s, 50ms));
}

TEST(VpnChild, ChildIgnoringTermIsKilledWithinTheBound) {
    vpn::ChildProcess c;
    ASSERT_TRUE(c.start("trap '' TERM; while :; do sleep 0.1; done"));
    pid_t pid = c.pid();
    std::thread waiter([&] { c.wait(); });
    std::this_thread::sleep_for(200ms);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.terminate(300ms, 2s));
    auto took = std::chrono::steady_clock::now() - t0;
    waiter.join();
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 2s);
    EXPECT_FALSE(process_exists(pid));
}

TEST(VpnChild, CancelBeforeStartPreventsTheStart) {
    vpn::ChildProcess c;
    EXPECT_TRUE(c.terminate(10ms, 10ms));
    EXPECT_FALSE(c.start("true"));
    EXPECT_EQ(c.wait(), -1);
    c.reset();
    EXPECT_TRUE(c.start("true"));
    EXPECT_EQ(c.wait(), 0);
}

TEST(VpnChild, WaitGoneIsBounded) {
    vpn::ChildProcess c;
    EXPECT_TRUE(c.wait_gone(10ms));  // nothing started
    ASSERT_TRUE(c.start("sleep 30"));
    std::thread waiter([&] { c.wait(); });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.wait_gone(200ms));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_TRUE(c.terminate(2s, 2s));
    waiter.join();
}

}  // namespace
