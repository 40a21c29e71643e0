// Store, section and value operations, and the error table.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "rsm_test_util.h"

using rsmtest::Store;

namespace {

int integer_at(const rsm_t *s, const char *sec, const char *name) {
    const int *p = rsmtest::get_int(s, sec, name, RSM_TYPE_INTEGER);
    return p == nullptr ? -999999 : *p;
}

}  // namespace

TEST(RsmStore, NewStoreHoldsOnlyTheBuiltInSection) {
    Store s(rsm_alloc());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(rsm_get_sections_count(s.get()), 1);
    EXPECT_EQ(rsm_section_get_name_by_position(s.get(), 1), nullptr);
    EXPECT_EQ(rsm_section_get_name_by_position(s.get(), 0), nullptr);
    EXPECT_EQ(rsm_section_get_name_by_position(s.get(), 2), nullptr);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), nullptr), 0);
}

TEST(RsmStore, SectionInsertAndRemove) {
    Store s(rsm_alloc());
    EXPECT_EQ(rsm_section_insert(s.get(), nullptr), RSM_ERR_SECTION_EXISTS);
    EXPECT_EQ(rsm_section_remove(s.get(), nullptr), RSM_ERR_SECTION_NOT_EXISTS);
    EXPECT_EQ(rsm_section_insert(s.get(), "a"), 0);
    EXPECT_EQ(rsm_section_insert(s.get(), "b"), 0);
    EXPECT_EQ(rsm_section_insert(s.get(), "a"), RSM_ERR_SECTION_EXISTS);
    EXPECT_EQ(rsm_section_insert(s.get(), "A"), 0);
    EXPECT_EQ(rsm_section_insert(s.get(), ""), 0);  // an empty name is a name
    EXPECT_EQ(rsm_get_sections_count(s.get()), 5);

    int v = 1;
    ASSERT_EQ(rsm_value_insert(s.get(), "a", "k", RSM_TYPE_INTEGER, &v), 0);
    EXPECT_EQ(rsm_section_remove(s.get(), "a"), 0);
    EXPECT_EQ(rsm_section_remove(s.get(), "a"), RSM_ERR_SECTION_NOT_EXISTS);
    EXPECT_EQ(rsm_value_get_by_name(s.get(), "a", "k", nullptr), nullptr);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), "a"), RSM_ERR_SECTION_NOT_EXISTS);
    EXPECT_EQ(rsm_get_sections_count(s.get()), 4);
    EXPECT_STREQ(rsm_section_get_name_by_position(s.get(), 2), "b");
    EXPECT_STREQ(rsm_section_get_name_by_position(s.get(), 3), "A");
    EXPECT_STREQ(rsm_section_get_name_by_position(s.get(), 4), "");
    // Removed and inserted again: goes to the tail, empty.
    EXPECT_EQ(rsm_section_insert(s.get(), "a"), 0);
    EXPECT_STREQ(rsm_section_get_name_by_position(s.get(), 5), "a");
    EXPECT_EQ(rsm_section_get_values_count(s.get(), "a"), 0);
}

TEST(RsmStore, ValueInsertCodes) {
    Store s(rsm_alloc());
    int v = 5;
    EXPECT_EQ(rsm_value_insert(s.get(), "none", "k", RSM_TYPE_INTEGER, &v),
              RSM_ERR_SECTION_NOT_EXISTS);
    EXPECT_EQ(rsm_value_insert(s.get(), nullptr, "k", RSM_TYPE_INTEGER, &v), 0);
    EXPECT_EQ(rsm_value_insert(s.get(), nullptr, "k", RSM_TYPE_STRING, "x"), RSM_ERR_VALUE_EXISTS);
    ASSERT_EQ(rsm_section_insert(s.get(), "s"), 0);
    EXPECT_EQ(rsm_value_insert(s.get(), "s", "k", RSM_TYPE_STRING, "x"), 0);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), nullptr), 1);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), "s"), 1);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), "t"), RSM_ERR_SECTION_NOT_EXISTS);
}

TEST(RsmStore, InsertCopiesNameAndPayload) {
    Store s(rsm_alloc());
    char name[] = "key";
    char text[] = "hello";
    int i = 42;
    double d = 2.5;
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, name, RSM_TYPE_STRING, text), 0);
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "i", RSM_TYPE_INTEGER, &i), 0);
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "d", RSM_TYPE_FLOAT, &d), 0);
    std::strcpy(name, "xyz");
    std::strcpy(text, "HELLO");
    i = 0;
    d = 0;
    int type = -1;
    auto *p = static_cast<const char *>(rsm_value_get_by_name(s.get(), nullptr, "key", &type));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "hello");
    EXPECT_EQ(type, RSM_TYPE_STRING);
    EXPECT_EQ(rsm_value_get_by_name(s.get(), nullptr, "xyz", nullptr), nullptr);
    EXPECT_EQ(integer_at(s.get(), nullptr, "i"), 42);
    auto *dp = static_cast<const double *>(rsm_value_get_by_name(s.get(), nullptr, "d", &type));
    ASSERT_NE(dp, nullptr);
    EXPECT_EQ(type, RSM_TYPE_FLOAT);
    EXPECT_DOUBLE_EQ(*dp, 2.5);
}

TEST(RsmStore, LookupsLeaveOutTypeAloneWhenNothingIsFound) {
    Store s(rsm_alloc());
    int v = 1;
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "k", RSM_TYPE_BOOL, &v), 0);
    int type = 77;
    const char *name = "untouched";
    EXPECT_EQ(rsm_value_get_by_name(s.get(), nullptr, "nope", &type), nullptr);
    EXPECT_EQ(rsm_value_get_by_name(s.get(), "nosec", "k", &type), nullptr);
    EXPECT_EQ(rsm_value_get_by_name(s.get(), nullptr, nullptr, &type), nullptr);
    EXPECT_EQ(rsm_value_get_by_position(s.get(), nullptr, 0, &name, &type), nullptr);
    EXPECT_EQ(rsm_value_get_by_position(s.get(), nullptr, 2, &name, &type), nullptr);
    EXPECT_EQ(rsm_value_get_by_position(s.get(), nullptr, -1, &name, &type), nullptr);
    EXPECT_EQ(rsm_value_get_by_position(s.get(), "nosec", 1, &name, &type), nullptr);
    EXPECT_EQ(type, 77);
    EXPECT_STREQ(name, "untouched");
    ASSERT_NE(rsm_value_get_by_position(s.get(), nullptr, 1, &name, &type), nullptr);
    EXPECT_STREQ(name, "k");
    EXPECT_EQ(type, RSM_TYPE_BOOL);
    // Out arguments may be NULL.
    EXPECT_NE(rsm_value_get_by_position(s.get(), nullptr, 1, nullptr, nullptr), nullptr);
    EXPECT_NE(rsm_value_get_by_name(s.get(), nullptr, "k", nullptr), nullptr);
}

TEST(RsmStore, ValueRemoveKeepsTheOrderOfTheRest) {
    Store s(rsm_alloc());
    ASSERT_EQ(rsm_section_insert(s.get(), "s"), 0);
    for (int i = 1; i <= 4; ++i) {
        ASSERT_EQ(
            rsm_value_insert(s.get(), "s", ("k" + std::to_string(i)).c_str(), RSM_TYPE_INTEGER, &i),
            0);
    }
    EXPECT_EQ(rsm_value_remove(s.get(), "t", "k1"), RSM_ERR_SECTION_NOT_EXISTS);
    EXPECT_EQ(rsm_value_remove(s.get(), "s", "k9"), RSM_ERR_VALUE_NOT_EXIST);
    EXPECT_EQ(rsm_value_remove(s.get(), "s", "k2"), 0);
    EXPECT_EQ(rsm_value_remove(s.get(), "s", "k2"), RSM_ERR_VALUE_NOT_EXIST);
    int five = 5;
    ASSERT_EQ(rsm_value_insert(s.get(), "s", "k2", RSM_TYPE_INTEGER, &five), 0);
    std::vector<std::string> order;
    for (int pos = 1; pos <= rsm_section_get_values_count(s.get(), "s"); ++pos) {
        const char *name = nullptr;
        ASSERT_NE(rsm_value_get_by_position(s.get(), "s", pos, &name, nullptr), nullptr);
        order.emplace_back(name);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"k1", "k3", "k4", "k2"}));
    EXPECT_EQ(integer_at(s.get(), "s", "k2"), 5);
}

TEST(RsmStore, SetChangesPayloadAndType) {
    Store s(rsm_alloc());
    int v = 3;
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "k", RSM_TYPE_INTEGER, &v), 0);
    EXPECT_EQ(rsm_value_set_by_name(s.get(), "x", "k", RSM_TYPE_INTEGER, &v),
              RSM_ERR_SECTION_NOT_EXISTS);
    EXPECT_EQ(rsm_value_set_by_name(s.get(), nullptr, "j", RSM_TYPE_INTEGER, &v),
              RSM_ERR_VALUE_NOT_EXIST);
    int w = 4;
    EXPECT_EQ(rsm_value_set_by_name(s.get(), nullptr, "k", RSM_TYPE_INTEGER, &w), 0);
    EXPECT_EQ(integer_at(s.get(), nullptr, "k"), 4);
    EXPECT_EQ(rsm_value_set_by_name(s.get(), nullptr, "k", RSM_TYPE_STRING, "now text"), 0);
    int type = -1;
    auto *p = static_cast<const char *>(rsm_value_get_by_name(s.get(), nullptr, "k", &type));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(type, RSM_TYPE_STRING);
    EXPECT_STREQ(p, "now text");
    double d = 0.5;
    EXPECT_EQ(rsm_value_set_by_name(s.get(), nullptr, "k", RSM_TYPE_FLOAT, &d), 0);
    EXPECT_EQ(rsmtest::text_of(s.get()), "k = 0.5\n");
    // The value keeps its place.
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "z", RSM_TYPE_INTEGER, &v), 0);
    EXPECT_EQ(rsm_value_set_by_name(s.get(), nullptr, "k", RSM_TYPE_BOOL, &v), 0);
    EXPECT_EQ(rsmtest::text_of(s.get()), "k = TRUE\nz = 3\n");
}

TEST(RsmStore, SetWithoutPayloadLeavesTheValueAsItWas) {
    Store s(rsm_alloc());
    int v = 3;
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "k", RSM_TYPE_INTEGER, &v), 0);
    EXPECT_EQ(rsm_value_set_by_name(s.get(), nullptr, "k", RSM_TYPE_STRING, nullptr),
              RSM_ERR_MALLOC);
    EXPECT_EQ(integer_at(s.get(), nullptr, "k"), 3);
    EXPECT_EQ(rsm_value_insert(s.get(), nullptr, "j", RSM_TYPE_STRING, nullptr), RSM_ERR_MALLOC);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), nullptr), 1);
}

TEST(RsmStore, UnknownTypesCarryNoPayloadAndAreNotWritten) {
    Store s(rsm_alloc());
    int v = 9;
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "odd", 7, &v), 0);
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "n", RSM_TYPE_INTEGER, &v), 0);
    int type = -1;
    EXPECT_EQ(rsm_value_get_by_name(s.get(), nullptr, "odd", &type), nullptr);
    EXPECT_EQ(type, 7);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), nullptr), 2);
    EXPECT_EQ(rsmtest::text_of(s.get()), "n = 9\n");
    // Set to an unknown type drops the payload; set back restores a value.
    EXPECT_EQ(rsm_value_set_by_name(s.get(), nullptr, "n", 42, &v), 0);
    EXPECT_EQ(rsmtest::text_of(s.get()), "");
    EXPECT_EQ(rsm_value_set_by_name(s.get(), nullptr, "n", RSM_TYPE_INTEGER, &v), 0);
    EXPECT_EQ(rsmtest::text_of(s.get()), "n = 9\n");
}

TEST(RsmStore, PointersStayValidWhileOtherValuesComeAndGo) {
    Store s(rsm_alloc());
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "keep", RSM_TYPE_STRING, "kept"), 0);
    ASSERT_EQ(rsm_section_insert(s.get(), "s"), 0);
    ASSERT_EQ(rsm_value_insert(s.get(), "s", "keep", RSM_TYPE_STRING, "too"), 0);
    auto *p = static_cast<const char *>(rsm_value_get_by_name(s.get(), nullptr, "keep", nullptr));
    auto *q = static_cast<const char *>(rsm_value_get_by_name(s.get(), "s", "keep", nullptr));
    const char *sec_name = rsm_section_get_name_by_position(s.get(), 2);
    for (int i = 0; i < 5000; ++i) {
        std::string n = "v" + std::to_string(i);
        ASSERT_EQ(rsm_value_insert(s.get(), nullptr, n.c_str(), RSM_TYPE_INTEGER, &i), 0);
        ASSERT_EQ(rsm_section_insert(s.get(), n.c_str()), 0);
    }
    for (int i = 0; i < 5000; i += 2) {
        std::string n = "v" + std::to_string(i);
        ASSERT_EQ(rsm_value_remove(s.get(), nullptr, n.c_str()), 0);
        ASSERT_EQ(rsm_section_remove(s.get(), n.c_str()), 0);
    }
    EXPECT_STREQ(p, "kept");
    EXPECT_STREQ(q, "too");
    EXPECT_STREQ(sec_name, "s");
    EXPECT_EQ(integer_at(s.get(), nullptr, "v4999"), 4999);
    EXPECT_EQ(rsm_value_get_by_name(s.get(), nullptr, "v4998", nullptr), nullptr);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), nullptr), 1 + 2500);
    EXPECT_EQ(rsm_get_sections_count(s.get()), 2 + 2500);
}

TEST(RsmStore, FillingLargeSectionsStaysFast) {
    // Name look-ups are hashed: 200,000 inserts and look-ups take well under
    // a second; with a linear search they would take minutes.
    constexpr int kValues = 200000;
    Store s(rsm_alloc());
    ASSERT_EQ(rsm_section_insert(s.get(), "big"), 0);
    std::vector<std::string> names;
    names.reserve(kValues);
    for (int i = 0; i < kValues; ++i) names.push_back("value_" + std::to_string(i));
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kValues; ++i) {
        ASSERT_EQ(rsm_value_insert(s.get(), "big", names[i].c_str(), RSM_TYPE_INTEGER, &i), 0);
    }
    for (int i = 0; i < kValues; ++i) ASSERT_EQ(integer_at(s.get(), "big", names[i].c_str()), i);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(20));
}

TEST(RsmStore, NullStoreIsHarmless) {
    rsm_free(nullptr);
    EXPECT_EQ(rsm_get_sections_count(nullptr), 0);
    EXPECT_EQ(rsm_section_get_name_by_position(nullptr, 1), nullptr);
    EXPECT_EQ(rsm_value_get_by_name(nullptr, nullptr, "k", nullptr), nullptr);
    EXPECT_EQ(rsm_section_remove(nullptr, "s"), RSM_ERR_SECTION_NOT_EXISTS);
    EXPECT_EQ(rsm_value_insert(nullptr, nullptr, "k", RSM_TYPE_STRING, "v"),
              RSM_ERR_SECTION_NOT_EXISTS);
}

TEST(RsmSection, OperationsOnASectionOfItsOwn) {
    rsm_section_t *sec = section_alloc("net");
    ASSERT_NE(sec, nullptr);
    EXPECT_STREQ(section_get_name(sec), "net");
    EXPECT_EQ(section_compare(sec, "net"), 0);
    EXPECT_NE(section_compare(sec, "Net"), 0);
    EXPECT_NE(section_compare(sec, nullptr), 0);
    int v = 10;
    EXPECT_EQ(section_add_value(sec, "a", RSM_TYPE_INTEGER, &v), 0);
    EXPECT_EQ(section_add_value(sec, "a", RSM_TYPE_INTEGER, &v), RSM_ERR_VALUE_EXISTS);
    EXPECT_EQ(section_add_value(sec, "b", RSM_TYPE_STRING, "x"), 0);
    EXPECT_EQ(section_get_values_number(sec), 2);
    EXPECT_EQ(section_set_value(sec, "c", RSM_TYPE_INTEGER, &v), RSM_ERR_VALUE_NOT_EXIST);
    EXPECT_EQ(section_set_value(sec, "a", RSM_TYPE_STRING, "y"), 0);
    int type = -1;
    EXPECT_STREQ(static_cast<const char *>(section_get_value(sec, "a", &type)), "y");
    EXPECT_EQ(type, RSM_TYPE_STRING);
    const char *name = nullptr;
    EXPECT_STREQ(static_cast<const char *>(section_get_value_by_pos(sec, 2, &name, &type)), "x");
    EXPECT_STREQ(name, "b");
    EXPECT_EQ(section_get_value_by_pos(sec, 3, &name, &type), nullptr);
    EXPECT_EQ(rsmtest::capture([sec](FILE *f) { section_write(sec, f); }),
              "[net]\na = \"y\"\nb = \"x\"\n");
    EXPECT_EQ(section_remove_value(sec, "a"), 0);
    EXPECT_EQ(section_remove_value(sec, "a"), RSM_ERR_VALUE_NOT_EXIST);
    EXPECT_EQ(section_get_values_number(sec), 1);
    section_free(sec);

    rsm_section_t *builtin = section_alloc(nullptr);
    ASSERT_NE(builtin, nullptr);
    EXPECT_EQ(section_get_name(builtin), nullptr);
    EXPECT_EQ(section_compare(builtin, nullptr), 0);
    EXPECT_NE(section_compare(builtin, ""), 0);
    section_free(builtin);
    section_free(nullptr);
}

TEST(RsmValue, RecordsAreCopiedByType) {
    int i = -12;
    double d = 0.125;
    char text[] = "abc";
    rsm_value_t in[] = {{const_cast<char *>("i"), RSM_TYPE_INTEGER, &i},
                        {const_cast<char *>("b"), RSM_TYPE_BOOL, &i},
                        {const_cast<char *>("d"), RSM_TYPE_FLOAT, &d},
                        {const_cast<char *>("s"), RSM_TYPE_STRING, text}};
    for (const rsm_value_t &v : in) {
        rsm_value_t *c = value_alloc(&v);
        ASSERT_NE(c, nullptr);
        EXPECT_NE(c->name, v.name);
        EXPECT_STREQ(c->name, v.name);
        EXPECT_EQ(c->type, v.type);
        ASSERT_NE(c->payload, v.payload);
        if (v.type == RSM_TYPE_FLOAT) {
            EXPECT_EQ(*static_cast<double *>(c->payload), d);
        } else if (v.type == RSM_TYPE_STRING) {
            EXPECT_STREQ(static_cast<char *>(c->payload), "abc");
        } else {
            EXPECT_EQ(*static_cast<int *>(c->payload), -12);
        }
        EXPECT_EQ(value_compare(c, v.name), 0);
        EXPECT_LT(value_compare(c, "zzz"), 0);
        value_free(c);
    }
    rsm_value_t no_payload{const_cast<char *>("x"), RSM_TYPE_STRING, nullptr};
    EXPECT_EQ(value_alloc(&no_payload), nullptr);
    rsm_value_t no_name{nullptr, RSM_TYPE_INTEGER, &i};
    EXPECT_EQ(value_alloc(&no_name), nullptr);
    value_free(nullptr);
}

TEST(RsmErrors, TableHasSevenCodesWithNamesAndMessages) {
    struct Row {
        int code;
        const char *name;
        const char *message;
    } rows[] = {
        {-1, "RSM_ERR_MALLOC", "Memory allocation error"},
        {-2, "RSM_ERR_SECTION_EXISTS", "The section already exists"},
        {-3, "RSM_ERR_SECTION_NOT_EXISTS", "The section does not exists"},
        {-4, "RSM_ERR_VALUE_EXISTS", "The value already exists"},
        {-5, "RSM_ERR_VALUE_NOT_EXIST", "The value does not exists"},
        {-6, "RSM_ERR_FILE_READ", "This file format is not supported"},
        {-7, "RSM_ERR_FILE_PARSE", "Syntax error in file"},
    };
    for (const Row &r : rows) {
        EXPECT_STREQ(rsm_errcode_to_string(r.code), r.name);
        EXPECT_STREQ(rsm_errcode_to_message(r.code), r.message);
    }
    for (int i = 0; i < RSM_ERROR_MESSAGES_COUNT; ++i) {
        EXPECT_EQ(ErrorMessages[i].code, rows[i].code);
        EXPECT_STREQ(ErrorMessages[i].name, rows[i].name);
    }
    EXPECT_EQ(RSM_ERR_MALLOC, -1);
    EXPECT_EQ(RSM_ERR_FILE_PARSE, -7);
    for (int code : {0, 1, -8, -100}) {
        EXPECT_EQ(rsm_errcode_to_string(code), nullptr) << code;
        EXPECT_EQ(rsm_errcode_to_message(code), nullptr) << code;
    }
}
