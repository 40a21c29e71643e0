// popen/pclose of the code under test: the command is recorded, the output
// is the next scripted answer (no answer: popen fails).
#include <cstdio>

#include "recorded.h"

extern "C" FILE *__wrap_popen(const char *command, const char *) {
    fuzz::Recorder &r = fuzz::recorder();
    r.commands.emplace_back(command ? command : "");
    if (r.answers.empty()) return nullptr;
    // The stream owns a copy: the answer may be gone before it is read.
    static thread_local std::string current;
    current = r.answers.front();
    r.answers.pop_front();
    if (current.empty()) return std::fopen("/dev/null", "r");
    return fmemopen(current.data(), current.size(), "r");
}

extern "C" int __wrap_pclose(FILE *stream) {
    return stream ? std::fclose(stream) : -1;
}
