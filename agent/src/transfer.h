// Common libcurl set-up, the reply collector and the raw-deflate codec of
// the heartbeat and the portal push requests.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

struct ReplyBuffer {
    unsigned capacity;
    unsigned length;
    char *data;
};

inline constexpr unsigned kReplyCapacity = 65536;

ReplyBuffer *reply_buffer_new(unsigned capacity);  // ends the process (12) when out of memory
void reply_buffer_clear(ReplyBuffer *buffer);
void reply_buffer_free(ReplyBuffer *buffer);
std::size_t reply_buffer_append(char *bytes, std::size_t size, std::size_t count, void *buffer);

// Applies the options every request of the agent shares.
void transfer_setup(CURL *handle);

// The User-Agent text: "TELV Linux-SDK 0.2.1 running <uname fields>".
std::string transfer_user_agent();

// Raw deflate (window bits -15). The output is a malloc'ed block owned by
// the caller (free it with std::free); 0 on success, -1 when memory ran
// out, otherwise the zlib error code with *out null. A decompressed text
// longer than kPayloadTextLimit bytes counts as memory running out (-1).
inline constexpr std::size_t kPayloadTextLimit = std::size_t{1024} * 1024;
int payload_compress(const char *text, std::size_t length, unsigned char **out,
                     std::size_t *out_length);
int payload_decompress(const unsigned char *bytes, std::size_t length, char **out,
                       std::size_t *out_length);

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// libcurl header callback of the heartbeat: sets the clock from a "Date: "
// header more than 500 seconds away from the system time.
std::size_t date_header_clock_adjust(char *bytes, std::size_t size, std::size_t count,
                                     void *user_data);

// The decision of date_header_clock_adjust on one header line: the time to
// set, or -1 when the line is not a Date header or is within 500 seconds of now.
long long date_header_target(const std::string &line, long long now);

// libcurl progress callback: aborts the transfer once *flag (an
// std::atomic<bool>) is set or the agent stops running.
int transfer_abort_check(void *flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
