// The store: sections in file order, the built-in section first.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rsm_parser.h"
#include "rtu/handles.h"
#include "rtu/streams.h"
#include "store_impl.h"

namespace rsmlib {

rsm_section_t *find_section(const rsm_t *store, const char *name) noexcept {
    if (store == nullptr || store->sections.empty()) return nullptr;
    if (name == nullptr) return store->sections.front();
    auto it = store->index.find(std::string_view(name));
    return it == store->index.end() ? nullptr : it->second;
}

}  // namespace rsmlib

namespace {

void free_sections(rsm_t *store) {
    for (rsm_section_t *s : store->sections) section_free(s);
    store->sections.clear();
    store->index.clear();
}

}  // namespace

extern "C" {

RSM_API rsm_t *rsm_alloc(void) {
    rsm_t *store = nullptr;
    try {
        store = new rsm;
        store->sections.reserve(8);
        rsm_section_t *builtin = section_alloc(nullptr);
        if (builtin == nullptr) {
            delete store;
            return nullptr;
        }
        store->sections.push_back(builtin);  // within the reserved capacity
        return store;
    } catch (...) {
        delete store;
        return nullptr;
    }
}

RSM_API void rsm_free(rsm_t *store) {
    if (store == nullptr) return;
    free_sections(store);
    delete store;
}

RSM_API rsm_t *rsm_read(const char *path) {
    if (path == nullptr) return nullptr;
    rtu::FilePtr file(std::fopen(path, "re"));
    if (!file) return nullptr;
    rsm_t *store = rsm_alloc();
    if (store != nullptr && rsm_init_from_file(store, file.get(), 0) < 0) {
        rsm_free(store);
        store = nullptr;
    }
    return store;
}

RSM_API int rsm_init_from_file(rsm_t *store, FILE *file, int flags) {
    if (store == nullptr) return RSM_ERR_MALLOC;
    if (store->sections.size() > 1) {
        // Start again from a fresh built-in section; made first so that a
        // failure leaves the store as it was.
        rsm_section_t *builtin = section_alloc(nullptr);
        if (builtin == nullptr) return RSM_ERR_MALLOC;
        free_sections(store);
        store->sections.push_back(builtin);  // capacity is still there
    }
    return yy_parse_file(store, file, flags);
}

RSM_API void rsm_write(const rsm_t *store, FILE *file) {
    if (store == nullptr || file == nullptr) return;
    for (const rsm_section_t *s : store->sections) section_write(s, file);
}

RSM_API void rsm_write_xml(const rsm_t *store, FILE *file) {
    if (store == nullptr || file == nullptr) return;
    rtu::put(file, "<RSM REF=\"%p\" SECTIONS=\"%d\">\n", static_cast<const void *>(store),
             rsm_get_sections_count(store));
    for (const rsm_section_t *s : store->sections) section_write_xml(s, file);
    rtu::put_text(file, "</RSM>\n");
}

RSM_API int rsm_section_insert(rsm_t *store, const char *name) {
    if (store == nullptr) return RSM_ERR_MALLOC;
    if (rsmlib::find_section(store, name) != nullptr) return RSM_ERR_SECTION_EXISTS;
    rsm_section_t *section = section_alloc(name);
    if (section == nullptr) return RSM_ERR_MALLOC;
    try {
        store->sections.push_back(section);
    } catch (...) {
        section_free(section);
        return RSM_ERR_MALLOC;
    }
    try {
        store->index.emplace(std::string_view(section->name), section);
    } catch (...) {
        store->sections.pop_back();
        section_free(section);
        return RSM_ERR_MALLOC;
    }
    return RSM_OK;
}

RSM_API int rsm_section_remove(rsm_t *store, const char *name) {
    if (name == nullptr) return RSM_ERR_SECTION_NOT_EXISTS;
    rsm_section_t *section = rsmlib::find_section(store, name);
    if (section == nullptr) return RSM_ERR_SECTION_NOT_EXISTS;
    store->index.erase(std::string_view(section->name));
    for (auto it = store->sections.begin(); it != store->sections.end(); ++it) {
        if (*it == section) {
            store->sections.erase(it);
            break;
        }
    }
    section_free(section);
    return RSM_OK;
}

RSM_API int rsm_get_sections_count(const rsm_t *store) {
    return store == nullptr ? 0 : static_cast<int>(store->sections.size());
}

RSM_API const char *rsm_section_get_name_by_position(const rsm_t *store, int position) {
    if (store == nullptr || position < 1) return nullptr;
    if (static_cast<std::size_t>(position) > store->sections.size()) return nullptr;
    return store->sections[static_cast<std::size_t>(position) - 1]->name;
}

RSM_API int rsm_section_get_values_count(const rsm_t *store, const char *section) {
    rsm_section_t *s = rsmlib::find_section(store, section);
    return s == nullptr ? RSM_ERR_SECTION_NOT_EXISTS : section_get_values_number(s);
}

RSM_API int rsm_value_insert(rsm_t *store, const char *section, const char *name, int type,
                             const void *payload) {
    rsm_section_t *s = rsmlib::find_section(store, section);
    if (s == nullptr) return RSM_ERR_SECTION_NOT_EXISTS;
    return section_add_value(s, name, type, payload);
}

RSM_API int rsm_value_remove(rsm_t *store, const char *section, const char *name) {
    rsm_section_t *s = rsmlib::find_section(store, section);
    if (s == nullptr) return RSM_ERR_SECTION_NOT_EXISTS;
    return section_remove_value(s, name);
}

RSM_API int rsm_value_set_by_name(rsm_t *store, const char *section, const char *name, int type,
                                  const void *payload) {
    rsm_section_t *s = rsmlib::find_section(store, section);
    if (s == nullptr) return RSM_ERR_SECTION_NOT_EXISTS;
    return section_set_value(s, name, type, payload);
}

RSM_API void *rsm_value_get_by_name(const rsm_t *store, const char *section, const char *name,
                                    int *type) {
    return section_get_value(rsmlib::find_section(store, section), name, type);
}

RSM_API void *rsm_value_get_by_position(const rsm_t *store, const char *section, int position,
                                        const char **name, int *type) {
    return section_get_value_by_pos(rsmlib::find_section(store, section), position, name, type);
}

}  // extern "C"
