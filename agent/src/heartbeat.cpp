#include "heartbeat.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

#include "dispatch.h"
#include "log.h"
#include "rtu/streams.h"
#include "state.h"
#include "transfer.h"
#include "wakeup.h"

namespace {

char g_curl_error[CURL_ERROR_SIZE + 1];  // 256 bytes, used by the heartbeat thread only

// Makes a fresh heartbeat handle writing into hbs_reply.
void hbs_handle_new(AgentState &st) {
    st.hbs_transfer.reset(curl_easy_init());
    CURL *h = st.hbs_transfer.get();
    if (!h) return;
    transfer_setup(h);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, st.hbs_reply.get());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, g_curl_error);
    // The stop request turns into an aborted transfer (checked several times a second).
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, transfer_abort_check);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &st.hbs_stop_requested);
}

bool reply_is_empty(const ReplyBuffer *r) {
    return r && r->data && (std::strcmp(r->data, "[]") == 0 || std::strcmp(r->data, "[ ]") == 0);
}

}  // namespace

bool hbs_exchange() {
    AgentState &st = agent_state();
    CURL *h = st.hbs_transfer.get();
    ReplyBuffer *reply = st.hbs_reply.get();
    if (!h || !reply) {
        st.hbs_state = HBS_SM_STOPPED;
        return false;
    }
    const std::string server = st.config.hbs_server.value_or("");
    reply_buffer_clear(reply);
    if (st.hbs_reply_pending == 0) st.hbs_request = "[]";
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(st.hbs_request.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, st.hbs_request.c_str());
    std::string url = st.hbs_client_delay.load() < 0 ? server + "?" + "init=1" : server;
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, date_header_clock_adjust);
    agent_logf(LOG_HBS, "> %s", url.c_str());
    agent_logf(LOG_HBS, "> %s", st.hbs_request.c_str());
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(st.hbs_server_delay.load() + 20));
    g_curl_error[0] = '\0';
    CURLcode res = curl_easy_perform(h);
    st.hbs_reply_pending = 0;
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);

    if (res == CURLE_ABORTED_BY_CALLBACK && stop_hbs()) {
        // The connection is being stopped: nothing to report.
        st.hbs_state = HBS_SM_STOPPED;
        return false;
    }
    if (res == CURLE_COULDNT_RESOLVE_HOST) {
        agent_logf(LOG_HBS_ERROR, "Could not resolve host : %s", server.c_str());
        st.hbs_state = HBS_SM_STOPPED;
        return false;
    }
    if (res == CURLE_SSL_CERTPROBLEM) {
        agent_log(LOG_HBS_ERROR, "Certificate verification error!");
        hbs_report_cert_error();
        if (!wait_for_or(300.0, stop_hbs)) return false;
        hbs_handle_new(st);
        return false;
    }
    if (res != CURLE_OK || code != 200) {
        st.hbs_state = HBS_SM_STOPPED;
        if (res != CURLE_OK) {
            agent_logf(LOG_HBS_ERROR, "CURL Error %d meaning : %s", static_cast<int>(res),
                       curl_easy_strerror(res));
            hbs_report_transfer_error(static_cast<int>(res));
        } else {
            hbs_report_http_error(code);
        }
        return false;
    }

    st.hbs_state = HBS_SM_RUNNING;
    hbs_report_online(st.hbs_server_delay.load(), st.hbs_client_delay.load());
    curl_off_t downloaded = 0;
    CURLcode info = curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &downloaded);
    if (downloaded == 0) {
        agent_log(LOG_HBS_ERROR, "Didn't get any data from server. Exiting.");
        agent_logf(LOG_HBS_ERROR, "CURL Error Code : %d.", static_cast<int>(info));
        st.hbs_state = HBS_SM_STOPPED;
        hbs_report_http_error(code);
        wait_for_or(1.0, stop_hbs);
    }
    std::string answer;
    hbs_reply_parse(reply->data, answer);
    st.hbs_reply_pending = 1;
    st.hbs_request = answer.substr(0, 1023);

    bool empty = reply_is_empty(reply);
    if (empty && (st.hbs_client_delay.load() < 0 || st.hbs_server_delay.load() < 0)) {
        agent_log(LOG_HBS_ERROR, "Didn't get timing parameters from server. Exiting.");
        st.hbs_state = HBS_SM_STOPPED;
    }
    return empty;
}

void hbs_wait_until(WaitClock::time_point deadline) {
    while (!stop_hbs()) {
        auto now = WaitClock::now();
        if (now >= deadline) return;
        auto step = std::min(deadline, now + std::chrono::seconds(1));
        wait_until_or(step, stop_hbs);
        rtu::flush(stdout);
    }
}

void hbs_thread_main() {
    AgentState &st = agent_state();
    agent_log(LOG_HBS, "+HBS started");
    st.hbs_reply.reset(reply_buffer_new(kReplyCapacity));
    hbs_handle_new(st);
    st.hbs_reply_pending = 0;
    while ((st.hbs_state == HBS_SM_INIT || st.hbs_state == HBS_SM_RUNNING) && st.running == 1 &&
           !st.hbs_stop_requested) {
        auto start = WaitClock::now();
        bool empty = hbs_exchange();
        if (empty) hbs_wait_until(start + std::chrono::seconds(st.hbs_client_delay.load()));
    }
    agent_log(LOG_HBS, "-HBS");
}

int hbs_connection_create(void (*body)()) {
    AgentState &st = agent_state();
    if (st.hbs_state != HBS_SM_STOPPED) {
        agent_log(LOG_HBS, "HBS connection already established - nothing to do.");
        return 11;
    }
    std::time_t started = std::time(nullptr);
    st.hbs_state = HBS_SM_INIT;
    st.hbs_client_delay = -1;
    st.hbs_server_delay = -1;
    st.hbs_stop_requested = false;
    try {
        st.hbs_thread = std::thread(body);
    } catch (const std::system_error &) {
        agent_log(LOG_HBS_ERROR, "Error creating HBS thread.");
        return 14;
    }
    for (int i = 0; i < 5 && st.hbs_state == HBS_SM_INIT; ++i) {
        agent_logf(LOG_HBS, "HBS wait for init %d", i);
        if (!wait_for_or(1.0, [&] { return stop_main() || st.hbs_state != HBS_SM_INIT; })) {
            if (stop_main()) break;
        }
    }
    if (st.hbs_state != HBS_SM_RUNNING) return 14;
    write_hbs_conn_time(started);
    return 0;
}

int hbs_connection_stop() {
    AgentState &st = agent_state();
    st.hbs_state = HBS_SM_STOPPED;
    st.hbs_stop_requested = true;
    wakeup_notify();
    if (st.hbs_thread.joinable()) st.hbs_thread.join();
    // An exchange that ended while the stop was on its way may have written
    // RUNNING; the next create must find the connection stopped.
    st.hbs_state = HBS_SM_STOPPED;
    agent_log(LOG_HBS, "-HBS stopped");
    st.hbs_reply.reset();
    st.hbs_request.clear();
    st.hbs_transfer.reset();
    st.hbs_stop_requested = false;
    agent_log(LOG_HBS, "-HBS End & Cleanup");
    return 0;
}
