// The shared-memory table: two areas of 200 fixed slots of key and value text,
// found by a key made from a file that exists on every router.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"
#include "rsmwrapper.h"

static_assert(sizeof(ShmEntry) == 320, "slot layout is fixed");
static_assert(sizeof(ShmCommonSegment) == SHMCOMMON_SIZE, "segment layout is fixed");

namespace {

bool valid_area(int area) { return area == 0 || area == 1; }

// Text of an item's value as the mirror keeps it; false for an unknown type.
bool item_text(const RsmItem &item, std::string &out) {
    char buf[64];
    switch (item.type) {
    case RSM_ITEM_STRING:
        out.assign(item.value.str, strnlen(item.value.str, sizeof item.value.str));
        return true;
    case RSM_ITEM_INTEGER:
        std::snprintf(buf, sizeof buf, "%d", static_cast<int>(item.value.num));
        break;
    case RSM_ITEM_BOOL:
        std::snprintf(buf, sizeof buf, "%d", item.value.num != 0 ? 1 : 0);
        break;
    case RSM_ITEM_FLOAT:
        std::snprintf(buf, sizeof buf, "%g", item.value.dbl);
        break;
    default:
        return false;
    }
    out = buf;
    return true;
}

bool item_ends(const RsmItem &item) { return item.section == nullptr || item.section[0] == '\0'; }

// The segment for a caller that passed none: attached, or created and erased
// when attaching fails once, as the platform expects.
ShmCommonSegment *attach_or_init() {
    ShmCommonSegment *seg = SHMCOMMON_Fetch();
    if (seg != nullptr) return seg;
    rsmw::console("pSHMCOMM is null\n");
    seg = SHMCOMMON_SHMInit();
    if (seg == nullptr) rsmw::console("SHMCOMMON_SHMInit fail\n");
    return seg;
}

// Attaches for the span of one call when the caller passed no address, so a
// caller that syncs in a loop does not pile up attachments.
class CallSegment {
public:
    explicit CallSegment(ShmCommonSegment *given)
        : seg_(given ? given : attach_or_init()), owned_(given == nullptr) {}
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
    key_t key = ftok(SHMCOMMON_KEY_FILE, 0);
    if (key == static_cast<key_t>(-1)) return nullptr;
    int id = shmget(key, SHMCOMMON_SIZE, IPC_CREAT | 0600);
    if (std::getenv("SHMCOMMON_DEBUG") != nullptr) std::fprintf(stderr, "shmid:%d\n", id);
    if (id < 0) return nullptr;
    void *addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) return nullptr;
    return static_cast<ShmCommonSegment *>(addr);
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
    // A key or value that does not fit its field is refused, never cut: a cut
    // key would silently alias another key.
    std::size_t key_len = strnlen(key, SHMCOMMON_KEY_SIZE);
    std::size_t value_len = strnlen(value, SHMCOMMON_VALUE_SIZE);
    if (key_len == 0 || key_len >= SHMCOMMON_KEY_SIZE || value_len >= SHMCOMMON_VALUE_SIZE)
        return nullptr;
    if (segment == nullptr) {
        segment = attach_or_init();  // stays attached: the caller gets a slot of it
        if (segment == nullptr) return nullptr;
    }
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

int SHMCOMMON_Sync(const RsmItem *items, ShmCommonSegment *segment) {
    if (items == nullptr) return -1;
    try {
        CallSegment seg(segment);
        if (seg.get() == nullptr) return 0;
        std::string text;
        for (const RsmItem *it = items; !item_ends(*it); ++it) {
            if (!item_text(*it, text)) continue;
            SHMCOMMON_Setval(1, seg.get(), item_key(*it).c_str(), text.c_str());
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
