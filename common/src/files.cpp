#include "rtu/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace rtu {
namespace {

bool write_all(int fd, std::string_view text) {
    const char *p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool write_with_flags(const std::string &path, std::string_view text, int flags) {
    int fd = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write_all(fd, text);
    if (::close(fd) != 0) ok = false;
    return ok;
}

}  // namespace

bool write_status_file(const std::string &path, std::string_view text) {
    return write_with_flags(path, text, O_TRUNC);
}

bool append_file(const std::string &path, std::string_view text) {
    return write_with_flags(path, text, O_APPEND);
}

std::string cut_at_line_end(std::string_view text) {
    auto pos = text.find_first_of("\r\n");
    return std::string(text.substr(0, pos));
}

std::optional<std::string> read_file(const std::string &path, std::size_t max_len) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return std::nullopt;
    std::string out;
    char buf[4096];
    std::size_t n;
    while (out.size() < max_len && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, std::min(n, max_len - out.size()));
    std::fclose(f);
    return out;
}

std::optional<std::string> read_first_line(const std::string &path, std::size_t max_len) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return std::nullopt;
    std::string line;
    int c;
    while ((c = std::fgetc(f)) != EOF && c != '\n' && c != '\r') {
        if (line.size() < max_len) line.push_back(static_cast<char>(c));
    }
    std::fclose(f);
    return line;
}

bool file_exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace rtu
