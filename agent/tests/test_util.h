// Helpers of the agent's unit tests: a private log file per test, sample
// settings.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "command.h"
#include "log.h"
#include "rt_test/files.h"
#include "rtu/spawn.h"
#include "state.h"
#include "vpn_cmdline.h"

inline std::string unit_temp(const std::string &name) {
    return std::string(::testing::TempDir()) + "/telvsdk_" + std::to_string(getpid()) + "_" + name;
}

using rt_test::slurp;

// A complete server entry with the files of the agent's configuration.
inline vpn::LaunchInput sample_launch_input() {
    vpn::LaunchInput in;
    in.host = "vpn.example.net";
    in.port = "1194";
    in.proto = "tcp-client";
    in.args = " ";
    in.mgmt_port = 7505;
    in.ssl_cert = "/etc/telvsdk/client.crt";
    in.ssl_key = "/etc/telvsdk/client.key";
    in.ca_file = "/etc/telvsdk/ca.crt";
    in.has_tls_auth = true;
    in.tls_auth = "/etc/telvsdk/ta.key";
    return in;
}

// The enrollment settings of a router that has not enrolled yet.
inline void sample_scep_config(AgentConfig &c) {
    c.scep_server_url = "http://127.0.0.1:8080/scep";
    c.scep_ca = "/etc/telvsdk/scep-ca.pem";
    c.ssl_key = "/etc/telvsdk/client.key";
    c.ssl_cert = "/etc/telvsdk/client.pem";
    c.scep_req = "/etc/telvsdk/client.csr";
    c.scep_cnf = "/etc/telvsdk/scep.cnf";
}

// Unit tests never write the router's log: what no test captures goes to
// a file of the test program.
inline const std::string kUnitLog = unit_temp("unit.log");
inline const bool kUnitLogSet = (agent_log_set_path(kUnitLog), true);

// Sends the agent's log to a file of the test and removes it afterwards.
class LogCapture {
  public:
    explicit LogCapture(const std::string &name) : path_(unit_temp(name + ".log")) {
        std::remove(path_.c_str());
        agent_log_set_path(path_);
    }
    ~LogCapture() {
        agent_log_set_path(kUnitLog);
        std::remove(path_.c_str());
    }
    std::string text() const { return slurp(path_); }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// Runs the agent's commands through the shell with one file name of theirs
// (a log under /var/log) replaced by a file of the test, so the commands
// work as on the router without touching the host's files.
class RedirectingRunner : public CommandRunner {
  public:
    RedirectingRunner(std::string from, std::string to)
        : from_(std::move(from)), to_(std::move(to)) {
        set_command_runner(this);
    }
    ~RedirectingRunner() override {
        set_command_runner(nullptr);
        std::remove(to_.c_str());
    }
    int run(const std::string &cmd) override { return rtu::spawn_shell_status(redirect(cmd)); }
    std::optional<std::string> output(const std::string &cmd, std::size_t max_len) override {
        return rtu::spawn_shell_output(redirect(cmd), max_len);
    }

  private:
    std::string redirect(std::string cmd) const {
        for (std::size_t at = cmd.find(from_); at != std::string::npos; at = cmd.find(from_, at))
            cmd.replace(at, from_.size(), to_), at += to_.size();
        return cmd;
    }
    std::string from_, to_;
};
