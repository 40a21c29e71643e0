// Output through C streams whose failure is noticed elsewhere or nowhere: a
// file whose writer checks every write once, when it closes it
// (close_file), and the console and log streams (stdout, stderr), which have
// nowhere else to report a failed write.
//
// The small ones are inline, so that a shared library using them exports
// nothing more.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "rtu/handles.h"

namespace rtu {

// fprintf and fwrite; a failure stays in the stream's error flag.
__attribute__((format(printf, 2, 3))) inline void put(FILE *f, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    (void)std::vfprintf(f, fmt, ap);  // the error flag keeps a failure
    va_end(ap);
}

inline void put_text(FILE *f, std::string_view text) {
    (void)std::fwrite(text.data(), 1, text.size(), f);  // the error flag keeps a failure
}

// fflush; nullptr flushes every output stream.
inline void flush(FILE *f) {
    (void)std::fflush(f);  // a console or log stream: nowhere to report to
}

// Makes f line buffered (a program's stdout read through a pipe or a log).
inline void line_buffered(FILE *f) {
    // Fails only for a stream already used, whose buffering then stays.
    (void)std::setvbuf(f, nullptr, _IOLBF, 0);
}

// Copies text into out (size bytes, size > 0), cut at size - 1 characters
// and terminated; false when it was cut.
inline bool copy_bounded(char *out, std::size_t size, std::string_view text) {
    std::size_t n = text.size() < size ? text.size() : size - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n == text.size();
}

// Closes a stream written with put: false when any write, the last flush or
// the close failed, so the file does not hold what was written.
bool close_file(FilePtr f);

}  // namespace rtu
