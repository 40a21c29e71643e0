// The agent's log file and the heartbeat status files.
#pragma once

#include <ctime>
#include <string>

enum LogLevel : int {
    LOG_INFO = 1,
    LOG_DEBUG = 2,
    LOG_ERROR = 10,
    LOG_HBS = 20,
    LOG_HBS_ERROR = 21,
    LOG_PUSH = 30,
    LOG_PUSH_ERROR = 31,
    LOG_VPN = 40,
    LOG_VPN_ERROR = 41,
    LOG_MGMT = 50,
    LOG_MGMT_ERROR = 51,
};

inline constexpr const char *kAgentLogPath = "/var/log/telvsdk.log";

// The 10-character label of a level ("INFO      " for unknown levels).
const char *log_level_label(int level);

// Writes one line "[time] LABEL message" to the log; the message is not formatted.
void agent_log(int level, const char *message);
void agent_log(int level, const std::string &message);

// printf-style message, cut at 1023 characters. A null format writes nothing.
void agent_logf(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Redirects the log (unit tests); an empty path restores the fixed path.
void agent_log_set_path(const std::string &path);

// Heartbeat reporters (heartbeat thread).
void hbs_report_transfer_error(int code);
void hbs_report_http_error(long code);
void hbs_report_online(int server_delay, int client_delay);
void hbs_report_cert_error();
void hbs_status_reset();
// The agent is stopping: "OFFLINE" for good (no reporter writes afterwards).
void hbs_report_stopped();

// Writes the local time `when` to /tmp/hbs_conn_time (through the shell).
void write_hbs_conn_time(std::time_t when);
