// Shell injection payloads for the unit tests, the same table as
// testing/payloads.py, and a scratch folder in which a built command line is
// run through the real /bin/sh with its program replaced by a recorder.
//
// Every payload tries to create the canary file in another way (separators,
// pipes, list operators, substitutions, quote breaking, escapes, line ends,
// IFS splitting, redirections); the glob, tilde and variable payloads create
// nothing but change the word when the shell expands them. A command builder
// is safe when, for every payload, the canary stays absent and the recorder
// got the value as one whole argument.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "rt_test/poll.h"

namespace rt_test {

struct Payload {
    std::string name;
    std::string text;
};

// {c} stands for the canary path.
inline const std::vector<std::pair<const char *, const char *>> &payload_table() {
    static const std::vector<std::pair<const char *, const char *>> table = {
        {"semicolon", ";touch {c};"},
        {"pipe", "|touch {c}"},
        {"background", "x&touch {c}&"},
        {"and_list", "x&&touch {c}"},
        {"or_list", "x||touch {c}"},
        {"dollar_paren", "$(touch {c})"},
        {"backquote", "`touch {c}`"},
        {"single_quote_break", "';touch {c};'"},
        {"double_quote_break", "\";touch {c};\""},
        {"double_quoted_subst", "\"$(touch {c})\""},
        {"escaped_single", "\\';touch {c};#"},
        {"escaped_double", "\\\";touch {c};#"},
        {"quote_escape_quote", "'\\'';touch {c};'"},
        {"odd_quote", "$(touch {c})'"},
        {"backslash_end", "x\\"},
        {"newline", "x\ntouch {c}\n"},
        {"crlf", "x\r\ntouch {c}\r\n"},
        {"ifs", ";touch${IFS}{c}"},
        {"nested", "$(touch${IFS}{c})`touch {c}`\"'"},
        {"redirect", "x>{c}"},
        {"append", "x >>{c}"},
        {"blanks", " a  b\tc "},
        {"glob_star", "*"},
        {"glob_root", "/*"},
        {"glob_question", "/?in"},
        {"glob_bracket", "/[a-z]*"},
        {"glob_class", "[!.]*"},
        {"tilde", "~root"},
        {"variable", "$HOME${PATH}"},
        {"arithmetic", "$((6*7))"},
        {"comment", "#;touch {c}"},
    };
    return table;
}

// The payloads for a canary path; those containing a character of `without`
// are left out.
inline std::vector<Payload> payloads(const std::string &canary, std::string_view without = "") {
    std::vector<Payload> out;
    for (const auto &[name, tmpl] : payload_table()) {
        std::string text;
        for (std::string_view t = tmpl; !t.empty();) {
            if (t.substr(0, 3) == "{c}") {
                text += canary;
                t.remove_prefix(3);
            } else {
                text.push_back(t.front());
                t.remove_prefix(1);
            }
        }
        if (text.find_first_of(without) != std::string::npos) continue;
        out.push_back({name, text});
    }
    return out;
}

// One argument list per call of the recorder, and the shell's status.
struct ShellRun {
    int status = -1;  // wait status of /bin/sh; -1 when it could not run or was killed
    std::vector<std::vector<std::string>> calls;
};

// A private folder (under the build tree when RT_BUILD is set) with a
// recorder program and a few files, so that a glob the shell expanded would
// show. Removed with everything in it at the end.
class Scratch {
  public:
    explicit Scratch(const std::string &name) {
        const char *build = std::getenv("RT_BUILD");
        std::filesystem::path base = build && *build
                                         ? std::filesystem::path(build) / "injection-scratch"
                                         : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(base);
        std::string tmpl = (base / (name + "-XXXXXX")).string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("no scratch folder " + tmpl);
        dir_ = tmpl;
        for (const char *f : {"a", "bin", "sbin", "glob-file"}) std::ofstream(dir_ + "/" + f) << "";
        recorder_ = dir_ + "/recorder";
        std::ofstream rec(recorder_);
        rec << "#!/bin/sh\n"
               "for a in \"$@\"; do printf '%s\\0' \"$a\"; done >>"
            << dir_
            << "/calls\n"
               "printf '\\036' >>"
            << dir_ << "/calls\n";
        rec.close();
        ::chmod(recorder_.c_str(), 0755);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    const std::string &dir() const { return dir_; }
    std::string canary() const { return dir_ + "/CANARY"; }
    bool canary_ran() const { return ::access(canary().c_str(), F_OK) == 0; }

    // Runs cmd through /bin/sh -c inside the folder, stdin from /dev/null,
    // bounded to 10 s. cmd must begin with `program` followed by a blank; the
    // recorder takes its place. When `tail` is given, cmd must end with it
    // and it is replaced by a redirection into the folder (the fixed log
    // redirections of the system's commands). The canary and earlier calls
    // are cleared first. False in `ok` when cmd did not have that form.
    ShellRun run(const std::string &cmd, std::string_view program, std::string_view tail,
                 bool &ok) {
        ShellRun r;
        ok = false;
        std::error_code ec;
        std::filesystem::remove(canary(), ec);
        std::filesystem::remove(dir_ + "/calls", ec);
        if (cmd.size() <= program.size() || cmd.compare(0, program.size(), program) != 0 ||
            cmd[program.size()] != ' ')
            return r;
        std::string body = cmd.substr(program.size());
        if (!tail.empty()) {
            if (body.size() < tail.size() ||
                body.compare(body.size() - tail.size(), tail.size(), tail) != 0)
                return r;
            body.resize(body.size() - tail.size());
            body += ">>" + dir_ + "/output 2>&1";
        }
        ok = true;
        std::string line = recorder_ + body;
        pid_t pid = ::fork();
        if (pid < 0) return r;
        if (pid == 0) {
            if (::chdir(dir_.c_str()) != 0) ::_exit(126);
            int fd = ::open("/dev/null", O_RDONLY);
            if (fd >= 0) ::dup2(fd, 0);
            int err = ::open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err >= 0) ::dup2(err, 2);
            ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        int st = 0;
        pid_t w = 0;
        wait_for([&] { return (w = ::waitpid(pid, &st, WNOHANG)) != 0; }, std::chrono::seconds(10),
                 std::chrono::microseconds(200));
        if (w == pid) {
            r.status = st;
        } else {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
        }
        // A background part of the command line may still be running.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::ifstream in(dir_ + "/calls", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string all = ss.str();
        std::vector<std::string> args;
        std::string cur;
        for (char c : all) {
            if (c == '\036') {
                r.calls.push_back(std::move(args));
                args.clear();
            } else if (c == '\0') {
                args.push_back(std::move(cur));
                cur.clear();
            } else {
                cur.push_back(c);
            }
        }
        return r;
    }

  private:
    std::string dir_;
    std::string recorder_;
};

// The line the process tests' generic recorder (testing/standins/recorder)
// appends for a call with these arguments: each one as Python's shlex.quote
// writes it, joined by blanks, and a line feed.
inline std::string recorder_line(const std::vector<std::string> &args) {
    static constexpr std::string_view kPlain =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@%+=:,./_-";
    std::string out;
    for (const std::string &a : args) {
        if (!out.empty()) out.push_back(' ');
        if (!a.empty() && a.find_first_not_of(kPlain) == std::string::npos) {
            out += a;
            continue;
        }
        out.push_back('\'');
        for (char c : a) {
            if (c == '\'')
                out += "'\"'\"'";
            else
                out.push_back(c);
        }
        out.push_back('\'');
    }
    return out + "\n";
}

// Text of a payload for a failure message: line ends and tabs made visible.
inline std::string shown(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out.push_back(c);
    }
    return out;
}

}  // namespace rt_test
