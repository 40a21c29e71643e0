// Typed one-call access to values of configuration files: every call takes
// the file's lock, loads the file afresh, and (for a set) writes it back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "internal.h"
#include "lock.h"
#include "rsm.h"
#include "rsmwrapper.h"
#include "rtu/handles.h"
#include "rtu/streams.h"

static_assert(sizeof(RsmItem::value) == RSM_ITEM_VALUE_SIZE, "item value area is 512 bytes");
static_assert(alignof(RsmItem) >= 8, "item value area is 8-byte aligned");

namespace {

struct StoreFree {
    void operator()(rsm_t *s) const { rsm_free(s); }
};
using Store = std::unique_ptr<rsm_t, StoreFree>;

// Writes the store back to path: update_conf_file frees it when it succeeds
// and leaves it to its owner when it fails.
int update(const char *path, Store store) {
    rsm_t *s = store.release();
    int rc = update_conf_file(path, s);
    if (rc != 0) rsm_free(s);
    return rc;
}

Store load(const char *path) {
    rsm_t *s = nullptr;
    if (load_conf_file(&s, path) != 0) return nullptr;
    return Store(s);
}

// The file the rename must replace: path itself, or what it links to.
std::string real_target(const char *path) {
    char buf[PATH_MAX];
    if (::realpath(path, buf) != nullptr) return buf;
    return path;
}

std::string dir_of(const std::string &path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The 32-bit int of a BOOL or INTEGER payload, the double of a FLOAT one.
int int_payload(const void *p) {
    int v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

double double_payload(const void *p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// One getter: lock, load, look up, and let `copy` take the value out when it
// is of a type it accepts. A getter that did not get the lock still reads:
// the file is only ever replaced whole.
template <typename Copy>
int get_value(const char *section, const char *name, const char *path, Copy copy) {
    rsmw::ConfLock lock(path);
    Store store = load(path);
    if (!store) return -1;
    int type = -1;
    const void *payload = rsm_value_get_by_name(store.get(), section, name, &type);
    if (payload == nullptr) return -1;
    return copy(type, payload) ? 0 : -1;
}

int set_value(const char *section, const char *name, int type, const void *value, const char *path,
              bool report) {
    rsmw::ConfLock lock(path);
    if (!lock.held()) return -1;  // never a rewrite without the lock
    Store store = load(path);
    if (!store) {
        if (report) rsmw::console("unlock_file.\n");
        return -1;
    }
    if (rsm_set_to_cfg(store.get(), section, name, type, value) != 0) return -1;
    return update(path, std::move(store)) != 0 ? -1 : 0;
}

bool is_runtime_conf(const char *path) {
    return std::strcmp(path, RSM_SYSTEM_CONF_RUNTIME) == 0;
}

// The mirror rule: the runtime system.conf is set, then its persistent copy.
template <typename Set>
int mirrored(const char *path, Set set) {
    if (path == nullptr || !is_runtime_conf(path)) return set(path);
    if (set(path) == -1) return -1;
    return set(RSM_SYSTEM_CONF_PERSIST);
}

bool item_ends(const RsmItem *it) {
    return it->section == nullptr || it->section[0] == '\0';
}

int set_items(RsmItem *items, const char *path) {
    if (items == nullptr || path == nullptr) return -1;
    int rc;
    {
        rsmw::ConfLock lock(path);
        if (!lock.held()) return -1;
        Store store = load(path);
        if (!store) return -1;
        for (RsmItem *it = items; !item_ends(it); ++it) {
            if (it->name == nullptr) return -1;
            // A text that fills the whole area without an end is refused
            // rather than read past the item.
            if (it->type == RSM_ITEM_STRING &&
                std::memchr(it->value.str, '\0', sizeof it->value.str) == nullptr)
                return -1;
            if (rsm_set_to_cfg(store.get(), it->section, it->name, it->type, &it->value) != 0)
                return -1;
        }
        rc = update(path, std::move(store));
    }
    SHMCOMMON_Clear(items, nullptr);
    return rc;
}

}  // namespace

extern "C" {

int load_conf_file(rsm_t **out, const char *path) {
    if (out == nullptr || path == nullptr) return -1;
    rtu::FilePtr f(std::fopen(path, "r"));
    if (!f) return -1;
    rsm_t *store = rsm_alloc();
    if (store == nullptr) return -1;
    if (rsm_init_from_file(store, f.get(), 0) < 0) {
        rsm_free(store);
        return -1;
    }
    *out = store;
    return 0;
}

int rsm_set_to_cfg(rsm_t *store, const char *section, const char *name, int type,
                   const void *value) {
    if (store == nullptr || name == nullptr || value == nullptr) return -1;
    int rc = rsm_value_set_by_name(store, section, name, type, value);
    if (rc == RSM_ERR_SECTION_NOT_EXISTS) {
        if (rsm_section_insert(store, section) != 0) return -1;
        rc = rsm_value_insert(store, section, name, type, value);
    } else if (rc == RSM_ERR_VALUE_NOT_EXIST) {
        rc = rsm_value_insert(store, section, name, type, value);
    }
    return rc == 0 ? 0 : -1;
}

// The new text goes to a temporary file beside the target, is flushed to disk
// and read back, and only then renamed over the target: a full disk, a failed
// write or a value the format cannot hold leaves the old file whole.
int update_conf_file(const char *path, rsm_t *store) {
    if (path == nullptr || store == nullptr) return -1;
    try {
        const std::string target = real_target(path);
        std::string tmp = target + ".XXXXXX";
        int fd = ::mkstemp(tmp.data());
        if (fd < 0) return -1;
        struct stat st;
        if (::stat(target.c_str(), &st) == 0) {
            ::fchmod(fd, st.st_mode & 07777);
            if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
                // keeps the new owner; the mode is what matters to readers
            }
        } else {
            ::fchmod(fd, 0644);
        }
        rtu::FilePtr f(::fdopen(fd, "w"));
        if (!f) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return -1;
        }
        rsm_write(store, f.get());
        bool ok = std::fflush(f.get()) == 0 && !std::ferror(f.get()) && ::fsync(fd) == 0;
        ok = std::fclose(f.release()) == 0 && ok;
        if (ok) {
            rsm_t *check = rsm_read(tmp.c_str());
            ok = check != nullptr;
            rsm_free(check);
        }
        if (!ok || ::rename(tmp.c_str(), target.c_str()) != 0) {
            ::unlink(tmp.c_str());
            return -1;
        }
        int dfd = ::open(dir_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
        rsm_free(store);
        return 0;
    } catch (...) {
        return -1;
    }
}

int RSM_GET_STRING(const char *section, const char *name, char *out, const char *path) {
    if (!section || !name || !out || !path) return -1;
    try {
        return get_value(section, name, path, [&](int type, const void *p) {
            if (type != RSM_TYPE_STRING) return false;
            std::strcpy(out, static_cast<const char *>(p));
            return true;
        });
    } catch (...) {
        return -1;
    }
}

int RSM_GET_BOOL(const char *section, const char *name, int *out, const char *path) {
    if (!section || !name || !out || !path) return -1;
    try {
        return get_value(section, name, path, [&](int type, const void *p) {
            if (type != RSM_TYPE_BOOL) return false;
            *out = int_payload(p) != 0 ? 1 : 0;
            return true;
        });
    } catch (...) {
        return -1;
    }
}

int RSM_GET_INTEGER(const char *section, const char *name, int *out, const char *path) {
    if (!section || !name || !out || !path) return -1;
    try {
        return get_value(section, name, path, [&](int type, const void *p) {
            if (type != RSM_TYPE_INTEGER) return false;
            *out = int_payload(p);
            return true;
        });
    } catch (...) {
        return -1;
    }
}

// An integer or a bool, as the name says.
int RSM_VALUE_GET_INTEGER_BOOL(const char *section, const char *name, int *out, const char *path) {
    if (!section || !name || !out || !path) return -1;
    try {
        return get_value(section, name, path, [&](int type, const void *p) {
            if (type != RSM_TYPE_INTEGER && type != RSM_TYPE_BOOL) return false;
            *out = int_payload(p);
            return true;
        });
    } catch (...) {
        return -1;
    }
}

// A whole float is written without its fraction and reads back as an integer,
// so an integer is taken as well.
int RSM_GET_FLOAT(const char *section, const char *name, double *out, const char *path) {
    if (!section || !name || !out || !path) return -1;
    try {
        return get_value(section, name, path, [&](int type, const void *p) {
            if (type == RSM_TYPE_FLOAT)
                *out = double_payload(p);
            else if (type == RSM_TYPE_INTEGER)
                *out = int_payload(p);
            else
                return false;
            return true;
        });
    } catch (...) {
        return -1;
    }
}

int RSM_SET_STRING(const char *section, const char *name, const char *value, const char *path) {
    if (!section || !name || !value || !path) {
        rsmw::console("RSM_SET_STRING failure.\n");
        return -1;
    }
    try {
        return set_value(section, name, RSM_TYPE_STRING, value, path, true);
    } catch (...) {
        return -1;
    }
}

int RSM_SET_BOOL(const char *section, const char *name, const int *value, const char *path) {
    if (!section || !name || !value || !path) return -1;
    try {
        return set_value(section, name, RSM_TYPE_BOOL, value, path, false);
    } catch (...) {
        return -1;
    }
}

int RSM_SET_INTEGER(const char *section, const char *name, const int *value, const char *path) {
    if (!section || !name || !value || !path) return -1;
    try {
        return set_value(section, name, RSM_TYPE_INTEGER, value, path, false);
    } catch (...) {
        return -1;
    }
}

int RSM_SET_FLOAT(const char *section, const char *name, const double *value, const char *path) {
    if (!section || !name || !value || !path) return -1;
    try {
        return set_value(section, name, RSM_TYPE_FLOAT, value, path, false);
    } catch (...) {
        return -1;
    }
}

int RSM_VALUE_SET_STRING(const char *section, const char *name, const char *value,
                         const char *path) {
    return mirrored(path, [&](const char *p) { return RSM_SET_STRING(section, name, value, p); });
}

int RSM_VALUE_SET_BOOL(const char *section, const char *name, const int *value, const char *path) {
    return mirrored(path, [&](const char *p) { return RSM_SET_BOOL(section, name, value, p); });
}

int RSM_VALUE_SET_INTEGER(const char *section, const char *name, const int *value,
                          const char *path) {
    return mirrored(path, [&](const char *p) { return RSM_SET_INTEGER(section, name, value, p); });
}

int RSM_VALUE_SET_FLOAT(const char *section, const char *name, const double *value,
                        const char *path) {
    return mirrored(path, [&](const char *p) { return RSM_SET_FLOAT(section, name, value, p); });
}

// Found items take the type stored in the file and its value; a text is cut
// at 511 characters. Items not found are left as they were.
int RSM_GET_MULTI_ITEMS(RsmItem *items, const char *path) {
    if (items == nullptr || path == nullptr) return -1;
    try {
        rsmw::ConfLock lock(path);
        Store store = load(path);
        if (!store) return -1;
        for (RsmItem *it = items; !item_ends(it); ++it) {
            if (it->name == nullptr) continue;
            int type = -1;
            const void *p = rsm_value_get_by_name(store.get(), it->section, it->name, &type);
            if (p == nullptr) continue;
            switch (type) {
                case RSM_TYPE_STRING:
                    // cut at the item's value area
                    rtu::copy_bounded(it->value.str, sizeof it->value.str,
                                      static_cast<const char *>(p));
                    break;
                case RSM_TYPE_BOOL:
                    it->value.num = int_payload(p) != 0 ? 1 : 0;
                    break;
                case RSM_TYPE_INTEGER:
                    it->value.num = int_payload(p);
                    break;
                case RSM_TYPE_FLOAT:
                    it->value.dbl = double_payload(p);
                    break;
                default:
                    continue;
            }
            it->type = type;
        }
        return 0;
    } catch (...) {
        return -1;
    }
}

int RSM_SET_MULTI_ITEMS(RsmItem *items, const char *path) {
    try {
        return set_items(items, path);
    } catch (...) {
        return -1;
    }
}

int RSM_VALUE_SET_MULTI_ITEMS(RsmItem *items, const char *path) {
    return mirrored(path, [&](const char *p) { return RSM_SET_MULTI_ITEMS(items, p); });
}

int specify_items_section(const char *section, int count, RsmItem *items) {
    if (items == nullptr || count < 1) return -1;
    for (int i = 0; i < count - 1; ++i) items[i].section = section;
    return 0;
}

void list_items(const RsmItem * /*items*/) {}

}  // extern "C"
