/*
 * librsmwrapper: one-call typed access to values of configuration files
 * (under a lock file), and the shared-memory table of named text values.
 *
 * Every function returns 0 on success and -1 on failure unless said otherwise.
 * Threads of one process take turns on a configuration file's lock as
 * processes do, and writers of the shared segment on its key file.
 */
#ifndef RSMWRAPPER_H
#define RSMWRAPPER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(RSMWRAPPER_BUILD)
#define RSMW_API __attribute__((visibility("default")))
#else
#define RSMW_API
#endif

/* The two copies of the system configuration: runtime and persistent. The
 * mirroring setters compare paths as exact strings, double slash included. */
#define RSM_SYSTEM_CONF_RUNTIME "/var/run//system.conf"
#define RSM_SYSTEM_CONF_PERSIST "/mnt/config/config//system.conf"
#define RSM_SHMEM_CONF "/var/run//shmem.conf"

/* Value types, as stored by the configuration store. */
#define RSM_ITEM_BOOL 0
#define RSM_ITEM_STRING 1
#define RSM_ITEM_INTEGER 2
#define RSM_ITEM_FLOAT 3

/* Longest STRING an item holds: its value area is 512 bytes. */
#define RSM_ITEM_VALUE_SIZE 512

/* One item of the multi-item calls. An array of items ends at the first item
 * whose section is NULL or empty. */
typedef struct RsmItem {
    const char *section;
    const char *name;
    int32_t type;
    union {
        char str[RSM_ITEM_VALUE_SIZE]; /* STRING: NUL-terminated text in place */
        int32_t num;                   /* BOOL and INTEGER */
        double dbl;                    /* FLOAT */
        int64_t align_;                /* keeps the area 8-byte aligned on 32-bit targets */
    } value;
} RsmItem;

/* ---- files ---------------------------------------------------------------- */

struct rsm; /* the configuration store of librsm (rsm_t) */

/* Reads path into a new store (*store); -1 when it cannot be read or parsed. */
RSMW_API int load_conf_file(struct rsm **store, const char *path);
/* Sets a value in the store, creating its section and the value if missing. */
RSMW_API int rsm_set_to_cfg(struct rsm *store, const char *section, const char *name, int type,
                            const void *value);
/* Writes the store to a new file beside path, checks that it reads back, and
 * renames it over path. The store is freed when the update succeeds; on -1
 * the old file is untouched and the store is still the caller's. */
RSMW_API int update_conf_file(const char *path, struct rsm *store);

/* Getters: 0 and the value in the out argument, or -1 (out untouched) when the
 * file cannot be read, the value is missing or is stored with another type. */
RSMW_API int RSM_GET_STRING(const char *section, const char *name, char *out, const char *path);
RSMW_API int RSM_GET_BOOL(const char *section, const char *name, int *out, const char *path);
RSMW_API int RSM_GET_INTEGER(const char *section, const char *name, int *out, const char *path);
RSMW_API int RSM_VALUE_GET_INTEGER_BOOL(const char *section, const char *name, int *out,
                                        const char *path);
RSMW_API int RSM_GET_FLOAT(const char *section, const char *name, double *out, const char *path);

/* Setters: the section and the value are created when missing. */
RSMW_API int RSM_SET_STRING(const char *section, const char *name, const char *value,
                            const char *path);
RSMW_API int RSM_SET_BOOL(const char *section, const char *name, const int *value,
                          const char *path);
RSMW_API int RSM_SET_INTEGER(const char *section, const char *name, const int *value,
                             const char *path);
RSMW_API int RSM_SET_FLOAT(const char *section, const char *name, const double *value,
                           const char *path);

/* As the setters; for RSM_SYSTEM_CONF_RUNTIME the persistent copy is set too. */
RSMW_API int RSM_VALUE_SET_STRING(const char *section, const char *name, const char *value,
                                  const char *path);
RSMW_API int RSM_VALUE_SET_BOOL(const char *section, const char *name, const int *value,
                                const char *path);
RSMW_API int RSM_VALUE_SET_INTEGER(const char *section, const char *name, const int *value,
                                   const char *path);
RSMW_API int RSM_VALUE_SET_FLOAT(const char *section, const char *name, const double *value,
                                 const char *path);

RSMW_API int RSM_GET_MULTI_ITEMS(RsmItem *items, const char *path);
RSMW_API int RSM_SET_MULTI_ITEMS(RsmItem *items, const char *path);
RSMW_API int RSM_VALUE_SET_MULTI_ITEMS(RsmItem *items, const char *path);
RSMW_API int specify_items_section(const char *section, int count, RsmItem *items);
RSMW_API void list_items(const RsmItem *items);

/* The lock file "/tmp/<last path component>.lock". LockFile makes one attempt. */
RSMW_API int LockFile(const char *path);
RSMW_API int UnLockFile(const char *path);

/* ---- shared segment -------------------------------------------------------- */

#define SHMCOMMON_KEY_FILE "/share/shmcommon"
#define SHMCOMMON_AREAS 2
#define SHMCOMMON_SLOTS 200
#define SHMCOMMON_KEY_SIZE 64    /* keys of at most 63 characters */
#define SHMCOMMON_VALUE_SIZE 256 /* values of at most 255 characters */
#define SHMCOMMON_SIZE 128000

typedef struct ShmEntry {
    char key[SHMCOMMON_KEY_SIZE]; /* first byte 0: slot free */
    char value[SHMCOMMON_VALUE_SIZE];
} ShmEntry;

/* Area 0 holds the shared values, area 1 the mirror of configuration items. */
typedef struct ShmCommonSegment {
    ShmEntry area[SHMCOMMON_AREAS][SHMCOMMON_SLOTS];
} ShmCommonSegment;

/* Attaches the segment (created on first use); every call attaches anew. */
RSMW_API ShmCommonSegment *SHMCOMMON_Fetch(void);
RSMW_API void SHMCOMMON_Detach(ShmCommonSegment *segment);
/* Attaches and erases the whole segment. */
RSMW_API ShmCommonSegment *SHMCOMMON_SHMInit(void);
/* Stores value under key in area 0 or 1 and returns its slot. NULL: bad area,
 * area full, key over 63 or value over 255 characters, or no segment. Without
 * an address it uses the process's own attachment, made once and kept. */
RSMW_API ShmEntry *SHMCOMMON_Setval(int area, ShmCommonSegment *segment, const char *key,
                                    const char *value);
/* Slot of key in an area, NULL when absent (no change to the segment). */
RSMW_API ShmEntry *SHMCOMMON_Lookup(int area, ShmCommonSegment *segment, const char *key);
RSMW_API int SHMCOMMON_Sync(const RsmItem *items, ShmCommonSegment *segment);
RSMW_API int SHMCOMMON_Clear(const RsmItem *items, ShmCommonSegment *segment);

#ifdef __cplusplus
}
#endif

#endif /* RSMWRAPPER_H */
