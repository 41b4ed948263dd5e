#include "base/text.h"

#include <gtest/gtest.h>

#include <climits>

namespace qrx {
namespace {

TEST(ChkToken, AbbreviationRulesForOptions) {
  struct Case {
    const char* text;
    const char* keyword;
    int max_length;
    int min_length;
    int expected;
  };
  const Case cases[] = {
      {"rdbmsORCL", "rdbms", 5, 3, 0},      // rest of the word beyond the keyword is a value
      {"RDB", "rdbms", 5, 3, 0},            // case-insensitive abbreviation
      {"rd", "rdbms", 5, 3, 301},           // below the minimum
      {"rdx", "rdbms", 5, 3, 'x' - 'b'},    // byte difference at the first mismatch
      {"z", "abc", 3, 1, 'z' - 'a'},
      {"version", "version", 0, 0, 0},      // lengths default to the keyword's
      {"vers", "version", 0, 0, 301},       // min defaults to max
      {"db", "dbtype", 6, 3, 301},
      {"dbtype", "d", 1, 1, 0},             // only max_length characters are looked at
      {"dbx", "d", 3, 1, 'b'},              // text runs past a shorter keyword
      {"x", "abcdefghijklmnopqrstuvwxyzabcdefgh", 0, 0, 300},
      {"x", "x", 32, 1, 300},
      {"", "x", 1, 1, 301},
  };
  for (const Case& c : cases)
    EXPECT_EQ(u_chktoken(c.text, c.keyword, c.max_length, c.min_length), c.expected)
        << c.text << " vs " << c.keyword;
  EXPECT_EQ(u_chktoken(nullptr, "x", 1, 1), 301);
}

using Words = std::vector<std::string>;

TEST(TokenSet, SplitsAtDelimitersAndKeepsEnclosedWordsWhole) {
  EXPECT_EQ(u_tokenset("a b\tc\nd"), (Words{"a", "b", "c", "d"}));
  EXPECT_EQ(u_tokenset("  say \"hi there\" now  "), (Words{"say", "hi there", "now"}));
  EXPECT_EQ(u_tokenset("x 'b c' d"), (Words{"x", "b c", "d"}));
  EXPECT_EQ(u_tokenset("(a b) [x y] {p q} <r s>"), (Words{"(a b)", "[x y]", "{p q}", "<r s>"}));
  EXPECT_EQ(u_tokenset("(a 'b' c)"), (Words{"(a 'b' c)"}));
  EXPECT_EQ(u_tokenset("\"unclosed text"), (Words{"unclosed text"}));
  EXPECT_EQ(u_tokenset("a,b,,c d", ","), (Words{"a", "b", "c d"}));
  EXPECT_TRUE(u_tokenset("   ").empty());
}

TEST(TestWord, FindsWholeWordsInATable) {
  const char* const table[] = {"get", "put", "term", "", "after"};
  EXPECT_EQ(u_test_word("GET", table, 0, 0), 1);
  EXPECT_EQ(u_test_word("GET", table, 0, 1), 0);  // flag 1: no lower-casing
  EXPECT_EQ(u_test_word("term", table, 0, 0), 3);
  EXPECT_EQ(u_test_word("ter", table, 0, 0), 0);
  EXPECT_EQ(u_test_word("after", table, 0, 0), 0);  // the empty entry ends the table
  EXPECT_EQ(u_test_word("term", table, 2, 0), 0);   // count limits the search
  EXPECT_EQ(u_test_word(std::string(60, 'g').c_str(), table, 0, 0), 0);

  const char* const sorted[] = {"alpha", "delta", "gamma", "beta"};
  EXPECT_EQ(u_test_word("gamma", sorted, 4, 2), 3);
  EXPECT_EQ(u_test_word("beta", sorted, 4, 2), 0);  // stops at "delta"
  EXPECT_EQ(u_test_word("beta", sorted, 4, 0), 4);
}

TEST(Stripx, RemovesSetCharactersAtTheChosenEnds) {
  EXPECT_EQ(u_stripx("  ab  ", 'B'), "ab");
  EXPECT_EQ(u_stripx("  ab  ", 'l'), "ab  ");
  EXPECT_EQ(u_stripx("  ab  ", 'T'), "  ab");
  EXPECT_EQ(u_stripx("  ab  ", 0), "  ab");
  EXPECT_EQ(u_stripx("xxabyx", 'b', "xy"), "ab");
  EXPECT_EQ(u_stripx("    ", 'B'), "");
}

TEST(Ps, PrintableTraceCopies) {
  EXPECT_EQ(us_ps("  abc \r\n", 0, 0), "abc");
  EXPECT_EQ(us_ps("abc", 0, kPsQuote), "'abc'");
  EXPECT_EQ(us_ps("abcdef", 3, kPsQuote | kPsLength), "'abc'(6)");
  EXPECT_EQ(us_ps("abcdef", 3, kPsLength), "abc (6)");
  EXPECT_EQ(us_ps(std::string(300, 'a'), 500, 0).size(), 201u);
  EXPECT_EQ(us_ps(std::string_view("a\x01 b", 4), 0, kPsPrintable), "a. b");
}

TEST(Numbers, HexAndDecimalConversions) {
  EXPECT_EQ(u_hex2long("1aF"), 0x1af);
  EXPECT_EQ(u_hex2long("\"ff\""), 0xff);
  EXPECT_EQ(u_hex2long("10g"), 16);
  EXPECT_EQ(u_hex2long("zz"), 0);

  long long value = 7;
  EXPECT_EQ(qrxstrtoll("  123abc", &value), 0);
  EXPECT_EQ(value, 123);
  EXPECT_EQ(qrxstrtoll("99999999999999999999", &value), 34);
  EXPECT_EQ(value, LLONG_MAX);
  EXPECT_EQ(qrxstrtoll("-99999999999999999999", &value), 34);
  EXPECT_EQ(value, LLONG_MIN);
  EXPECT_EQ(qrxstrtoll(nullptr, &value), -1);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(qrxstrtoll("1", nullptr), -1);
}

TEST(FixedFields, PaddingAndRightAlignment) {
  char field[6];
  u_str2chr("ab", field, sizeof field);
  EXPECT_EQ(std::string(field, sizeof field), "ab    ");
  u_str2chr("abcdefgh", field, sizeof field);
  EXPECT_EQ(std::string(field, sizeof field), "abcdef");
  EXPECT_EQ(u_chr2str("ab  cd  ", 8), "ab  cd");
  EXPECT_EQ(u_chr2str("ab\0xx", 5), "ab");
  EXPECT_EQ(just_right("12  ", 5), "   12");
  EXPECT_EQ(just_right("123456", 3), "123456");
}

}  // namespace
}  // namespace qrx
