/* Grammar of the configuration text format.
 *
 *   file     := values | values sections
 *   section  := "[" NAME "]" values
 *   value    := key "=" (STRING | INTEGER | FLOAT | BOOL)
 *
 * Each value is stored as soon as it is read, and the list of values is
 * left-recursive, so the parser stack stays a few entries deep however many
 * values a section holds.
 */
%code top {
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <sys/stat.h>

#include "rsm_parser.h"
#include "parse_state.h"
#include "store_impl.h"
}

%code {
namespace {

// State of the read in progress: one at a time in the process, whatever
// thread reads (held by yy_parse_file).
std::mutex parse_mutex;
rsm_t *handle = nullptr;
char *section_name = nullptr;  // owned; nullptr: the built-in section
rsm_section_t *section = nullptr;  // the section section_name names
int rc = 0;                    // result of the last insert

// Syntax errors end the read; nothing is printed.
void yy_error(const char *msg) { (void)msg; }

// Header read: the following values go to the new section.
bool begin_section(void *name) {
    if (name == nullptr) return false;
    std::free(section_name);
    section_name = static_cast<char *>(name);
    rc = rsm_section_insert(handle, section_name);
    section = rc >= 0 ? rsmlib::find_section(handle, section_name) : nullptr;
    return rc >= 0;
}

// Assignment read: the current section takes over both blocks (they are
// fresh copies of the text already); freed here when it refuses them.
bool store_value(void *key, int type, void *value) {
    if (key == nullptr || value == nullptr) {
        std::free(key);
        std::free(value);
        return false;
    }
    if (section == nullptr) {
        rc = RSM_ERR_SECTION_NOT_EXISTS;
    } else {
        const char *text = type == RSM_TYPE_FLOAT ? rsmlib::float_token_text(value) : nullptr;
        rc = rsmlib::adopt_value(section, static_cast<char *>(key), type, value, text);
    }
    if (rc < 0) {
        std::free(key);
        std::free(value);
    }
    return rc >= 0;
}

}  // namespace
}

%define api.prefix {yy_}
%define api.value.type {void *}

%token BOOL 257
%token STRING 258
%token INTEGER 259
%token FLOAT 260
%token NAME 261
%token EQUAL 262
%token LBRACKET 263
%token RBRACKET 264

%destructor { std::free($$); } BOOL STRING INTEGER FLOAT NAME key

%start file

%%

file
    : values
    | values sections
    ;

sections
    : section
    | sections section
    ;

section
    : LBRACKET NAME RBRACKET
        {
            void *name = $2;
            $2 = nullptr;  /* section_name owns it now */
            if (!begin_section(name)) YYABORT;
        }
      values
    ;

values
    : %empty        { $$ = nullptr; }
    | values value  { $$ = nullptr; }
    ;

value
    : key EQUAL STRING   { $$ = nullptr; if (!store_value($1, RSM_TYPE_STRING, $3)) YYABORT; }
    | key EQUAL INTEGER  { $$ = nullptr; if (!store_value($1, RSM_TYPE_INTEGER, $3)) YYABORT; }
    | key EQUAL FLOAT    { $$ = nullptr; if (!store_value($1, RSM_TYPE_FLOAT, $3)) YYABORT; }
    | key EQUAL BOOL     { $$ = nullptr; if (!store_value($1, RSM_TYPE_BOOL, $3)) YYABORT; }
    ;

key
    : NAME  { $$ = $1; }
    ;

%%

extern "C" {

RSM_API int yy_parse_file(rsm_t *store, FILE *file, int flags) {
    if (file == nullptr) return RSM_ERR_FILE_READ;
    struct stat st;
    int fd = fileno(file);
    if (fd < 0 || fstat(fd, &st) != 0) return RSM_ERR_FILE_READ;
    std::size_t size = 0;
    if (S_ISREG(st.st_mode) && st.st_size > 0) size = static_cast<std::size_t>(st.st_size);

    std::unique_lock<std::mutex> one_read(parse_mutex, std::defer_lock);
    try {
        one_read.lock();
    } catch (...) {
        return RSM_ERR_FILE_READ;
    }
    struct yy_buffer_state *buffer = yy_start_lex(file, size, flags);
    if (buffer == nullptr) return RSM_ERR_MALLOC;

    handle = store;
    section = rsmlib::find_section(store, nullptr);
    rc = 0;
    yy_nerrs = 0;  // errors of this read only
    int result;
    try {
        result = yy_parse();
    } catch (...) {
        result = 2;
        rc = RSM_ERR_MALLOC;
    }
    std::free(section_name);
    section_name = nullptr;
    section = nullptr;
    handle = nullptr;
    yy_stop_lex(buffer);

    if (rsmlib::scan_failure != 0) return rsmlib::scan_failure;
    if (result == 0) return RSM_OK;
    // A refused insert for want of memory is reported as such; a section or
    // key given twice is a fault of the file.
    if (rc == RSM_ERR_MALLOC) return RSM_ERR_MALLOC;
    return RSM_ERR_FILE_PARSE;
}

}  // extern "C"
