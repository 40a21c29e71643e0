#include "rtu/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "rtu/handles.h"
#include "rtu/numbers.h"

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
    // Written beside and renamed over the file, so a reader sees the old
    // value or the new one, never an empty or half-written file. Only a
    // plain file (or none) is replaced so: a link, a device or a pipe is
    // written through, as it always was.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return write_with_flags(path, text, O_TRUNC);
    std::size_t slash = path.rfind('/');
    std::string temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
                       "." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return write_with_flags(path, text, O_TRUNC);  // a folder we cannot add to
    bool ok = ::fchmod(fd, 0644) == 0 && write_all(fd, text);
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
}

bool write_number_file(const std::string &path, int value) {
    return write_status_file(path, std::to_string(value) + "\n");
}

bool touch_file(const std::string &path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::futimens(fd, nullptr);
    return ::close(fd) == 0;
}

std::optional<int> read_number_file(const std::string &path) {
    std::optional<std::string> line = read_first_line(path, 32);
    if (!line) return std::nullopt;
    std::optional<long long> value = parse_decimal(*line);
    if (!value || *value > INT_MAX) return std::nullopt;
    return static_cast<int>(*value);
}

bool append_file(const std::string &path, std::string_view text) {
    return write_with_flags(path, text, O_APPEND);
}

std::string cut_at_line_end(std::string_view text) {
    auto pos = text.find_first_of("\r\n");
    return std::string(text.substr(0, pos));
}

std::optional<std::string> read_file(const std::string &path, std::size_t max_len) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) return std::nullopt;
    std::string out;
    char buf[4096];
    std::size_t n;
    while (out.size() < max_len && (n = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        out.append(buf, std::min(n, max_len - out.size()));
    return out;
}

std::optional<std::string> read_first_line(const std::string &path, std::size_t max_len) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) return std::nullopt;
    std::string line;
    int c;
    while ((c = std::fgetc(f.get())) != EOF && c != '\n' && c != '\r') {
        if (line.size() < max_len) line.push_back(static_cast<char>(c));
    }
    return line;
}

bool file_exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace rtu
