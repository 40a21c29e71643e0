/* A C user of the installed library: header and pkg-config only. */
#include <rsm.h>
#include <rsm_parser.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            failures++;                                                \
        }                                                              \
    } while (0)

int main(int argc, char **argv) {
    rsm_t *store;
    int type = -1;
    int v = 8;
    const int *ip;
    const char *sp;
    FILE *out;

    if (argc != 3) {
        fprintf(stderr, "usage: %s in.conf out.conf\n", argv[0]);
        return 2;
    }
    store = rsm_read(argv[1]);
    CHECK(store != NULL);
    if (store == NULL) return 1;
    CHECK(rsm_get_sections_count(store) == 2);
    ip = (const int *)rsm_value_get_by_name(store, "net", "port", &type);
    CHECK(ip != NULL && *ip == 8 && type == RSM_TYPE_INTEGER);
    sp = (const char *)rsm_value_get_by_name(store, NULL, "name", &type);
    CHECK(sp != NULL && strcmp(sp, "router one") == 0 && type == RSM_TYPE_STRING);
    CHECK(rsm_value_insert(store, "net", "port", RSM_TYPE_INTEGER, &v) == RSM_ERR_VALUE_EXISTS);
    CHECK(rsm_value_set_by_name(store, "net", "port", RSM_TYPE_STRING, "eight") == RSM_OK);
    CHECK(strcmp(rsm_errcode_to_string(RSM_ERR_FILE_PARSE), "RSM_ERR_FILE_PARSE") == 0);
    CHECK(strcmp(rsm_errcode_to_message(-3), "The section does not exists") == 0);
    CHECK(ErrorMessages[0].code == -1);
    CHECK(section_get_values_number(NULL) == 0);

    out = fopen(argv[2], "w");
    CHECK(out != NULL);
    if (out != NULL) {
        rsm_write(store, out);
        fclose(out);
    }
    rsm_free(store);
    if (failures == 0) printf("C interface: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
