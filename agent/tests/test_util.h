// Helpers of the agent's unit tests: a private log file per test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "log.h"

inline std::string unit_temp(const std::string &name) {
    return std::string(::testing::TempDir()) + "/telvsdk_" + std::to_string(getpid()) + "_" + name;
}

inline std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Sends the agent's log to a file of the test and removes it afterwards.
class LogCapture {
public:
    explicit LogCapture(const std::string &name) : path_(unit_temp(name + ".log")) {
        std::remove(path_.c_str());
        agent_log_set_path(path_);
    }
    ~LogCapture() {
        agent_log_set_path("");
        std::remove(path_.c_str());
    }
    std::string text() const { return slurp(path_); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};
