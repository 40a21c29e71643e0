// Helpers of the librsm tests: stores filled from text, writer output as a
// string. Everything goes through the exported C interface.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "rsm.h"

namespace rsmtest {

struct StoreDeleter {
    void operator()(rsm_t *s) const { rsm_free(s); }
};
using Store = std::unique_ptr<rsm_t, StoreDeleter>;

struct FileCloser {
    void operator()(FILE *f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

// An open file holding text, kept in memory only (no file system).
inline File memory_file(std::string_view text) {
    int fd = memfd_create("rsm-test", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            close(fd);
            return nullptr;
        }
        done += static_cast<std::size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return File(fdopen(fd, "r"));
}

// Fills store from text as rsm_init_from_file does from a file.
inline int parse_into(rsm_t *store, std::string_view text) {
    File f = memory_file(text);
    if (!f) return 1000;  // not a library code: the helper itself failed
    return rsm_init_from_file(store, f.get(), 0);
}

// A new store read from text; the result code in *rc.
inline Store parse(std::string_view text, int *rc = nullptr) {
    Store s(rsm_alloc());
    int r = parse_into(s.get(), text);
    if (rc != nullptr) *rc = r;
    return s;
}

// What a writer puts into a FILE, as a string.
template <typename Writer>
std::string capture(Writer writer) {
    char *buf = nullptr;
    std::size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    if (f == nullptr) return "<no memstream>";
    writer(f);
    std::fclose(f);
    std::string out(buf, len);
    std::free(buf);
    return out;
}

inline std::string text_of(const rsm_t *s) {
    return capture([s](FILE *f) { rsm_write(s, f); });
}

inline std::string xml_of(const rsm_t *s) {
    return capture([s](FILE *f) { rsm_write_xml(s, f); });
}

// Typed look-ups; they fail the calling test when the type differs.
inline const int *get_int(const rsm_t *s, const char *sec, const char *name, int want_type) {
    int type = -100;
    auto *p = static_cast<const int *>(rsm_value_get_by_name(s, sec, name, &type));
    return (p != nullptr && type == want_type) ? p : nullptr;
}

}  // namespace rsmtest
