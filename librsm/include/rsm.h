/*
 * librsm: the configuration store.
 *
 * A store holds one configuration file in memory: an ordered list of
 * sections, each an ordered list of named, typed values. Position 1 of the
 * section list is always the built-in section, which has no name (NULL) and
 * holds the values written before the first header of a file.
 *
 * Ownership: every insert and set copies the name and payload it is given;
 * look-ups hand out pointers into the store, valid until that value is set
 * or removed or the store is freed. Positions count from 1.
 *
 * A store has no lock: one thread uses a store at a time. Reading a file
 * goes through a process-wide parser; reads from several threads take turns
 * on it.
 *
 * Usable from C and C++; nothing here throws.
 */
#ifndef RSM_H
#define RSM_H

#include <stdio.h>

#if defined(RSM_BUILDING_LIBRARY)
#define RSM_API __attribute__((visibility("default")))
#else
#define RSM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Value types. BOOL and INTEGER payloads are a 4-byte int (BOOL: any
 * non-zero is true), STRING a NUL-terminated string, FLOAT an 8-byte double. */
enum rsm_value_type {
    RSM_TYPE_BOOL = 0,
    RSM_TYPE_STRING = 1,
    RSM_TYPE_INTEGER = 2,
    RSM_TYPE_FLOAT = 3
};

/* Result codes: 0 is success, failures are negative. */
enum rsm_errcode {
    RSM_OK = 0,
    RSM_ERR_MALLOC = -1,
    RSM_ERR_SECTION_EXISTS = -2,
    RSM_ERR_SECTION_NOT_EXISTS = -3,
    RSM_ERR_VALUE_EXISTS = -4,
    RSM_ERR_VALUE_NOT_EXIST = -5,
    RSM_ERR_FILE_READ = -6,
    RSM_ERR_FILE_PARSE = -7
};

/* One row of the error table. */
typedef struct rsm_error_message {
    int code;
    const char *name;
    const char *message;
} rsm_error_message_t;

/* Number of rows of ErrorMessages. */
#define RSM_ERROR_MESSAGES_COUNT 7

/* The error table: code, name string and message of every code above. */
RSM_API extern const rsm_error_message_t ErrorMessages[RSM_ERROR_MESSAGES_COUNT];

/* A store (opaque). */
typedef struct rsm rsm_t;

/* A section of a store (opaque). */
typedef struct rsm_section rsm_section_t;

/* A value record: owned name, type and owned payload. */
typedef struct rsm_value {
    char *name;
    int type;
    void *payload;
} rsm_value_t;

/* ---- Store operations ------------------------------------------------- */

/* New store holding only the built-in section; NULL on allocation failure. */
RSM_API rsm_t *rsm_alloc(void);

/* Frees the store and everything in it (NULL is ignored). */
RSM_API void rsm_free(rsm_t *store);

/* Opens path, reads it into a new store and closes it. NULL when the file
 * cannot be opened, allocation fails or the file does not parse. */
RSM_API rsm_t *rsm_read(const char *path);

/* Fills store from an open file (read through its descriptor). A store with
 * more than one section is emptied first (back to a fresh built-in section);
 * a store holding only the built-in section keeps its values. flags has no
 * effect. Returns 0, RSM_ERR_MALLOC, RSM_ERR_FILE_READ or RSM_ERR_FILE_PARSE;
 * after a failure the store holds what was read up to the fault. */
RSM_API int rsm_init_from_file(rsm_t *store, FILE *file, int flags);

/* Writes the store in the text format. A FLOAT read from a file and not set
 * since is written as the file had it; any other FLOAT as "%g". */
RSM_API void rsm_write(const rsm_t *store, FILE *file);

/* Writes the XML dump of the store. */
RSM_API void rsm_write_xml(const rsm_t *store, FILE *file);

/* Appends a new empty section. RSM_ERR_SECTION_EXISTS when one of that name
 * exists (a NULL name always exists: the built-in section), RSM_ERR_MALLOC. */
RSM_API int rsm_section_insert(rsm_t *store, const char *name);

/* Removes a section with all its values. RSM_ERR_SECTION_NOT_EXISTS for a
 * NULL name (the built-in section cannot be removed) or an unknown one. */
RSM_API int rsm_section_remove(rsm_t *store, const char *name);

/* Number of sections, the built-in one included. */
RSM_API int rsm_get_sections_count(const rsm_t *store);

/* Name of the section at position (1 is the built-in section, whose name is
 * NULL); NULL when out of range. */
RSM_API const char *rsm_section_get_name_by_position(const rsm_t *store, int position);

/* Number of values of a section; RSM_ERR_SECTION_NOT_EXISTS if none. */
RSM_API int rsm_section_get_values_count(const rsm_t *store, const char *section);

/* Appends a copy of the value at the tail of the section.
 * RSM_ERR_SECTION_NOT_EXISTS, RSM_ERR_VALUE_EXISTS, RSM_ERR_MALLOC. */
RSM_API int rsm_value_insert(rsm_t *store, const char *section, const char *name, int type,
                             const void *payload);

/* Removes a value. RSM_ERR_SECTION_NOT_EXISTS, RSM_ERR_VALUE_NOT_EXIST. */
RSM_API int rsm_value_remove(rsm_t *store, const char *section, const char *name);

/* Replaces type and payload of an existing value (the type may change).
 * RSM_ERR_SECTION_NOT_EXISTS, RSM_ERR_VALUE_NOT_EXIST, RSM_ERR_MALLOC (the
 * value is then left as it was). */
RSM_API int rsm_value_set_by_name(rsm_t *store, const char *section, const char *name, int type,
                                  const void *payload);

/* Payload of a value (int for BOOL and INTEGER, char for STRING, double for
 * FLOAT) and its type in *type (type may be NULL). NULL when the section or
 * value does not exist; *type is then untouched. */
RSM_API void *rsm_value_get_by_name(const rsm_t *store, const char *section, const char *name,
                                    int *type);

/* Payload, name and type of the value at position within the section (name
 * and type may be NULL). NULL when no such section or position. */
RSM_API void *rsm_value_get_by_position(const rsm_t *store, const char *section, int position,
                                        const char **name, int *type);

/* Name string ("RSM_ERR_MALLOC", ...) of a code; NULL for any other code. */
RSM_API const char *rsm_errcode_to_string(int code);

/* Message of a code; NULL for any other code. */
RSM_API const char *rsm_errcode_to_message(int code);

/* ---- Section operations ----------------------------------------------- */

/* New section with a copy of name (or NULL) and no values; NULL on failure. */
RSM_API rsm_section_t *section_alloc(const char *name);

/* Frees name, values and section (NULL is ignored). */
RSM_API void section_free(rsm_section_t *section);

/* 0 when the section's name matches name (byte for byte; NULL matches only
 * the built-in section), non-zero otherwise. */
RSM_API int section_compare(const rsm_section_t *section, const char *name);

/* Text writer of one section: its header (none for the built-in section),
 * then one line per value. */
RSM_API void section_write(const rsm_section_t *section, FILE *file);

/* XML writer of one section. */
RSM_API void section_write_xml(const rsm_section_t *section, FILE *file);

/* Appends a copy of the value. RSM_ERR_VALUE_EXISTS, RSM_ERR_MALLOC, else 0. */
RSM_API int section_add_value(rsm_section_t *section, const char *name, int type,
                              const void *payload);

/* Removes a value. RSM_ERR_VALUE_NOT_EXIST, else 0. */
RSM_API int section_remove_value(rsm_section_t *section, const char *name);

/* As rsm_value_set_by_name within the section. */
RSM_API int section_set_value(rsm_section_t *section, const char *name, int type,
                              const void *payload);

/* As rsm_value_get_by_name within the section. */
RSM_API void *section_get_value(const rsm_section_t *section, const char *name, int *type);

/* As rsm_value_get_by_position within the section. */
RSM_API void *section_get_value_by_pos(const rsm_section_t *section, int position,
                                       const char **name, int *type);

/* Number of values of the section. */
RSM_API int section_get_values_number(const rsm_section_t *section);

/* Name of the section (NULL for the built-in section). */
RSM_API const char *section_get_name(const rsm_section_t *section);

/* ---- Value record operations ------------------------------------------ */

/* Copies a value record: name, type and payload by type. NULL on any
 * allocation failure (nothing is left allocated). */
RSM_API rsm_value_t *value_alloc(const rsm_value_t *value);

/* Frees payload, name and record (NULL is ignored). */
RSM_API void value_free(rsm_value_t *value);

/* strcmp of the record's name with name. */
RSM_API int value_compare(const rsm_value_t *value, const char *name);

#ifdef __cplusplus
}
#endif

#endif /* RSM_H */
