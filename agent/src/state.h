// The one process-wide record of the agent, shared by all its threads.
//
// Values that several threads touch are single atomic words (run flag,
// connection state, delays, VPN state, server count and index, traffic
// figures). Everything else has one owning thread, named beside the field.
#pragma once

#include <curl/curl.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

inline constexpr const char *kSdkName = "TELV Linux-SDK";
inline constexpr const char *kSdkVersion = "0.2.1";
inline constexpr const char *kHyphens = "----------------------------";  // 28

enum HbsState : std::int32_t {
    HBS_SM_STOPPED = 0,
    HBS_SM_INIT = 1,
    HBS_SM_RUNNING = 2,
};

enum VpnState : std::int32_t {
    VPN_STATE_IDLE = 0,
    VPN_STATE_HOLD = 1,
    VPN_STATE_CONNECTING = 2,
    VPN_STATE_CONNECTED = 3,
    VPN_STATE_EXITING = 99,
};

// Values of /etc/telvsdk/telvsdk.cnf. Absent texts are nullopt.
struct AgentConfig {
    std::int32_t verbose = 0;
    std::optional<std::string> default_connect;
    std::optional<std::string> ca_file;
    std::optional<std::string> ssl_cert;
    std::optional<std::string> ssl_key;
    std::optional<std::string> tls_auth;
    std::optional<std::string> proxy_url;
    std::int32_t proxy_port = 0;
    std::optional<std::string> proxy_user;
    std::optional<std::string> proxy_pass;
    std::int32_t proxy_enabled = 0;
    std::int32_t proxy_auth_required = 0;
    std::optional<std::string> proxy_auth_method;
    std::optional<std::string> proxy_auth_file;
    std::optional<std::string> scep_server_url;
    std::optional<std::string> scep_ca;
    std::optional<std::string> scep_cnf;
    std::optional<std::string> scep_cnf_new;
    std::optional<std::string> scep_req;
    std::int32_t vpn_mgmt_port = 0;
    std::optional<std::string> hbs_server;
    std::optional<std::string> activation_code;
    std::int32_t portal_action = 0;
    std::int32_t vpn_inactivity = 0;
};

// Text of an optional configuration value for printf-style output:
// the value, or "(null)" when absent.
const char *cfg_text(const std::optional<std::string> &v);

// One VPN server offered by the portal. The field sizes are part of the
// protocol with the portal (texts of at most 254 and 1023 characters).
struct VpnServerEntry {
    char host[255];
    char ip[255];
    char name[255];
    char port[255];
    char proto[255];
    char args[1024];
};
static_assert(sizeof(VpnServerEntry) == 2299);

inline constexpr int kMaxVpnServers = 10;
inline constexpr int kMaxNetworks = 10;
inline constexpr std::size_t kNetTextSize = 20;  // 19 characters and the zero

// A local network the portal may reach; entry 0 is the LAN.
struct NetworkEntry {
    char *network;
    char *subnetmask;
};

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

struct ReplyBuffer;
struct ReplyBufferDeleter {
    void operator()(ReplyBuffer *b) const;
};
using ReplyPtr = std::unique_ptr<ReplyBuffer, ReplyBufferDeleter>;

using VpnStatsCallback = int (*)(int vpn_state, std::int64_t bytes_in, std::int64_t bytes_out,
                                 std::int64_t deadline);

struct AgentState {
    // Configuration (main thread at start-up, read-only afterwards).
    AgentConfig config;

    // Run control.
    std::atomic<int> running{0};
    std::atomic<std::int32_t> hbs_state{HBS_SM_STOPPED};
    std::atomic<int> hbs_client_delay{-1};
    std::atomic<int> hbs_server_delay{-1};
    std::atomic<std::int32_t> vpn_state{VPN_STATE_IDLE};
    // Set by agent_exit: the main loop stops drawing and writing status files.
    std::atomic<bool> exiting{false};

    // Threads. hbs_thread belongs to the main thread (create/stop). The VPN
    // thread handles belong to vpn_start/vpn_stop; the *_active flags tell
    // whether the thread body is still running.
    std::thread hbs_thread;
    std::thread vpn_thread;
    std::thread vpn_mgmt_thread;
    std::atomic<bool> vpn_thread_active{false};
    std::atomic<bool> vpn_mgmt_thread_active{false};

    // Heartbeat connection (heartbeat thread while it runs, then the main
    // thread in hbs_connection_stop).
    CurlPtr hbs_transfer;
    ReplyPtr hbs_reply;
    std::string hbs_request;  // at most 1023 characters
    int hbs_reply_pending = 0;
    std::atomic<bool> hbs_stop_requested{false};  // wakes the heartbeat thread

    // VPN server list. Entries are replaced as a whole under vpn_servers_lock
    // and handed out as copies, so a reader never sees a freed entry.
    std::mutex vpn_servers_lock;
    std::array<std::unique_ptr<VpnServerEntry>, kMaxVpnServers> vpn_servers;
    std::atomic<int> vpn_server_count{0};
    std::atomic<int> vpn_server_index{0};

    // VPN traffic figures (VPN management thread; shown by the console).
    // OpenVPN's running totals: a busy tunnel passes 2^32 bytes.
    std::atomic<std::int64_t> vpn_bytes_in{0};
    std::atomic<std::int64_t> vpn_bytes_out{0};
    std::atomic<std::int64_t> vpn_inactivity_deadline{0};
    std::atomic<VpnStatsCallback> vpn_stats_callback{nullptr};

    // VPN controller variables (VPN threads).
    std::atomic<int> vpn_exit_reason{0};
    std::atomic<int> vpn_wait_count{0};
    std::atomic<std::int64_t> vpn_activity_mark{0};
    std::string vpn_connected_at;  // "%02d.%02d.%04d %02d:%02d:%02d", < 256
    std::string vpn_disconnected_at;

    // Portal push: the server-list request's handle while it runs. The network
    // push runs on its own handle, so the two requests never share one.
    std::atomic<CURL *> push_transfer{nullptr};

    // Local networks. networks[0] points at lan_network/lan_mask; entries 1..9
    // point into network_text (slot i serves entry i).
    std::array<std::unique_ptr<NetworkEntry>, kMaxNetworks> networks;
    char lan_network[kNetTextSize] = {};
    char lan_mask[kNetTextSize] = {};
    char network_text[kMaxNetworks][2][kNetTextSize] = {};
};

// The single instance. It is never destroyed: the process ends through
// agent_exit() while other threads may still run.
AgentState &agent_state();

// Copy of server entry i, or nullopt when i is not a valid entry.
std::optional<VpnServerEntry> vpn_server_get(int index);

// Replaces the whole server list with the given entries (at most 10).
void vpn_servers_replace(std::vector<std::unique_ptr<VpnServerEntry>> entries);

// Frees every server entry and sets the count to 0.
void vpn_servers_clear();
