#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>

#include "atsend.h"
#include "rtu/files.h"
#include "rtu/numbers.h"

namespace atsend {

bool AnswerWindow::append_and_check(char c) {
    if (c == '\r' || c == '\n') {
        head_.clear();
        return false;
    }
    if (head_.size() >= kHeadMax) return false;
    head_.push_back(c);
    return head_ == "OK" || head_ == "ERROR" || head_ == "+CMS ERROR:" || head_ == "+CME ERROR:";
}

namespace {

// Far more than any pid file holds.
constexpr std::size_t kPidFileMax = 4096;

// Pid of the process named in a pid file (white space, then the number, as
// fscanf's %ld reads it), or -1 when it cannot be read.
long long read_pid(const std::string &path) {
    std::optional<std::string> text = rtu::read_file(path, kPidFileMax);
    if (!text) return -1;
    return rtu::leading_number(*text).value_or(-1);
}

bool process_alive(long long pid) {
    if (pid <= 0 || pid > INT_MAX) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

bool take_pid_file(const std::string &path) {
    // The file appears complete or not at all: written aside, then linked in.
    std::string aside = path + "." + std::to_string(getpid());
    int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "%d\n", static_cast<int>(getpid()));
    bool written = ::write(fd, buf, static_cast<std::size_t>(n)) == n;
    ::close(fd);
    bool taken = false;
    for (int attempt = 0; written && attempt < 2 && !taken; ++attempt) {
        if (::link(aside.c_str(), path.c_str()) == 0) {
            taken = true;
        } else if (errno == EEXIST) {
            long long pid = read_pid(path);
            if (process_alive(pid)) break;
            // Left behind by an instance that was killed: take it over.
            ::unlink(path.c_str());
        } else {
            break;
        }
    }
    ::unlink(aside.c_str());
    return taken;
}

}  // namespace atsend
