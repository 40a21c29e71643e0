// The configuration store's file parser: the input is the file. What parses
// is walked value by value and written out in both formats; the text written
// must read back into a store of the same shape, unless it holds one of the
// forms the writer is known to give and the reader does not take: a float
// that "%g" prints with an exponent (1e+06), inf or nan.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "memfile.h"
#include "rsm.h"
#include "rtu/handles.h"

namespace {

struct Shape {
    int sections = 0;
    long values = 0;
    bool readable = true;  // false: the text writer gives a form the reader refuses
};

bool float_reads_back(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return std::strpbrk(text, "eEnNiI") == nullptr;
}

Shape walk(const rsm_t *store) {
    Shape s;
    s.sections = rsm_get_sections_count(store);
    for (int i = 1; i <= s.sections; ++i) {
        const char *section = rsm_section_get_name_by_position(store, i);
        int n = rsm_section_get_values_count(store, section);
        for (int pos = 1; pos <= n; ++pos) {
            const char *name = nullptr;
            int type = 0;
            void *payload = rsm_value_get_by_position(store, section, pos, &name, &type);
            if (!payload || !name) std::abort();  // counted but not there
            // Looking the value up by its name finds the same one.
            int type2 = 0;
            if (rsm_value_get_by_name(store, section, name, &type2) != payload || type2 != type)
                std::abort();
            if (type == RSM_TYPE_FLOAT && !float_reads_back(*static_cast<const double *>(payload)))
                s.readable = false;
            if (type == RSM_TYPE_STRING && std::strpbrk(static_cast<const char *>(payload), "\"\n"))
                s.readable = false;
            ++s.values;
        }
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::MemFile input(data, size);
    if (!input.ok()) return 0;
    rsm_t *store = rsm_read(input.path().c_str());
    if (!store) return 0;
    Shape first = walk(store);

    if (rtu::FilePtr xml{std::fopen("/dev/null", "w")}) rsm_write_xml(store, xml.get());
    char *text = nullptr;
    size_t text_size = 0;
    rtu::FilePtr out(open_memstream(&text, &text_size));
    if (out) {
        rsm_write(store, out.get());
        out.reset();  // text and text_size are set when the stream is closed
        fuzz::MemFile again(reinterpret_cast<const uint8_t *>(text), text_size);
        rsm_t *reread = again.ok() ? rsm_read(again.path().c_str()) : nullptr;
        if (again.ok() && first.readable) {
            if (!reread) {
                std::fprintf(stderr, "written store does not read back:\n%.*s\n",
                             static_cast<int>(text_size), text);
                std::abort();
            }
            Shape second = walk(reread);
            if (second.sections != first.sections || second.values != first.values) {
                std::fprintf(stderr, "store read back with %d sections %ld values, not %d %ld\n",
                             second.sections, second.values, first.sections, first.values);
                std::abort();
            }
        }
        rsm_free(reread);
        std::free(text);
    }
    rsm_free(store);
    return 0;
}
