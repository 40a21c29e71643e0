// Internal layout of stores and sections.
//
// Both keep their elements in insertion order in a vector (positions are
// vector indices + 1) and find them by name through a hash index whose keys
// are views of the names the elements own. Insert and look-up by name or
// position cost O(1); removal is linear in the list length.
#pragma once

#include <string_view>
#include <unordered_map>
#include <vector>

#include "rsm.h"

struct rsm_section {
    char *name = nullptr;  // owned; nullptr for the built-in section
    std::vector<rsm_value_t *> values;
    std::unordered_map<std::string_view, rsm_value_t *> index;
    // The text each FLOAT read from a file had there (it lives in the
    // payload block), so that a rewrite puts it back as it stood. Dropped
    // when the value is set or removed.
    std::unordered_map<const rsm_value_t *, const char *> read_text;
};

struct rsm {
    // sections[0] is always the built-in section; named ones follow.
    std::vector<rsm_section_t *> sections;
    std::unordered_map<std::string_view, rsm_section_t *> index;
};

namespace rsmlib {

// Heap copy of a payload of the given type (malloc'd, freed with free());
// nullptr when payload is null, the type is unknown or memory runs out.
void *copy_payload(int type, const void *payload) noexcept;

// True for the four value types.
inline bool known_type(int type) {
    return type >= RSM_TYPE_BOOL && type <= RSM_TYPE_FLOAT;
}

// Appends a value whose name and payload are malloc'd blocks the section
// takes over on success (0); on failure (RSM_ERR_VALUE_EXISTS,
// RSM_ERR_MALLOC) the caller keeps them. Used by the parser, which has fresh
// copies already. text, when given, is how the value was written in the file
// (it must live inside the payload block).
int adopt_value(rsm_section_t *section, char *name, int type, void *payload,
                const char *text = nullptr) noexcept;

// Finds a section by name (nullptr addresses the built-in one).
rsm_section_t *find_section(const rsm_t *store, const char *name) noexcept;

}  // namespace rsmlib
