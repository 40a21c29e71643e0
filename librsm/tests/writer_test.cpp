// Text writer and XML dump, byte for byte, and write-then-read round trips.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "rsm_test_util.h"

using rsmtest::parse;
using rsmtest::Store;
using rsmtest::text_of;
using rsmtest::xml_of;

namespace {

// A store with one value of every type in the built-in section and a named one.
Store sample() {
    Store s(rsm_alloc());
    int one = 1, zero = 0, neg = -42, odd_true = 5;
    double f = 1.5;
    rsm_value_insert(s.get(), nullptr, "a", RSM_TYPE_INTEGER, &one);
    rsm_section_insert(s.get(), "net");
    rsm_value_insert(s.get(), "net", "ppp user", RSM_TYPE_STRING, "x y");
    rsm_value_insert(s.get(), "net", "on", RSM_TYPE_BOOL, &odd_true);
    rsm_value_insert(s.get(), "net", "off", RSM_TYPE_BOOL, &zero);
    rsm_value_insert(s.get(), "net", "n", RSM_TYPE_INTEGER, &neg);
    rsm_value_insert(s.get(), "net", "f", RSM_TYPE_FLOAT, &f);
    rsm_section_insert(s.get(), "empty");
    // Inserted last, written first: the built-in section leads.
    rsm_value_insert(s.get(), nullptr, "late", RSM_TYPE_STRING, "");
    return s;
}

std::string address_of(const rsm_t *s) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%p", static_cast<const void *>(s));
    return buf;
}

}  // namespace

TEST(RsmTextWriter, WritesEveryTypeInListOrder) {
    Store s = sample();
    EXPECT_EQ(text_of(s.get()),
              "a = 1\n"
              "late = \"\"\n"
              "[net]\n"
              "ppp user = \"x y\"\n"
              "on = TRUE\n"
              "off = FALSE\n"
              "n = -42\n"
              "f = 1.5\n"
              "[empty]\n");
}

TEST(RsmTextWriter, EmptyStoreWritesNothing) {
    Store s(rsm_alloc());
    EXPECT_EQ(text_of(s.get()), "");
}

TEST(RsmTextWriter, FloatsUseShortestGeneralForm) {
    Store s(rsm_alloc());
    double values[] = {2.0, 1000000.0, 0.1, 1.0 / 3.0, -0.0001, 123456.0};
    for (int i = 0; i < 6; ++i) {
        rsm_value_insert(s.get(), nullptr, ("f" + std::to_string(i)).c_str(), RSM_TYPE_FLOAT,
                         &values[i]);
    }
    EXPECT_EQ(text_of(s.get()),
              "f0 = 2\nf1 = 1e+06\nf2 = 0.1\nf3 = 0.333333\nf4 = -0.0001\nf5 = 123456\n");
}

TEST(RsmXmlWriter, DumpsTheStoreWithCounts) {
    Store s = sample();
    EXPECT_EQ(xml_of(s.get()), "<RSM REF=\"" + address_of(s.get()) +
                                   "\" SECTIONS=\"3\">\n"
                                   "<RSM_BUILT_IN_SECTION VALUES=\"2\">\n"
                                   "<RSM_VALUE NAME=\"a\" TYPE=\"INTEGER\" VALUE=\"1\"/>\n"
                                   "<RSM_VALUE NAME=\"late\" TYPE=\"STRING\" VALUE=\"\"/>\n"
                                   "</RSM_BUILT_IN_SECTION>\n"
                                   "<RSM_SECTION NAME=\"net\" VALUES=\"5\">\n"
                                   "<RSM_VALUE NAME=\"ppp user\" TYPE=\"STRING\" VALUE=\"x y\"/>\n"
                                   "<RSM_VALUE NAME=\"on\" TYPE=\"BOOL\" VALUE=\"TRUE\"/>\n"
                                   "<RSM_VALUE NAME=\"off\" TYPE=\"BOOL\" VALUE=\"FALSE\"/>\n"
                                   "<RSM_VALUE NAME=\"n\" TYPE=\"INTEGER\" VALUE=\"-42\"/>\n"
                                   "<RSM_VALUE NAME=\"f\" TYPE=\"FLOAT\" VALUE=\"1.5\"/>\n"
                                   "</RSM_SECTION>\n"
                                   "<RSM_SECTION NAME=\"empty\" VALUES=\"0\">\n"
                                   "</RSM_SECTION>\n"
                                   "</RSM>\n");
}

TEST(RsmXmlWriter, TheExampleOfTwoValues) {
    Store s = parse("a = 1\n[s]\nb = \"x\"\n");
    EXPECT_EQ(xml_of(s.get()), "<RSM REF=\"" + address_of(s.get()) +
                                   "\" SECTIONS=\"2\">\n"
                                   "<RSM_BUILT_IN_SECTION VALUES=\"1\">\n"
                                   "<RSM_VALUE NAME=\"a\" TYPE=\"INTEGER\" VALUE=\"1\"/>\n"
                                   "</RSM_BUILT_IN_SECTION>\n"
                                   "<RSM_SECTION NAME=\"s\" VALUES=\"1\">\n"
                                   "<RSM_VALUE NAME=\"b\" TYPE=\"STRING\" VALUE=\"x\"/>\n"
                                   "</RSM_SECTION>\n"
                                   "</RSM>\n");
}

TEST(RsmXmlWriter, SectionWriterOnItsOwn) {
    rsm_section_t *sec = section_alloc(nullptr);
    ASSERT_NE(sec, nullptr);
    double d = 0.25;
    ASSERT_EQ(section_add_value(sec, "d", RSM_TYPE_FLOAT, &d), 0);
    EXPECT_EQ(rsmtest::capture([sec](FILE *f) { section_write_xml(sec, f); }),
              "<RSM_BUILT_IN_SECTION VALUES=\"1\">\n"
              "<RSM_VALUE NAME=\"d\" TYPE=\"FLOAT\" VALUE=\"0.25\"/>\n"
              "</RSM_BUILT_IN_SECTION>\n");
    section_free(sec);
}

TEST(RsmRoundTrip, WrittenTextReadsBackTheSame) {
    Store s = sample();
    std::string text = text_of(s.get());
    int rc = 1000;
    Store back = parse(text, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(text_of(back.get()), text);
    int type = -1;
    auto *on = static_cast<const int *>(rsm_value_get_by_name(back.get(), "net", "on", &type));
    ASSERT_NE(on, nullptr);
    EXPECT_EQ(type, RSM_TYPE_BOOL);
    EXPECT_EQ(*on, 1);  // any non-zero is written TRUE and reads back as 1
}

TEST(RsmRoundTrip, ReadingNormalisesTheText) {
    int rc = 1000;
    Store s = parse("# comment\n  key=010 ; octal\n[ s ]\n", &rc);
    // "[ s ]": blanks around the name are skipped in the key state.
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(text_of(s.get()), "key = 8\n[s]\n");
}

TEST(RsmRoundTrip, WholeFloatReadsBackAsInteger) {
    Store s(rsm_alloc());
    double two = 2.0;
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "f", RSM_TYPE_FLOAT, &two), 0);
    ASSERT_EQ(text_of(s.get()), "f = 2\n");
    int rc = 1000;
    Store back = parse(text_of(s.get()), &rc);
    ASSERT_EQ(rc, 0);
    int type = -1;
    auto *p = static_cast<const int *>(rsm_value_get_by_name(back.get(), nullptr, "f", &type));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(type, RSM_TYPE_INTEGER);
    EXPECT_EQ(*p, 2);
}

// A float read from a file is written back as it stands there, so a rewrite
// for another value neither rounds it nor turns it into an integer; a float
// set afterwards takes the writer's own form, which reads back.
TEST(RsmRoundTrip, FloatsReadAreWrittenBackAsTheyStand) {
    const std::string text =
        "big = 1234567.5\n[s]\npi = 3.14159265\nx = 1.50\nw = 2.0\ne = 1e+06\n";
    int rc = 1000;
    Store s = parse(text, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(text_of(s.get()), text);
    double big = 1e6, third = 1.0 / 3.0;
    ASSERT_EQ(rsm_value_set_by_name(s.get(), nullptr, "big", RSM_TYPE_FLOAT, &big), 0);
    ASSERT_EQ(rsm_value_set_by_name(s.get(), "s", "x", RSM_TYPE_FLOAT, &third), 0);
    const std::string written = text_of(s.get());
    EXPECT_EQ(written, "big = 1e+06\n[s]\npi = 3.14159265\nx = 0.333333\nw = 2.0\ne = 1e+06\n");
    Store back = parse(written, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(text_of(back.get()), written);
}

TEST(RsmRoundTrip, WhatDoesNotReadBack) {
    struct Case {
        const char *what;
        int type;
        const void *payload;
    };
    Case cases[] = {
        {"double quote", RSM_TYPE_STRING, "say \"hi\""},
        {"line break", RSM_TYPE_STRING, "two\nlines"},
    };
    for (const Case &c : cases) {
        Store s(rsm_alloc());
        ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "k", c.type, c.payload), 0);
        rsm_section_insert(s.get(), "after");
        int rc = 1000;
        Store back = parse(text_of(s.get()), &rc);
        EXPECT_EQ(rc, RSM_ERR_FILE_PARSE) << c.what << ": " << text_of(s.get());
    }
}
