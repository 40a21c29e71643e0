// Sections: an ordered list of values with a name index.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "rtu/streams.h"
#include "store_impl.h"

namespace {

// The text a FLOAT had in the file it was read from, while it still says
// what the value holds (a caller may have changed the double in place).
const char *read_text_of(const rsm_section_t *section, const rsm_value_t *v) {
    auto it = section->read_text.find(v);
    if (it == section->read_text.end()) return nullptr;
    double read = std::strtod(it->second, nullptr), stored;
    std::memcpy(&stored, v->payload, sizeof stored);
    return std::bit_cast<std::uint64_t>(read) == std::bit_cast<std::uint64_t>(stored) ? it->second
                                                                                      : nullptr;
}

void write_value_text(const rsm_section_t *section, const rsm_value_t *v, FILE *file) {
    if (v->payload == nullptr) return;
    switch (v->type) {
        case RSM_TYPE_STRING:
            rtu::put(file, "%s = \"%s\"\n", v->name, static_cast<const char *>(v->payload));
            break;
        case RSM_TYPE_BOOL:
            rtu::put(file, "%s = %s\n", v->name,
                     *static_cast<const int *>(v->payload) != 0 ? "TRUE" : "FALSE");
            break;
        case RSM_TYPE_INTEGER:
            rtu::put(file, "%s = %ld\n", v->name,
                     static_cast<long>(*static_cast<const int *>(v->payload)));
            break;
        case RSM_TYPE_FLOAT:
            if (const char *text = read_text_of(section, v)) {
                rtu::put(file, "%s = %s\n", v->name, text);
            } else {
                rtu::put(file, "%s = %g\n", v->name, *static_cast<const double *>(v->payload));
            }
            break;
        default:
            break;
    }
}

void write_value_xml(const rsm_value_t *v, FILE *file) {
    if (v->payload == nullptr) return;
    switch (v->type) {
        case RSM_TYPE_STRING:
            rtu::put(file, "<RSM_VALUE NAME=\"%s\" TYPE=\"STRING\" VALUE=\"%s\"/>\n", v->name,
                     static_cast<const char *>(v->payload));
            break;
        case RSM_TYPE_BOOL:
            rtu::put(file, "<RSM_VALUE NAME=\"%s\" TYPE=\"BOOL\" VALUE=\"%s\"/>\n", v->name,
                     *static_cast<const int *>(v->payload) != 0 ? "TRUE" : "FALSE");
            break;
        case RSM_TYPE_INTEGER:
            rtu::put(file, "<RSM_VALUE NAME=\"%s\" TYPE=\"INTEGER\" VALUE=\"%ld\"/>\n", v->name,
                     static_cast<long>(*static_cast<const int *>(v->payload)));
            break;
        case RSM_TYPE_FLOAT:
            rtu::put(file, "<RSM_VALUE NAME=\"%s\" TYPE=\"FLOAT\" VALUE=\"%g\"/>\n", v->name,
                     *static_cast<const double *>(v->payload));
            break;
        default:
            break;
    }
}

rsm_value_t *find_value(const rsm_section_t *section, const char *name) {
    if (section == nullptr || name == nullptr) return nullptr;
    auto it = section->index.find(std::string_view(name));
    return it == section->index.end() ? nullptr : it->second;
}

rsm_value_t *value_at(const rsm_section_t *section, int position) {
    if (section == nullptr || position < 1) return nullptr;
    if (static_cast<std::size_t>(position) > section->values.size()) return nullptr;
    return section->values[static_cast<std::size_t>(position) - 1];
}

// Appends a record the section owns from now on (freed on failure).
int append_record(rsm_section_t *section, rsm_value_t *record) {
    try {
        section->values.push_back(record);
    } catch (...) {
        return RSM_ERR_MALLOC;
    }
    try {
        section->index.emplace(std::string_view(record->name), record);
    } catch (...) {
        section->values.pop_back();
        return RSM_ERR_MALLOC;
    }
    return RSM_OK;
}

}  // namespace

namespace rsmlib {

int adopt_value(rsm_section_t *section, char *name, int type, void *payload,
                const char *text) noexcept {
    if (section == nullptr || name == nullptr) return RSM_ERR_MALLOC;
    if (find_value(section, name) != nullptr) return RSM_ERR_VALUE_EXISTS;
    auto *record = static_cast<rsm_value_t *>(std::malloc(sizeof(rsm_value_t)));
    if (record == nullptr) return RSM_ERR_MALLOC;
    *record = rsm_value_t{name, type, known_type(type) ? payload : nullptr};
    if (text != nullptr && type == RSM_TYPE_FLOAT) {
        try {
            section->read_text.emplace(record, text);
        } catch (...) {
            std::free(record);
            return RSM_ERR_MALLOC;
        }
    }
    int rc = append_record(section, record);
    if (rc != RSM_OK) {
        section->read_text.erase(record);
        std::free(record);
        return rc;
    }
    if (!known_type(type)) std::free(payload);
    return RSM_OK;
}

}  // namespace rsmlib

extern "C" {

RSM_API rsm_section_t *section_alloc(const char *name) {
    try {
        auto *section = new rsm_section;
        if (name != nullptr) {
            section->name = strdup(name);
            if (section->name == nullptr) {
                delete section;
                return nullptr;
            }
        }
        return section;
    } catch (...) {
        return nullptr;
    }
}

RSM_API void section_free(rsm_section_t *section) {
    if (section == nullptr) return;
    for (rsm_value_t *v : section->values) value_free(v);
    std::free(section->name);
    delete section;
}

RSM_API int section_compare(const rsm_section_t *section, const char *name) {
    const char *own = section != nullptr ? section->name : nullptr;
    if (own == nullptr || name == nullptr) return own == name ? 0 : (own == nullptr ? -1 : 1);
    return std::strcmp(own, name);
}

RSM_API void section_write(const rsm_section_t *section, FILE *file) {
    if (section == nullptr || file == nullptr) return;
    if (section->name != nullptr) rtu::put(file, "[%s]\n", section->name);
    for (const rsm_value_t *v : section->values) write_value_text(section, v, file);
}

RSM_API void section_write_xml(const rsm_section_t *section, FILE *file) {
    if (section == nullptr || file == nullptr) return;
    unsigned long count = static_cast<unsigned long>(section->values.size());
    if (section->name == nullptr) {
        rtu::put(file, "<RSM_BUILT_IN_SECTION VALUES=\"%lu\">\n", count);
    } else {
        rtu::put(file, "<RSM_SECTION NAME=\"%s\" VALUES=\"%lu\">\n", section->name, count);
    }
    for (const rsm_value_t *v : section->values) write_value_xml(v, file);
    rtu::put_text(file,
                  section->name == nullptr ? "</RSM_BUILT_IN_SECTION>\n" : "</RSM_SECTION>\n");
}

RSM_API int section_add_value(rsm_section_t *section, const char *name, int type,
                              const void *payload) {
    if (section == nullptr || name == nullptr) return RSM_ERR_MALLOC;
    if (find_value(section, name) != nullptr) return RSM_ERR_VALUE_EXISTS;
    rsm_value_t given{const_cast<char *>(name), type, const_cast<void *>(payload)};
    rsm_value_t *copy = value_alloc(&given);
    if (copy == nullptr) return RSM_ERR_MALLOC;
    int rc = append_record(section, copy);
    if (rc != RSM_OK) value_free(copy);
    return rc;
}

RSM_API int section_remove_value(rsm_section_t *section, const char *name) {
    rsm_value_t *v = find_value(section, name);
    if (v == nullptr) return RSM_ERR_VALUE_NOT_EXIST;
    section->index.erase(std::string_view(v->name));
    section->read_text.erase(v);
    for (auto it = section->values.begin(); it != section->values.end(); ++it) {
        if (*it == v) {
            section->values.erase(it);
            break;
        }
    }
    value_free(v);
    return RSM_OK;
}

RSM_API int section_set_value(rsm_section_t *section, const char *name, int type,
                              const void *payload) {
    rsm_value_t *v = find_value(section, name);
    if (v == nullptr) return RSM_ERR_VALUE_NOT_EXIST;
    void *copy = nullptr;
    if (rsmlib::known_type(type)) {
        // Copy first: when that fails the value keeps its old type and payload.
        copy = rsmlib::copy_payload(type, payload);
        if (copy == nullptr) return RSM_ERR_MALLOC;
    }
    section->read_text.erase(v);
    std::free(v->payload);
    v->payload = copy;
    v->type = type;
    return RSM_OK;
}

RSM_API void *section_get_value(const rsm_section_t *section, const char *name, int *type) {
    rsm_value_t *v = find_value(section, name);
    if (v == nullptr) return nullptr;
    if (type != nullptr) *type = v->type;
    return v->payload;
}

RSM_API void *section_get_value_by_pos(const rsm_section_t *section, int position,
                                       const char **name, int *type) {
    rsm_value_t *v = value_at(section, position);
    if (v == nullptr) return nullptr;
    if (name != nullptr) *name = v->name;
    if (type != nullptr) *type = v->type;
    return v->payload;
}

RSM_API int section_get_values_number(const rsm_section_t *section) {
    return section == nullptr ? 0 : static_cast<int>(section->values.size());
}

RSM_API const char *section_get_name(const rsm_section_t *section) {
    return section == nullptr ? nullptr : section->name;
}

}  // extern "C"
