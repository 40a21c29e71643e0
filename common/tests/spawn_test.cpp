#include "rtu/spawn.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

#include "rtu/shell.h"

namespace {

TEST(SpawnShell, StatusLikeSystem) {
    int st = rtu::spawn_shell_status("exit 3");
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 3);
    EXPECT_EQ(rtu::spawn_shell_status("true"), 0);
    EXPECT_EQ(rtu::spawn_shell_status("exit 3"), rtu::run_shell_status("exit 3"));
    st = rtu::spawn_shell_status("kill -TERM $$");
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGTERM);
}

std::atomic<int> g_seen{0};
extern "C" void count_signal(int) {
    g_seen.fetch_add(1);
}

TEST(SpawnShell, CallerKeepsItsSigintHandlerWhileTheCommandRuns) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, &old);
    struct sigaction si {
    }, old_int{};
    si.sa_handler = count_signal;
    sigemptyset(&si.sa_mask);
    sigaction(SIGINT, &si, &old_int);
    // The command signals its parent: with system() the SIGINT would be ignored.
    int st = rtu::spawn_shell_status("kill -INT $PPID; sleep 0.2");
    EXPECT_EQ(st, 0);
    EXPECT_EQ(g_seen.load(), 1);
    // The same holds for the helpers every program runs its commands with.
    EXPECT_EQ(rtu::run_shell("kill -INT $PPID; sleep 0.2"), 0);
    EXPECT_EQ(g_seen.load(), 2);
    EXPECT_EQ(rtu::run_shell_status("kill -INT $PPID; sleep 0.2"), 0);
    EXPECT_EQ(g_seen.load(), 3);
    // The child does not inherit an ignored SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    st = rtu::spawn_shell_status("kill -PIPE $$; exit 0");
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGPIPE);
    signal(SIGPIPE, SIG_DFL);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
