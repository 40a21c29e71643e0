// Reading the text format: scanner rules, grammar, result codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "rsm_parser.h"
#include "rsm_test_util.h"

using rsmtest::parse;
using rsmtest::Store;

namespace {

std::string string_value(const rsm_t *s, const char *sec, const char *name) {
    int type = -100;
    auto *p = static_cast<const char *>(rsm_value_get_by_name(s, sec, name, &type));
    if (p == nullptr) return "<missing>";
    if (type != RSM_TYPE_STRING) return "<type " + std::to_string(type) + ">";
    return p;
}

// INTEGER value, or a sentinel that no test expects.
long integer_value(const rsm_t *s, const char *sec, const char *name) {
    const int *p = rsmtest::get_int(s, sec, name, RSM_TYPE_INTEGER);
    return p == nullptr ? -999999999L : *p;
}

long bool_value(const rsm_t *s, const char *sec, const char *name) {
    const int *p = rsmtest::get_int(s, sec, name, RSM_TYPE_BOOL);
    return p == nullptr ? -999999999L : *p;
}

double float_value(const rsm_t *s, const char *sec, const char *name) {
    int type = -100;
    auto *p = static_cast<const double *>(rsm_value_get_by_name(s, sec, name, &type));
    return (p == nullptr || type != RSM_TYPE_FLOAT) ? -999999.0 : *p;
}

int parse_rc(const std::string &text) {
    int rc = 1000;
    Store s = parse(text, &rc);
    return rc;
}

}  // namespace

TEST(RsmParseStructure, EmptyAndCommentOnlyFilesGiveOnlyTheBuiltInSection) {
    for (const char *text : {"", "\n\n", "# only a comment\n", "; semicolon comment\n  \t\n",
                             "# no line break at the end"}) {
        int rc = 1000;
        Store s = parse(text, &rc);
        EXPECT_EQ(rc, 0) << text;
        EXPECT_EQ(rsm_get_sections_count(s.get()), 1) << text;
        EXPECT_EQ(rsm_section_get_values_count(s.get(), nullptr), 0) << text;
    }
}

TEST(RsmParseStructure, ValuesBeforeTheFirstHeaderGoToTheBuiltInSection) {
    int rc = 1000;
    Store s = parse("a = 1\n[s]\na = 2\nb = 3\n[t]\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(integer_value(s.get(), nullptr, "a"), 1);
    EXPECT_EQ(integer_value(s.get(), "s", "a"), 2);
    EXPECT_EQ(integer_value(s.get(), "s", "b"), 3);
    ASSERT_EQ(rsm_get_sections_count(s.get()), 3);
    EXPECT_EQ(rsm_section_get_name_by_position(s.get(), 1), nullptr);
    EXPECT_STREQ(rsm_section_get_name_by_position(s.get(), 2), "s");
    EXPECT_STREQ(rsm_section_get_name_by_position(s.get(), 3), "t");
    EXPECT_EQ(rsm_section_get_values_count(s.get(), "t"), 0);
}

TEST(RsmParseStructure, ValuesKeepFileOrder) {
    Store s = parse("[s]\nz = 1\na = 2\nm = 3\n");
    const char *name = nullptr;
    ASSERT_NE(rsm_value_get_by_position(s.get(), "s", 1, &name, nullptr), nullptr);
    EXPECT_STREQ(name, "z");
    ASSERT_NE(rsm_value_get_by_position(s.get(), "s", 2, &name, nullptr), nullptr);
    EXPECT_STREQ(name, "a");
    ASSERT_NE(rsm_value_get_by_position(s.get(), "s", 3, &name, nullptr), nullptr);
    EXPECT_STREQ(name, "m");
}

TEST(RsmParseStructure, DuplicatesFailTheRead) {
    EXPECT_EQ(parse_rc("[s]\n[s]\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("[s]\nk = 1\nk = 2\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("k = 1\nk = \"x\"\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("[s]\nk = 1\n[t]\nk = 2\n"), 0);
    // Names are case-sensitive.
    EXPECT_EQ(parse_rc("[s]\n[S]\nk = 1\nK = 2\n"), 0);
}

TEST(RsmParseStructure, HeaderNeedNotStandAloneOnItsLine) {
    int rc = 1000;
    Store s = parse("  [s] a = 1\n[t][u] b = 2\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(integer_value(s.get(), "s", "a"), 1);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), "t"), 0);
    EXPECT_EQ(integer_value(s.get(), "u", "b"), 2);
}

TEST(RsmParseStructure, SectionNamesFollowTheKeyRule) {
    int rc = 1000;
    Store s = parse("[ppp net]\nx = 1\n[port[2]mode]\ny = 2\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(integer_value(s.get(), "ppp net", "x"), 1);
    EXPECT_EQ(integer_value(s.get(), "port[2]mode", "y"), 2);
}

TEST(RsmParseStructure, MisplacedTokensFail) {
    EXPECT_EQ(parse_rc("= 5\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("a\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("a =\n5\n"), RSM_ERR_FILE_PARSE);  // the value must be on the key's line
    EXPECT_EQ(parse_rc("a = 1 b = 2\n"), RSM_ERR_FILE_PARSE);  // one assignment a line
    EXPECT_EQ(parse_rc("[s\na = 1\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("[]\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("a = 1 [s]\n"), RSM_ERR_FILE_PARSE);  // no header in the value state
}

TEST(RsmParseStructure, PartialStoreIsLeftAfterASyntaxError) {
    Store s(rsm_alloc());
    ASSERT_EQ(rsmtest::parse_into(s.get(), "a = 1\n[s]\nb = 2\nc = oops\nd = 4\n"),
              RSM_ERR_FILE_PARSE);
    EXPECT_EQ(integer_value(s.get(), nullptr, "a"), 1);
    EXPECT_EQ(integer_value(s.get(), "s", "b"), 2);
    EXPECT_EQ(rsm_value_get_by_name(s.get(), "s", "d", nullptr), nullptr);
}

TEST(RsmParseKeys, InnerBlanksAndIndicesBelongToTheKey) {
    int rc = 1000;
    Store s = parse(
        "ppp user = \"x y\"\n"
        "dns[1] = 1\n"
        "port[2]mode = 2\n"
        "a b[3]c d = 3\n"
        "trailing   \t= 4\n"
        "  lead.ing-key_1 = 5\n",
        &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(string_value(s.get(), nullptr, "ppp user"), "x y");
    EXPECT_EQ(integer_value(s.get(), nullptr, "dns[1]"), 1);
    EXPECT_EQ(integer_value(s.get(), nullptr, "port[2]mode"), 2);
    EXPECT_EQ(integer_value(s.get(), nullptr, "a b[3]c d"), 3);
    EXPECT_EQ(integer_value(s.get(), nullptr, "trailing"), 4);
    EXPECT_EQ(integer_value(s.get(), nullptr, "lead.ing-key_1"), 5);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), nullptr), 6);
}

TEST(RsmParseKeys, BlankBeforeIndexOrSecondIndexEndsTheKey) {
    EXPECT_EQ(parse_rc("dns [1] = 1\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("a[1][2] = 1\n"), RSM_ERR_FILE_PARSE);
}

TEST(RsmParseKeys, StrayCharactersInTheKeyStateAreSkipped) {
    int rc = 1000;
    Store s = parse("1abc = 2\n@@ x = 3\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(integer_value(s.get(), nullptr, "abc"), 2);
    EXPECT_EQ(integer_value(s.get(), nullptr, "x"), 3);
}

TEST(RsmParseValues, IntegersAreConvertedWithBaseZero) {
    int rc = 1000;
    Store s = parse(
        "key=5\nn = 010\nm = -7\np = +12\nz = 0\nbad = 09\nneg = -010\n"
        "big = 99999999999\nsmall = -99999999999\n",
        &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(integer_value(s.get(), nullptr, "key"), 5);
    EXPECT_EQ(integer_value(s.get(), nullptr, "n"), 8);
    EXPECT_EQ(integer_value(s.get(), nullptr, "m"), -7);
    EXPECT_EQ(integer_value(s.get(), nullptr, "p"), 12);
    EXPECT_EQ(integer_value(s.get(), nullptr, "z"), 0);
    EXPECT_EQ(integer_value(s.get(), nullptr, "bad"), 0);
    EXPECT_EQ(integer_value(s.get(), nullptr, "neg"), -8);
    // Out of the 32-bit range: held at its ends, as on the 32-bit router.
    EXPECT_EQ(integer_value(s.get(), nullptr, "big"), 2147483647L);
    EXPECT_EQ(integer_value(s.get(), nullptr, "small"), -2147483647L - 1);
}

TEST(RsmParseValues, HexadecimalIsNotAnInteger) {
    EXPECT_EQ(parse_rc("h = 0x10\n"), RSM_ERR_FILE_PARSE);
}

// The exponent forms are the ones the writer uses for large and small floats.
TEST(RsmParseValues, FloatsNeedDigitsAfterThePointOrAnExponent) {
    int rc = 1000;
    Store s = parse(
        "x = 1.50\ny = -0.25\nz = +.5\nw = 10.0\n"
        "e = 1e+06\nf = 1.23457e+06\ng = -2.5E-05\nh = 1e5\n",
        &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_DOUBLE_EQ(float_value(s.get(), nullptr, "x"), 1.5);
    EXPECT_DOUBLE_EQ(float_value(s.get(), nullptr, "y"), -0.25);
    EXPECT_DOUBLE_EQ(float_value(s.get(), nullptr, "z"), 0.5);
    EXPECT_DOUBLE_EQ(float_value(s.get(), nullptr, "w"), 10.0);
    EXPECT_DOUBLE_EQ(float_value(s.get(), nullptr, "e"), 1e6);
    EXPECT_DOUBLE_EQ(float_value(s.get(), nullptr, "f"), 1.23457e6);
    EXPECT_DOUBLE_EQ(float_value(s.get(), nullptr, "g"), -2.5e-5);
    EXPECT_DOUBLE_EQ(float_value(s.get(), nullptr, "h"), 1e5);

    EXPECT_EQ(parse_rc("x = 1e\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("x = e5\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("x = 3.\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("x = .5\n"), RSM_ERR_FILE_PARSE);  // a word, not a number
    EXPECT_EQ(parse_rc("x = 1.5.3\n"), RSM_ERR_FILE_PARSE);
}

TEST(RsmParseValues, BooleansAreUpperCaseOnly) {
    int rc = 1000;
    Store s = parse("a = TRUE\nb = ON\nc = FALSE\nd = OFF\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(bool_value(s.get(), nullptr, "a"), 1);
    EXPECT_EQ(bool_value(s.get(), nullptr, "b"), 1);
    EXPECT_EQ(bool_value(s.get(), nullptr, "c"), 0);
    EXPECT_EQ(bool_value(s.get(), nullptr, "d"), 0);
    for (const char *text : {"flag = true\n", "flag = on\n", "flag = False\n", "flag = off\n",
                             "flag = TRUEX\n", "flag = yes\n"}) {
        EXPECT_EQ(parse_rc(text), RSM_ERR_FILE_PARSE) << text;
    }
}

TEST(RsmParseValues, StringsKeepTheirTextAsItStands) {
    int rc = 1000;
    Store s = parse(
        "e = \"\"\n"
        "b = \"  blanks  # not a comment ; nor this \"\n"
        "q = \"a=b [c] \\t\"\n",
        &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(string_value(s.get(), nullptr, "e"), "");
    EXPECT_EQ(string_value(s.get(), nullptr, "b"), "  blanks  # not a comment ; nor this ");
    EXPECT_EQ(string_value(s.get(), nullptr, "q"), "a=b [c] \\t");  // no escapes
}

TEST(RsmParseValues, UnterminatedStringEndsAtTheLineBreak) {
    // On the last line: the value is the rest of the line.
    int rc = 1000;
    Store s = parse("a = 1\ns = \"abc\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(string_value(s.get(), nullptr, "s"), "abc");
    // Elsewhere the line break went into the string, so the scanner is still
    // in the value state and the next key reads as a word.
    EXPECT_EQ(parse_rc("s = \"abc\nt = 1\n"), RSM_ERR_FILE_PARSE);
}

TEST(RsmParseValues, CommentsInTheValueState) {
    int rc = 1000;
    Store s = parse("k = 5 # note\nj = \"x\" ; note\nb = ON#x\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(integer_value(s.get(), nullptr, "k"), 5);
    EXPECT_EQ(string_value(s.get(), nullptr, "j"), "x");
    EXPECT_EQ(bool_value(s.get(), nullptr, "b"), 1);
    EXPECT_EQ(parse_rc("k = # note\n"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("k = ; note\n"), RSM_ERR_FILE_PARSE);
}

TEST(RsmParseValues, StrayCharactersInTheValueStateAreSkipped) {
    int rc = 1000;
    Store s = parse("k = : 5\nl = = 6\nm = - 7\nn = [8]\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(integer_value(s.get(), nullptr, "k"), 5);
    EXPECT_EQ(integer_value(s.get(), nullptr, "l"), 6);
    EXPECT_EQ(integer_value(s.get(), nullptr, "m"), 7);  // a lone sign is skipped
    EXPECT_EQ(integer_value(s.get(), nullptr, "n"), 8);
}

TEST(RsmParseValues, UnquotedWordsFail) {
    EXPECT_EQ(parse_rc("apn = internet\n"), RSM_ERR_FILE_PARSE);
}

TEST(RsmParseValues, CarriageReturnsAreSkipped) {
    int rc = 1000;
    Store s = parse("[s]\r\na = 1\r\nb = \"x\"\r\n", &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(integer_value(s.get(), "s", "a"), 1);
    EXPECT_EQ(string_value(s.get(), "s", "b"), "x");
}

TEST(RsmParseLimits, ManyValuesInOneSectionParse) {
    // Far more values than a parser stack of 10000 entries would hold if
    // every value stayed on it until the section ended.
    constexpr int kValues = 30000;
    std::string text;
    for (int i = 0; i < kValues; ++i)
        text += "v" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    text += "[s]\n" + text;
    int rc = 1000;
    Store s = parse(text, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), nullptr), kValues);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), "s"), kValues);
    const char *name = nullptr;
    const void *p = rsm_value_get_by_position(s.get(), "s", kValues, &name, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(name, ("v" + std::to_string(kValues - 1)).c_str());
    EXPECT_EQ(integer_value(s.get(), "s", "v12345"), 12345);
}

TEST(RsmParseLimits, LongTokensGrowTheBuffer) {
    std::string big(100000, 'x');
    std::string text = "k = \"" + big + "\"\n" + std::string(50000, 'a') + " = 7\n";
    int rc = 1000;
    Store s = parse(text, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(string_value(s.get(), nullptr, "k"), big);
    EXPECT_EQ(integer_value(s.get(), nullptr, std::string(50000, 'a').c_str()), 7);
}

TEST(RsmParseSource, PipeWithLongTokensReads) {
    // A pipe reports no size, so the scanner starts with its smallest buffer
    // and has to grow it for the long string.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string big(20000, 'y');
    std::string text = "[s]\nk = \"" + big + "\"\nn = 3\n";
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        close(fds[1]);
    });
    rsmtest::File f(fdopen(fds[0], "r"));
    Store s(rsm_alloc());
    int rc = rsm_init_from_file(s.get(), f.get(), 0);
    writer.join();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(string_value(s.get(), "s", "k"), big);
    EXPECT_EQ(integer_value(s.get(), "s", "n"), 3);
}

TEST(RsmParseSource, ReadStartsInTheKeyStateAfterAReadThatEndedInAValue) {
    Store first = parse("a = 1");  // no line break: the scanner stays in the value state
    ASSERT_EQ(integer_value(first.get(), nullptr, "a"), 1);
    int rc = 1000;
    Store second = parse("b = 2\n", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(integer_value(second.get(), nullptr, "b"), 2);
    // Also after a read that failed in the middle of a value.
    ASSERT_EQ(parse_rc("c = word"), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(parse_rc("d = 4\n"), 0);
}

TEST(RsmParseSource, UnreadableFilesAreReadErrors) {
    Store s(rsm_alloc());
    // A stream without a descriptor cannot be examined.
    char text[] = "a = 1\n";
    rsmtest::File mem(fmemopen(text, sizeof text - 1, "r"));
    ASSERT_TRUE(mem);
    EXPECT_EQ(rsm_init_from_file(s.get(), mem.get(), 0), RSM_ERR_FILE_READ);
    EXPECT_EQ(rsm_init_from_file(s.get(), nullptr, 0), RSM_ERR_FILE_READ);

    // A descriptor open only for writing: the read itself fails, and the
    // process goes on.
    int fd = memfd_create("rsm-wo", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "a = 1\n", 6), 6);
    int wfd = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(wfd, 0);
    close(fd);
    rsmtest::File wo(fdopen(wfd, "w"));
    ASSERT_TRUE(wo);
    EXPECT_EQ(rsm_init_from_file(s.get(), wo.get(), 0), RSM_ERR_FILE_READ);

    // The next read works as usual.
    EXPECT_EQ(rsmtest::parse_into(s.get(), "b = 2\n"), 0);
    EXPECT_EQ(integer_value(s.get(), nullptr, "b"), 2);
}

TEST(RsmParseSource, RsmReadOpensReadsAndCloses) {
    char dir[] = "/proc/self/fd";  // a directory: opens, but cannot be read
    EXPECT_EQ(rsm_read(dir), nullptr);
    EXPECT_EQ(rsm_read("/nonexistent/rsm.conf"), nullptr);
    EXPECT_EQ(rsm_read(nullptr), nullptr);

    int fd = memfd_create("rsm-read", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    const char text[] = "top = 1\n[s]\nk = \"v\"\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    Store s(rsm_read(path.c_str()));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(integer_value(s.get(), nullptr, "top"), 1);
    EXPECT_EQ(string_value(s.get(), "s", "k"), "v");

    // A file that does not parse gives no store at all.
    ASSERT_EQ(ftruncate(fd, 0), 0);
    ASSERT_EQ(pwrite(fd, "k = word\n", 9, 0), 9);
    EXPECT_EQ(rsm_read(path.c_str()), nullptr);
    close(fd);
}

TEST(RsmParseSource, InitFromFileEmptiesAStoreWithSections) {
    Store s = parse("a = 1\n[s]\nb = 2\n");
    ASSERT_EQ(rsm_get_sections_count(s.get()), 2);
    ASSERT_EQ(rsmtest::parse_into(s.get(), "[t]\nc = 3\n"), 0);
    EXPECT_EQ(rsm_get_sections_count(s.get()), 2);
    EXPECT_EQ(rsm_value_get_by_name(s.get(), nullptr, "a", nullptr), nullptr);
    EXPECT_EQ(rsm_section_get_values_count(s.get(), "s"), RSM_ERR_SECTION_NOT_EXISTS);
    EXPECT_EQ(integer_value(s.get(), "t", "c"), 3);
    EXPECT_EQ(rsm_section_get_name_by_position(s.get(), 1), nullptr);
}

TEST(RsmParseSource, InitFromFileKeepsValuesOfAStoreWithOnlyTheBuiltInSection) {
    Store s(rsm_alloc());
    int one = 1;
    ASSERT_EQ(rsm_value_insert(s.get(), nullptr, "a", RSM_TYPE_INTEGER, &one), 0);
    ASSERT_EQ(rsmtest::parse_into(s.get(), "b = 2\n"), 0);
    EXPECT_EQ(integer_value(s.get(), nullptr, "a"), 1);
    EXPECT_EQ(integer_value(s.get(), nullptr, "b"), 2);
    // Setting one of the kept values again is a duplicate.
    Store t(rsm_alloc());
    ASSERT_EQ(rsm_value_insert(t.get(), nullptr, "a", RSM_TYPE_INTEGER, &one), 0);
    EXPECT_EQ(rsmtest::parse_into(t.get(), "a = 2\n"), RSM_ERR_FILE_PARSE);
}

TEST(RsmParseFile, ParseFileReportsItsCodes) {
    Store s(rsm_alloc());
    rsmtest::File ok = rsmtest::memory_file("a = 1\n");
    EXPECT_EQ(yy_parse_file(s.get(), ok.get(), 0), 0);
    // A key given twice is refused by the store, not a syntax error.
    rsmtest::File dup = rsmtest::memory_file("a = 2\n");
    EXPECT_EQ(yy_parse_file(s.get(), dup.get(), 0), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(yy_nerrs, 0);
    Store t(rsm_alloc());
    rsmtest::File bad = rsmtest::memory_file("b = 1\nc = d\n");
    EXPECT_EQ(yy_parse_file(t.get(), bad.get(), 0), RSM_ERR_FILE_PARSE);
    EXPECT_EQ(yy_nerrs, 1);
}

// The scanner on its own, fed from a string.
TEST(RsmScanner, TokensAndSemanticValues) {
    struct yy_buffer_state *b =
        yy__scan_string("\n[sec] k v = \"s\" # c\nn = -010 1.5 TRUE\nm = OFF : word\n");
    ASSERT_NE(b, nullptr);
    int expect[] = {263, 261, 264, 261, 262, 258, 261, 262, 259, 260, 257, 261, 262, 257, 261, 0};
    std::string texts[] = {"", "sec", "", "k v", "", "s", "n",    "",
                           "", "",    "", "m",   "", "",  "word", ""};
    for (std::size_t i = 0; i < sizeof expect / sizeof expect[0]; ++i) {
        int tok = yy_lex();
        ASSERT_EQ(tok, expect[i]) << "token " << i;
        void *v = yy_lval;
        if (tok == 261 || tok == 258) {
            EXPECT_STREQ(static_cast<char *>(v), texts[i].c_str());
        }
        if (tok == 259) {
            EXPECT_EQ(*static_cast<int *>(v), -8);
        }
        if (tok == 260) {
            EXPECT_DOUBLE_EQ(*static_cast<double *>(v), 1.5);
        }
        if (i == 10) {
            EXPECT_EQ(*static_cast<int *>(v), 1);
        }
        if (i == 13) {
            EXPECT_EQ(*static_cast<int *>(v), 0);
        }
        if (tok >= 262 || tok == 0) {
            EXPECT_EQ(v, nullptr);
        }
        if (tok != 0 && tok < 262) std::free(v);
    }
    yy__delete_buffer(b);
}
