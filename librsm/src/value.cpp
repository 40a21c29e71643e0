// Value records: name, type and a payload copied by type.
#include <cstdlib>
#include <cstring>

#include "store_impl.h"

namespace rsmlib {

void *copy_payload(int type, const void *payload) noexcept {
    if (payload == nullptr) return nullptr;
    switch (type) {
        case RSM_TYPE_BOOL:
        case RSM_TYPE_INTEGER: {
            void *p = std::malloc(sizeof(int));
            if (p != nullptr) std::memcpy(p, payload, sizeof(int));
            return p;
        }
        case RSM_TYPE_FLOAT: {
            void *p = std::malloc(sizeof(double));
            if (p != nullptr) std::memcpy(p, payload, sizeof(double));
            return p;
        }
        case RSM_TYPE_STRING:
            return strdup(static_cast<const char *>(payload));
        default:
            return nullptr;
    }
}

}  // namespace rsmlib

extern "C" {

RSM_API rsm_value_t *value_alloc(const rsm_value_t *value) {
    if (value == nullptr || value->name == nullptr) return nullptr;
    auto *copy = static_cast<rsm_value_t *>(std::malloc(sizeof(rsm_value_t)));
    if (copy == nullptr) return nullptr;
    copy->name = strdup(value->name);
    copy->type = value->type;
    copy->payload = nullptr;
    // A value of a type the store does not know carries no payload.
    if (rsmlib::known_type(value->type)) {
        copy->payload = rsmlib::copy_payload(value->type, value->payload);
    }
    if (copy->name == nullptr || (rsmlib::known_type(value->type) && copy->payload == nullptr)) {
        std::free(copy->payload);
        std::free(copy->name);
        std::free(copy);
        return nullptr;
    }
    return copy;
}

RSM_API void value_free(rsm_value_t *value) {
    if (value == nullptr) return;
    std::free(value->payload);
    std::free(value->name);
    std::free(value);
}

RSM_API int value_compare(const rsm_value_t *value, const char *name) {
    const char *own = value != nullptr ? value->name : nullptr;
    if (own == nullptr || name == nullptr) return own == name ? 0 : (own == nullptr ? -1 : 1);
    return std::strcmp(own, name);
}

}  // extern "C"
