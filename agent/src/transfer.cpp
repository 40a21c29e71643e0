#include "transfer.h"

#include <sys/utsname.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log.h"
#include "rtu/files.h"
#include "rtu/shell.h"
#include "rtu/streams.h"
#include "state.h"

void ReplyBufferDeleter::operator()(ReplyBuffer *b) const {
    reply_buffer_free(b);
}

ReplyBuffer *reply_buffer_new(unsigned capacity) {
    auto *b = static_cast<ReplyBuffer *>(std::calloc(1, sizeof(ReplyBuffer)));
    char *data = static_cast<char *>(std::calloc(capacity ? capacity : 1, 1));
    if (!b || !data) {
        agent_log(LOG_ERROR, "Out of memory! Terminating.");
        rtu::flush(nullptr);
        _exit(12);
    }
    b->capacity = capacity;
    b->length = 0;
    b->data = data;
    return b;
}

void reply_buffer_clear(ReplyBuffer *buffer) {
    if (!buffer || buffer->capacity == 0 || !buffer->data) return;
    buffer->length = 0;
    buffer->data[0] = '\0';
}

void reply_buffer_free(ReplyBuffer *buffer) {
    if (!buffer || !buffer->data) return;
    std::free(buffer->data);
    std::free(buffer);
}

std::size_t reply_buffer_append(char *bytes, std::size_t size, std::size_t count, void *target) {
    auto *b = static_cast<ReplyBuffer *>(target);
    std::size_t n = size * count;
    if (!b || !b->data || b->capacity < b->length || b->capacity - b->length < n + 1) return 0;
    std::memcpy(b->data + b->length, bytes, n);
    b->length += static_cast<unsigned>(n);
    b->data[b->length] = '\0';
    return n;
}

std::string transfer_user_agent() {
    struct utsname u {};
    uname(&u);
    return rtu::format_bounded(1024, "%s %s running %s %s %s %s", kSdkName, kSdkVersion, u.sysname,
                               u.release, u.version, u.machine);
}

void transfer_setup(CURL *h) {
    if (!h) return;
    const AgentState &st = agent_state();
    const AgentConfig &c = st.config;
    std::string ua = transfer_user_agent();
    curl_easy_setopt(h, CURLOPT_USERAGENT, ua.c_str());  // libcurl copies option texts
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(st.hbs_server_delay.load() + 20));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, reply_buffer_append);
    curl_easy_setopt(h, CURLOPT_VERBOSE, static_cast<long>(c.verbose));
    if (c.ca_file) curl_easy_setopt(h, CURLOPT_CAINFO, c.ca_file->c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_SSLCERT, c.ssl_cert ? c.ssl_cert->c_str() : nullptr);
    curl_easy_setopt(h, CURLOPT_SSLCERTTYPE, "PEM");
    curl_easy_setopt(h, CURLOPT_SSLKEY, c.ssl_key ? c.ssl_key->c_str() : nullptr);
    curl_easy_setopt(h, CURLOPT_SSLKEYTYPE, "PEM");
    // With the portal's own CA configured the chain check is what admits the
    // portal; with libcurl's default bundle any publicly trusted certificate
    // would pass, so the portal's host name must match too.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, c.ca_file ? 0L : 2L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 1L);
    if (c.proxy_enabled == 1) {
        curl_easy_setopt(h, CURLOPT_PROXY, c.proxy_url ? c.proxy_url->c_str() : nullptr);
        curl_easy_setopt(h, CURLOPT_PROXYPORT, static_cast<long>(c.proxy_port));
        if (c.proxy_auth_required == 1) {
            curl_easy_setopt(h, CURLOPT_PROXYUSERNAME,
                             c.proxy_user ? c.proxy_user->c_str() : nullptr);
            curl_easy_setopt(h, CURLOPT_PROXYPASSWORD,
                             c.proxy_pass ? c.proxy_pass->c_str() : nullptr);
        }
    }
}

int payload_compress(const char *text, std::size_t length, unsigned char **out,
                     std::size_t *out_length) {
    *out = nullptr;
    *out_length = 0;
    z_stream zs{};
    int rc = deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) return rc;
    uLong bound = deflateBound(&zs, static_cast<uLong>(length));
    auto *buf = static_cast<unsigned char *>(std::malloc(bound ? bound : 1));
    if (!buf) {
        deflateEnd(&zs);
        return -1;
    }
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text));
    zs.avail_in = static_cast<uInt>(length);
    zs.next_out = buf;
    zs.avail_out = static_cast<uInt>(bound);
    rc = deflate(&zs, Z_FINISH);
    std::size_t produced = zs.total_out;
    deflateEnd(&zs);
    if (rc != Z_OK && rc != Z_STREAM_END) {
        std::free(buf);
        return rc;
    }
    *out = buf;
    *out_length = produced;
    return 0;
}

int payload_decompress(const unsigned char *bytes, std::size_t length, char **out,
                       std::size_t *out_length) {
    *out = nullptr;
    *out_length = 0;
    z_stream zs{};
    zs.next_in = const_cast<Bytef *>(bytes);
    zs.avail_in = static_cast<uInt>(length);
    int rc = inflateInit2(&zs, -15);
    if (rc != Z_OK) return rc;
    // inflate is still offered 20 bytes at a time, but the block grows by
    // doubling (not by 20 bytes per call) and never past the text limit: a
    // 64 KiB reply can otherwise inflate to some 64 MiB.
    MallocPtr<char> buf;
    std::size_t capacity = 0;
    std::size_t produced = 0;
    do {
        if (produced > kPayloadTextLimit) break;
        if (produced + 21 > capacity) {
            std::size_t wanted = capacity ? capacity * 2 : 256;
            if (wanted > kPayloadTextLimit + 21) wanted = kPayloadTextLimit + 21;
            auto *grown = static_cast<char *>(std::realloc(buf.get(), wanted));
            if (!grown) {
                inflateEnd(&zs);
                return -1;
            }
            (void)buf.release();
            buf.reset(grown);
            capacity = wanted;
        }
        zs.next_out = reinterpret_cast<Bytef *>(buf.get() + produced);
        zs.avail_out = 20;
        rc = inflate(&zs, Z_NO_FLUSH);
        produced += 20 - zs.avail_out;
    } while (rc == Z_OK && zs.avail_out == 0);
    inflateEnd(&zs);
    if (produced > kPayloadTextLimit) return -1;
    if (rc != Z_OK && rc != Z_STREAM_END) return rc;
    buf.get()[produced] = '\0';
    *out = buf.release();
    *out_length = produced;
    return 0;
}

long long date_header_target(const std::string &line, long long now) {
    if (line.compare(0, 6, "Date: ") != 0) return -1;
    std::tm tmv{};
    const char *end = strptime(line.c_str() + 6, "%a, %d %b %Y %H:%M:%S %Z", &tmv);
    if (!end) return -1;
    long long t = static_cast<long long>(timegm(&tmv));
    long long diff = t - now;
    if (diff > 500 || diff < -500) return t;
    return -1;
}

std::size_t date_header_clock_adjust(char *bytes, std::size_t size, std::size_t count, void *) {
    std::size_t n = size * count;
    std::string line(bytes, n);
    long long target = date_header_target(line, static_cast<long long>(std::time(nullptr)));
    if (target < 0) return n;
    std::string rest = rtu::cut_at_line_end(line.substr(6));
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(target);
    if (clock_settime(CLOCK_REALTIME, &ts) == 0)
        agent_logf(LOG_INFO, "Local time adjusted - %s", rest.c_str());
    else
        agent_logf(LOG_ERROR, "Local time could not be adjusted to %s - %s", rest.c_str(),
                   std::strerror(errno));
    return n;
}

int transfer_abort_check(void *flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto *f = static_cast<std::atomic<bool> *>(flag);
    if ((f && f->load()) || agent_state().running.load() == 0) return 1;
    return 0;
}
