/*
 * librsm: scanner and parser of the configuration text format.
 *
 * The usual operations of a table-driven scanner and an LALR(1) parser under
 * the prefix yy_. Only yy_parse_file is meant for callers; rsm_read and
 * rsm_init_from_file (rsm.h) use it. All state here is global to the
 * process: yy_parse_file holds a process-wide lock for the whole read, so
 * reads from several threads take turns; the other operations take none.
 */
#ifndef RSM_PARSER_H
#define RSM_PARSER_H

#include <stddef.h>
#include <stdio.h>

#include "rsm.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A scanner input buffer (opaque). */
struct yy_buffer_state;

/* Reads file into handle: 0 when the whole file parsed, RSM_ERR_FILE_READ
 * when the file cannot be examined or read, RSM_ERR_MALLOC when memory runs
 * out, RSM_ERR_FILE_PARSE on a syntax error or a refused insert (a section
 * or key given twice). flags has no effect. */
RSM_API int yy_parse_file(rsm_t *handle, FILE *file, int flags);

/* Creates a scanner buffer for file of about size bytes, makes it current
 * and puts the scanner in its initial (key) state; NULL when no buffer could
 * be made. flags has no effect. */
RSM_API struct yy_buffer_state *yy_start_lex(FILE *file, size_t size, int flags);

/* Deletes a buffer made by yy_start_lex. */
RSM_API void yy_stop_lex(struct yy_buffer_state *buffer);

/* Next token: its code, 0 at the end of input; the semantic value is in
 * yy_lval (a heap block the caller takes over, NULL for punctuation). */
RSM_API int yy_lex(void);

/* Parses the tokens of the current buffer into the store yy_parse_file set:
 * 0 accepted, 1 syntax error or refused insert, 2 memory exhausted. */
RSM_API int yy_parse(void);

RSM_API void yy_restart(FILE *input_file);
RSM_API struct yy_buffer_state *yy__create_buffer(FILE *file, int size);
RSM_API void yy__delete_buffer(struct yy_buffer_state *buffer);
RSM_API void yy__init_buffer(struct yy_buffer_state *buffer, FILE *file);
RSM_API void yy__flush_buffer(struct yy_buffer_state *buffer);
RSM_API void yy__switch_to_buffer(struct yy_buffer_state *new_buffer);
RSM_API void yy__load_buffer_state(void);
RSM_API struct yy_buffer_state *yy__scan_buffer(char *base, size_t size);
RSM_API struct yy_buffer_state *yy__scan_string(const char *str);
RSM_API struct yy_buffer_state *yy__scan_bytes(const char *bytes, int len);

RSM_API extern FILE *yy_in;
RSM_API extern FILE *yy_out;
RSM_API extern char *yy_text;
RSM_API extern int yy_leng;
RSM_API extern void *yy_lval;
RSM_API extern int yy_char;
RSM_API extern int yy_nerrs;

#ifdef __cplusplus
}
#endif

#endif /* RSM_PARSER_H */
