// Reads in two threads of one process at once: each thread reads its own
// file and gets exactly that file's values.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "rsm_test_util.h"

namespace {

std::string sample(const std::string &tag, int values) {
    std::string text = "[" + tag + "]\n";
    for (int i = 0; i < values; ++i) {
        text += tag + std::to_string(i) + " = " + std::to_string(i) + "\n";
        text += "s" + std::to_string(i) + " = \"" + tag + "\"\n";
    }
    return text;
}

}  // namespace

TEST(RsmThreads, TwoThreadsReadDifferentFiles) {
    const std::string texts[2] = {sample("a", 20), sample("bb", 400)};
    std::atomic<int> wrong{0};
    auto reader = [&](int which) {
        for (int i = 0; i < 200; ++i) {
            int rc = 1000;
            rsmtest::Store s = rsmtest::parse(texts[which], &rc);
            if (rc != 0 || rsmtest::text_of(s.get()) != texts[which]) ++wrong;
        }
    };
    std::thread first(reader, 0), second(reader, 1);
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
}
