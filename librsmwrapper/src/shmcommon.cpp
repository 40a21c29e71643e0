// The shared-memory table: two areas of 200 fixed slots of key and value text,
// found by a key made from a file that exists on every router.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "internal.h"
#include "rsmwrapper.h"
#include "rtu/streams.h"

static_assert(sizeof(ShmEntry) == 320, "slot layout is fixed");
static_assert(sizeof(ShmCommonSegment) == SHMCOMMON_SIZE, "segment layout is fixed");

namespace {

bool valid_area(int area) {
    return area == 0 || area == 1;
}

// Text of an item's value as the mirror keeps it; false for an unknown type.
bool item_text(const RsmItem &item, std::string &out) {
    switch (item.type) {
        case RSM_ITEM_STRING:
            out.assign(item.value.str, strnlen(item.value.str, sizeof item.value.str));
            return true;
        case RSM_ITEM_INTEGER:
            out = std::to_string(static_cast<int>(item.value.num));
            return true;
        case RSM_ITEM_BOOL:
            out = item.value.num != 0 ? "1" : "0";
            return true;
        case RSM_ITEM_FLOAT: {
            char buf[64];  // room for any %g
            int n = std::snprintf(buf, sizeof buf, "%g", item.value.dbl);
            if (n < 0) return false;
            out = buf;
            return true;
        }
        default:
            return false;
    }
}

bool item_ends(const RsmItem &item) {
    return item.section == nullptr || item.section[0] == '\0';
}

// Writers of the segment take turns on a lock of its key file, across
// processes and threads; readers take none. The layout stays as other
// programs read it. Without the key file there is no segment to write.
class WriterLock {
  public:
    WriterLock() : fd_(::open(SHMCOMMON_KEY_FILE, O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) return;
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~WriterLock() {
        if (fd_ >= 0) ::close(fd_);  // ends the lock
    }
    WriterLock(const WriterLock &) = delete;
    WriterLock &operator=(const WriterLock &) = delete;

  private:
    int fd_;
};

// The segment's identifier (made on first use), or -1.
int segment_id() {
    key_t key = ftok(SHMCOMMON_KEY_FILE, 0);
    if (key == static_cast<key_t>(-1)) return -1;
    int id = shmget(key, SHMCOMMON_SIZE, IPC_CREAT | 0600);
    if (std::getenv("SHMCOMMON_DEBUG") != nullptr) rtu::put(stderr, "shmid:%d\n", id);
    return id;
}

ShmCommonSegment *attach_id(int id) {
    if (id < 0) return nullptr;
    void *addr = shmat(id, nullptr, 0);
    if (reinterpret_cast<std::intptr_t>(addr) == -1) return nullptr;  // shmat's (void *)-1
    return static_cast<ShmCommonSegment *>(addr);
}

// Attaches for a caller that passed no address. A failed attach is reported
// and tried once more; the values in the segment stay (a new segment is all
// zero already, an old one holds what other processes rely on).
ShmCommonSegment *attach_or_retry(int &id) {
    id = segment_id();
    ShmCommonSegment *seg = attach_id(id);
    if (seg != nullptr) return seg;
    rsmw::console("pSHMCOMM is null\n");
    id = segment_id();
    seg = attach_id(id);
    if (seg == nullptr) {
        rsmw::console("init shmcommon fail");
        rsmw::console("SHMCOMMON_SHMInit fail\n");
    }
    return seg;
}

ShmCommonSegment *attach_or_retry() {
    int id;
    return attach_or_retry(id);
}

// The attachment of SHMCOMMON_Setval callers that pass no address: one per
// process, kept while the key names the same segment, since the slot handed
// back points into it.
ShmCommonSegment *process_segment() {
    static std::mutex mutex;
    static ShmCommonSegment *seg = nullptr;
    static int seg_id = -1;
    std::lock_guard<std::mutex> hold(mutex);
    if (seg != nullptr && segment_id() == seg_id) return seg;
    int id;
    ShmCommonSegment *fresh = attach_or_retry(id);
    if (fresh == nullptr) return nullptr;
    SHMCOMMON_Detach(seg);  // a segment removed since: let it go
    seg = fresh;
    seg_id = id;
    return seg;
}

// SHMCOMMON_Setval without the lock, for callers that hold it.
ShmEntry *set_slot(int area, ShmCommonSegment *segment, const char *key, std::size_t key_len,
                   const char *value, std::size_t value_len) {
    ShmEntry *free_slot = nullptr;
    for (ShmEntry &slot : segment->area[area]) {
        if (slot.key[0] == '\0') {
            if (free_slot == nullptr) free_slot = &slot;
            continue;
        }
        if (strncmp(slot.key, key, sizeof slot.key) == 0) {
            std::memcpy(slot.value, value, value_len + 1);
            return &slot;
        }
    }
    if (free_slot == nullptr) return nullptr;
    std::memcpy(free_slot->key, key, key_len + 1);
    std::memcpy(free_slot->value, value, value_len + 1);
    return free_slot;
}

// A key and value that fit a slot: their lengths, or false. A key or value
// that does not fit is refused, never cut: a cut key would silently alias
// another key.
bool fits(const char *key, const char *value, std::size_t &key_len, std::size_t &value_len) {
    key_len = strnlen(key, SHMCOMMON_KEY_SIZE);
    value_len = strnlen(value, SHMCOMMON_VALUE_SIZE);
    return key_len != 0 && key_len < SHMCOMMON_KEY_SIZE && value_len < SHMCOMMON_VALUE_SIZE;
}

// Attaches for the span of one call when the caller passed no address, so a
// caller that syncs in a loop does not pile up attachments.
class CallSegment {
  public:
    explicit CallSegment(ShmCommonSegment *given)
        : seg_(given ? given : attach_or_retry()), owned_(given == nullptr) {}
    ~CallSegment() {
        if (owned_) SHMCOMMON_Detach(seg_);
    }
    CallSegment(const CallSegment &) = delete;
    CallSegment &operator=(const CallSegment &) = delete;
    ShmCommonSegment *get() const { return seg_; }

  private:
    ShmCommonSegment *seg_;
    bool owned_;
};

std::string item_key(const RsmItem &item) {
    std::string key = item.section;
    key += '_';
    key += item.name ? item.name : "";
    return key;
}

}  // namespace

extern "C" {

ShmCommonSegment *SHMCOMMON_Fetch(void) {
    return attach_id(segment_id());
}

void SHMCOMMON_Detach(ShmCommonSegment *segment) {
    if (segment != nullptr) shmdt(segment);
}

ShmCommonSegment *SHMCOMMON_SHMInit(void) {
    ShmCommonSegment *seg = SHMCOMMON_Fetch();
    if (seg == nullptr) {
        rsmw::console("init shmcommon fail");
        return nullptr;
    }
    WriterLock lock;
    std::memset(seg, 0, sizeof *seg);
    return seg;
}

ShmEntry *SHMCOMMON_Lookup(int area, ShmCommonSegment *segment, const char *key) {
    if (!valid_area(area) || segment == nullptr || key == nullptr || key[0] == '\0') return nullptr;
    for (ShmEntry &slot : segment->area[area]) {
        if (slot.key[0] != '\0' && strncmp(slot.key, key, sizeof slot.key) == 0) return &slot;
    }
    return nullptr;
}

ShmEntry *SHMCOMMON_Setval(int area, ShmCommonSegment *segment, const char *key,
                           const char *value) {
    if (!valid_area(area) || key == nullptr || value == nullptr) return nullptr;
    std::size_t key_len, value_len;
    if (!fits(key, value, key_len, value_len)) return nullptr;
    try {
        if (segment == nullptr) {
            segment = process_segment();
            if (segment == nullptr) return nullptr;
        }
        WriterLock lock;
        return set_slot(area, segment, key, key_len, value, value_len);
    } catch (...) {
        return nullptr;
    }
}

int SHMCOMMON_Sync(const RsmItem *items, ShmCommonSegment *segment) {
    if (items == nullptr) return -1;
    try {
        CallSegment seg(segment);
        if (seg.get() == nullptr) return 0;
        WriterLock lock;
        std::string text;
        std::size_t key_len, value_len;
        for (const RsmItem *it = items; !item_ends(*it); ++it) {
            std::string key = item_key(*it);
            if (!item_text(*it, text) || !fits(key.c_str(), text.c_str(), key_len, value_len))
                continue;
            set_slot(1, seg.get(), key.c_str(), key_len, text.c_str(), value_len);
        }
    } catch (...) {
    }
    return 0;
}

int SHMCOMMON_Clear(const RsmItem *items, ShmCommonSegment *segment) {
    if (items == nullptr) return -1;
    try {
        CallSegment seg(segment);
        if (seg.get() == nullptr) return 0;
        WriterLock lock;
        // The item's slot is found by its key alone, so a mirror is freed even
        // when the item's new value would not fit a slot.
        for (const RsmItem *it = items; !item_ends(*it); ++it) {
            ShmEntry *slot = SHMCOMMON_Lookup(1, seg.get(), item_key(*it).c_str());
            if (slot != nullptr) std::memset(slot, 0, sizeof *slot);
        }
    } catch (...) {
    }
    return 0;
}

}  // extern "C"
