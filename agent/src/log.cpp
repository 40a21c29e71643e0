#include "log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "rtu/files.h"
#include "rtu/handles.h"
#include "rtu/shell.h"
#include "rtu/status_files.h"
#include "rtu/streams.h"
#include "state.h"
#include "wakeup.h"

namespace {

std::mutex g_path_lock;

// Set before main by tests: made on first use, never before.
std::string &log_path_setting() {
    static std::string path = kAgentLogPath;
    return path;
}

std::string log_path() {
    std::lock_guard<std::mutex> lock(g_path_lock);
    return log_path_setting();
}

using rtu::status::kHbsError;
using rtu::status::kHbsWord;
using rtu::status::kLastHbs;

// The status word of the heartbeat. Once the agent has said OFFLINE on its
// way out, a reporter still running on the heartbeat thread must not say
// anything else.
std::mutex g_word_lock;
bool g_word_final = false;

void write_hbs_word(const char *word) {
    std::lock_guard<std::mutex> lock(g_word_lock);
    if (!g_word_final) rtu::write_status_file(kHbsWord, word);
}

// The keyword write of the error reporters: they pause one second with the
// file written, on the heartbeat thread; the pause ends early on a stop.
void write_keyword_and_pause(const char *keyword) {
    rtu::write_status_file(kHbsError, keyword);
    wait_for_or(1.0, stop_hbs);
}

}  // namespace

const char *log_level_label(int level) {
    switch (level) {
        case LOG_INFO:
            return "INFO      ";
        case LOG_DEBUG:
            return "DEBUG     ";
        case LOG_ERROR:
            return "ERROR     ";
        case LOG_HBS:
            return "HBS       ";
        case LOG_HBS_ERROR:
            return "HBS  ERROR";
        case LOG_PUSH:
            return "PUSH      ";
        case LOG_PUSH_ERROR:
            return "PUSH ERROR";
        case LOG_VPN:
            return "VPN       ";
        case LOG_VPN_ERROR:
            return "VPN  ERROR";
        case LOG_MGMT:
            return "MGMT      ";
        case LOG_MGMT_ERROR:
            return "MGMT ERROR";
        default:
            return "INFO      ";
    }
}

void agent_log_set_path(const std::string &path) {
    std::lock_guard<std::mutex> lock(g_path_lock);
    log_path_setting() = path.empty() ? kAgentLogPath : path;
}

void agent_log(int level, const char *message) {
    if (!message) return;
    rtu::FilePtr f(std::fopen(log_path().c_str(), "ae"));
    if (!f) return;
    if (level == LOG_DEBUG) return;  // debug lines are never written
    std::time_t now = std::time(nullptr);
    std::tm tmv{};
    localtime_r(&now, &tmv);
    char stamp[64];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d.%X", &tmv) == 0) stamp[0] = '\0';
    std::string line =
        rtu::format_bounded(1024, "[%s] %s %s", stamp, log_level_label(level), message);
    line.push_back('\n');
    rtu::put_text(f.get(), line);  // the log itself: nowhere to report a failure
}

void agent_log(int level, const std::string &message) {
    agent_log(level, message.c_str());
}

void agent_logf(int level, const char *format, ...) {
    if (!format) return;
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0) return;
    agent_log(level, buf);
}

void hbs_report_transfer_error(int code) {
    rtu::write_status_file(kHbsError, "");
    write_hbs_word("OFFLINE");
    agent_log(LOG_ERROR, "Unable to send heartbeat or push-command!");
    const char *keyword = "undefined error";
    if (code == CURLE_PEER_FAILED_VERIFICATION) {
        agent_log(LOG_ERROR, "Please check certificate and date/time settings!");
        keyword = "cacerterror";
    } else if (code == CURLE_OUT_OF_MEMORY) {
        agent_log(LOG_ERROR, "Out of memory! Terminating.");
        rtu::write_status_file(kHbsError, "error");
        rtu::flush(nullptr);
        _exit(12);
    }
    write_keyword_and_pause(keyword);
}

void hbs_report_http_error(long code) {
    rtu::write_status_file(kHbsError, "");
    write_hbs_word("OFFLINE");
    agent_log(LOG_ERROR, "Unable to send heartbeat!");
    const char *keyword = "httperror";
    if (code == 403) {
        agent_log(LOG_ERROR, "HTTP error 403 or smartcard is blocked on the HBS server.");
        keyword = "accessdenied";
    } else {
        agent_logf(LOG_ERROR, "HTTP error - responsecode : %d", static_cast<int>(code));
    }
    write_keyword_and_pause(keyword);
}

void hbs_report_online(int server_delay, int client_delay) {
    if (server_delay >= 0 && client_delay >= 0) {
        std::string text =
            rtu::format_bounded(256, "sdel %d\ncdel %d\n", server_delay, client_delay);
        if (rtu::write_status_file(kLastHbs, text)) write_hbs_conn_time(std::time(nullptr));
    }
    rtu::write_status_file(kHbsError, "");
    write_hbs_word("ONLINE");
}

void write_hbs_conn_time(std::time_t when) {
    std::tm t{};
    localtime_r(&when, &t);
    rtu::write_status_file(
        rtu::status::kHbsConnTime,
        rtu::format_bounded(64, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                            t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec));
}

void hbs_report_cert_error() {
    rtu::write_status_file(kHbsError, "certerror");
    write_hbs_word("ERROR");
}

void hbs_report_stopped() {
    std::lock_guard<std::mutex> lock(g_word_lock);
    rtu::write_status_file(kHbsWord, "OFFLINE");
    g_word_final = true;
}

void hbs_status_reset() {
    for (const char *path : {kLastHbs, kHbsError})
        if (!rtu::remove_file(path)) agent_logf(LOG_ERROR, "cannot remove %s", path);
}
