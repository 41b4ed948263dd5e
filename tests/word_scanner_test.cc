#include "ctl/word_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl/statement_reader.h"

namespace qrx {
namespace {

struct ScannedWord {
  std::string text;
  uint16_t flags;
  uint16_t number_flags;
  int16_t exponent;
};

std::vector<ScannedWord> scan(std::string statement) {
  std::vector<ScannedWord> words;
  WordScanner scanner(statement);
  while (scanner.next() > 0) {
    const ParseWord& w = scanner.parse_word;
    words.push_back({w.str(), w.flags, w.number_flags, w.exponent});
  }
  return words;
}

struct ScanCase {
  const char* input;
  std::vector<ScannedWord> words;
};

bool operator==(const ScannedWord& a, const ScannedWord& b) {
  return a.text == b.text && a.flags == b.flags && a.number_flags == b.number_flags &&
         a.exponent == b.exponent;
}
void PrintTo(const ScannedWord& w, std::ostream* os) {
  *os << "{" << w.text << ", flags " << w.flags << ", nf " << w.number_flags << ", exp "
      << w.exponent << "}";
}

constexpr uint16_t H = kWordHostVar, P = kWordParen, L = kWordLogical, C = kWordComma,
                   A = kWordArith, DS = kWordDotStar, Q = kWordLiteral, CC = kWordConcat,
                   D = kWordQualified;
constexpr uint16_t NUM = kNumNumber, PT = kNumPoint, EX = kNumExponent, SQ = kNumSingleQuote,
                   DQ = kNumDoubleQuote;

const ScanCase kScanCases[] = {
    {"a<=b", {{"a", 0, 0, 0}, {"<=", L, 0, 0}, {"b", 0, 0, 0}}},
    {"a>=b a<>b a~=b a==b", {{"a", 0, 0, 0}, {">=", L, 0, 0}, {"b", 0, 0, 0}, {"a", 0, 0, 0},
                             {"<>", L, 0, 0}, {"b", 0, 0, 0}, {"a", 0, 0, 0}, {"~=", L, 0, 0},
                             {"b", 0, 0, 0}, {"a", 0, 0, 0}, {"==", L, 0, 0}, {"b", 0, 0, 0}}},
    {"x||y", {{"x", 0, 0, 0}, {"||", CC, 0, 0}, {"y", 0, 0, 0}}},
    {"x | y", {{"x", 0, 0, 0}, {"|", 0, 0, 0}, {"y", 0, 0, 0}}},
    {":INT!n", {{"INT!n", H, 0, 0}}},
    {": busy", {{"busy", H, 0, 0}}},
    {"t.col", {{"t.col", D, 0, 0}}},
    {"t.*", {{"t.", D, 0, 0}, {"*", A, 0, 0}}},
    {":t.*", {{"t.*", H | D | DS, 0, 0}}},
    {":a-b", {{"a-b", H, 0, 0}}},
    {":f(x) y", {{"f(x)", H, 0, 0}, {"y", 0, 0, 0}}},
    {"'it''s'", {{"'it''s'", Q, SQ, 0}}},
    {"\"a b\" c", {{"\"a b\"", Q, DQ, 0}, {"c", 0, 0, 0}}},
    {"-5", {{"-5", Q, NUM, 0}}},
    {"-.5", {{"-.5", Q, NUM | PT, 0}}},
    {".5", {{".5", Q, NUM | PT, 0}}},
    {"- 5", {{"-", A, 0, 0}, {"5", Q, NUM, 0}}},
    {"a-5", {{"a", 0, 0, 0}, {"-5", Q, NUM, 0}}},
    {"1.5E-3", {{"1.5E-3", Q, NUM | PT | EX, -3}}},
    {"2e10 x", {{"2E10", Q, NUM | EX, 10}, {"x", 0, 0, 0}}},
    {"1.5.2", {{"1.5", Q, NUM | PT, 0}, {".2", Q, NUM | PT, 0}}},
    {"10x", {{"10", Q, NUM, 0}, {"x", 0, 0, 0}}},
    {"3 end", {{"3", Q, NUM, 0}, {"end", 0, 0, 0}}},
    {"f(a, b) * 2", {{"f", 0, 0, 0}, {"(", P, 0, 0}, {"a", 0, 0, 0}, {",", C, 0, 0},
                     {"b", 0, 0, 0}, {")", P, 0, 0}, {"*", A, 0, 0}, {"2", Q, NUM, 0}}},
    {"a+b/c", {{"a", 0, 0, 0}, {"+", A, 0, 0}, {"b", 0, 0, 0}, {"/", A, 0, 0}, {"c", 0, 0, 0}}},
    {"SO\x0e" "a b\x0f" "x", {{"SO\x0e" "a b\x0f" "x", Q, 0, 0}}},
    {"   ", {}},
};

TEST(WordScanner, ScansEveryWordClassAsTabled) {
  for (const ScanCase& c : kScanCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(scan(c.input), c.words);
  }
}

TEST(WordScanner, NumberExponentRewritesLowerCaseEInPlace) {
  std::string statement = "1e5";
  WordScanner scanner(statement);
  ASSERT_GT(scanner.next(), 0);
  EXPECT_EQ(statement, "1E5");
}

TEST(WordScanner, ReturnsConsumedLengthIncludingBlanksAndHostMark) {
  std::string statement = "  :  name rest";
  WordScanner scanner(statement);
  EXPECT_EQ(scanner.get_word(0), 9);
  EXPECT_EQ(scanner.parse_word.position, 5);
  EXPECT_EQ(scanner.parse_word.len, 4);
}

struct ErrorCase {
  const char* input;
  const char* message;
};

const ErrorCase kErrorCases[] = {
    {"a )", "Syntax error - Position = 3 Right parenthesis without preceeding Left parenthesis, "
            "Text = )"},
    {")", "Syntax error - Right parenthesis without preceeding Left parenthesis, Text = )"},
    {"x 'abc", "Syntax error - Position = 3 Missing an ending \" or ' within max word length, "
               "Text = 'abc"},
    {"x \x0e" "abc", "Syntax error - Position = 3 Missing an ending SHIFT_IN within max word "
                     "length, Text = \x0e" "abc"},
};

TEST(WordScanner, SyntaxErrorsCarryPositionAndText) {
  for (const ErrorCase& c : kErrorCases) {
    SCOPED_TRACE(c.input);
    std::string statement = c.input;
    WordScanner scanner(statement);
    int result;
    while ((result = scanner.next()) > 0) {
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(scanner.failed);
    EXPECT_EQ(scanner.message, c.message);
  }
}

TEST(WordScanner, OverlongQuotedStringFails) {
  std::string statement = "'" + std::string(16000, 'x') + "'";
  WordScanner scanner(statement);
  EXPECT_EQ(scanner.next(), -1);
  EXPECT_NE(scanner.message.find("Excessive length in a string with a \" or '"), std::string::npos);
}

TEST(WordScanner, ParenthesesCountAcrossWords) {
  std::string statement = "((a) b";
  WordScanner scanner(statement);
  while (scanner.next() > 0) {
  }
  EXPECT_EQ(scanner.parens, 1);
}

TEST(SimpleGetWord, SplitsQuotedAndPlainItems) {
  const std::string text = "prog, 'a b' c";
  ParseWord w;
  std::size_t pos = 0, consumed = 0;
  std::vector<std::string> items;
  while (simple_get_word(text, pos, w, &consumed) > 0) {
    items.push_back(w.str());
    pos += consumed;
  }
  EXPECT_EQ(items, (std::vector<std::string>{"prog", "'a b'", "c"}));
}

TEST(KeywordSpellings, OnlyAllLowerOrAllUpperMatch) {
  EXPECT_TRUE(is_two_spelling("name", "name"));
  EXPECT_TRUE(is_two_spelling("NAME", "name"));
  EXPECT_FALSE(is_two_spelling("Name", "name"));
  EXPECT_FALSE(is_two_spelling("names", "name"));
}

TEST(PadBlanks, PadsToWidth) {
  std::string s = "ab";
  EXPECT_EQ(pad_blanks(s, 5), 3);
  EXPECT_EQ(s, "ab   ");
  EXPECT_EQ(pad_blanks(s, 2), 0);
}

// ---- statement reader

std::vector<std::string> statements(std::string_view text, ReaderOptions options = {}) {
  StatementReader reader(text, options);
  std::vector<std::string> out;
  std::string s;
  while (reader.next(s) == StatementReader::kStatement) out.push_back(s);
  return out;
}

TEST(StatementReader, TextAfterSemicolonIsIgnored) {
  EXPECT_EQ(statements("interval 60; 99\nlimit 5;\n"),
            (std::vector<std::string>{"interval 60    ", "limit 5    "}));
}

TEST(StatementReader, JoinsLinesWithSingleBlanks) {
  EXPECT_EQ(statements("insert INSERT INTO T\n   (A, B)\n  VALUES (:X, :Y);\n"),
            (std::vector<std::string>{"insert INSERT INTO T (A, B) VALUES (:X, :Y)    "}));
}

TEST(StatementReader, DropsCommentLines) {
  EXPECT_EQ(statements(";; note\n; note\nend;\n"), (std::vector<std::string>{"end    "}));
  ReaderOptions only_double{"", false};
  EXPECT_EQ(statements(";; note\n; x;\nend;\n", only_double),
            (std::vector<std::string>{"    ", "end    "}));
}

TEST(StatementReader, HandlesCarriageReturnsAndUnterminatedLastStatement) {
  EXPECT_EQ(statements("a;\r\nb"), (std::vector<std::string>{"a    ", "b     "}));
}

TEST(StatementReader, LongLinesAreNotCut) {
  const std::string word(600, 'w');
  const std::string text = "x " + word + ";";
  EXPECT_EQ(statements(text), (std::vector<std::string>{"x " + word + "    "}));
}

TEST(StatementReader, OverlongStatementIsReportedAndSkipped) {
  const std::string huge(kStatementMax + 1, 'x');
  const std::string text = "a;\n" + huge + "\nmore;\nb;\n";
  StatementReader reader(text, {});
  std::string s;
  EXPECT_EQ(reader.next(s), StatementReader::kStatement);
  EXPECT_EQ(reader.next(s), StatementReader::kTooLong);
  EXPECT_EQ(reader.next(s), StatementReader::kStatement);
  EXPECT_EQ(s, "b    ");
  EXPECT_EQ(reader.next(s), StatementReader::kEnd);
}

TEST(StatementReader, StatementOfExactlyTheLimitFits) {
  const std::string full(kStatementMax, 'x');
  const std::string text = full + ";";
  StatementReader reader(text, {});
  std::string s;
  EXPECT_EQ(reader.next(s), StatementReader::kStatement);
  EXPECT_EQ(s.size(), kStatementMax + 4);
}

}  // namespace
}  // namespace qrx
