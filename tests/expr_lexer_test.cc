#include "expr/lexer.h"

#include <gtest/gtest.h>

#include <string>

#include "expr/context.h"
#include "expr/lex_cache.h"
#include "expr/terms.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

// Tokens as spellings: terms by their text (strings quoted, columns
// qualified), the unary minus as "u-"; the end marker is left out.
std::string spell(const LexList& list) {
  std::string out;
  for (const Lexeme* l : list) {
    if (l == nullptr) continue;
    if (!out.empty()) out += ' ';
    if (l->entry_type == kLexTerm) {
      const auto* t = static_cast<const TERM_TABLE*>(l);
      if (t->kind == kTermString) out += "'" + std::string(t->value) + "'";
      else if (t->kind == kTermColumn) out += std::string(t->curs_name) + "." + t->text;
      else out += t->text;
    } else {
      const auto* op = static_cast<const Operation*>(l);
      out += op->args == 1 && op->oper_class == kClassOperator && op->spelling[0] == '-'
                 ? "u-" : op->spelling;
    }
  }
  return out;
}

// Each test parses into its own context's term table.
class ExprLexerTest : public ::testing::Test {
 protected:
  void SetUp() override { open_lexer(cx_, nullptr); }
  ExprContext cx_;
  testing::LogCapture log_;
};

struct OrderCase {
  const char* text;
  const char* tokens;
  const char* rpn;
};

const OrderCase kOrderCases[] = {
    {"a + b * c", "a + b * c", "a b c * +"},
    {"a - b - c", "a - b - c", "a b - c -"},
    {"a / b * c", "a / b * c", "a b / c *"},
    {"(NOT a) AND b", "( NOT a ) AND b", "a NOT b AND"},
    {"a = b OR c = d AND e", "a = b OR c = d AND e", "a b = c d = e AND OR"},
    {"(a OR b) AND c", "( a OR b ) AND c", "a b OR c AND"},
    {"x = (-1)", "x = ( u- 1 )", "x 1 u- ="},
    {"x = -1", "x = - 1", "x 1 - ="},
    {"(-5)", "( u- 5 )", "5 u-"},
    {"a := b + 1", "a := b + 1", "a b 1 + :="},
    {"a ^= b", "a ^= b", "a b ^="},
    {"a >= 1 AND b <= 2.5", "a >= 1 AND b <= 2.5", "a 1 >= b 2.5 <= AND"},
    {"Q like 'X%'", "Q LIKE 'X%'", "Q 'X%' LIKE"},
    {"SUM(a) + 1", "SUM ( a ) + 1", "a SUM 1 +"},
    {"ROW(a, b + 1, c)", "ROW ( a , b + 1 , c )", "a b 1 + c ROW"},
    {"sum (x)", "SUM ( x )", "x SUM"},
    {"cur1.col_a > 5.5", "cur1.col_a > 5.5", "cur1.col_a 5.5 >"},
    {"cur1 . col.b = 1", "cur1.col.b = 1", "cur1.col.b 1 ="},
    {"%parm0 = 'Y'", "%parm0 = 'Y'", "%parm0 'Y' ="},
    {"!x = \"two words\"", "!x = 'two words'", "!x 'two words' ="},
    {"_n = ''", "_n = ' '", "_n ' ' ="},
    {"a > 5; b < 3", "a > 5", "a 5 >"},
    {"  a\t>\n5  ", "a > 5", "a 5 >"},
};

TEST_F(ExprLexerTest, TextGivesTokensAndReversePolishOrder) {
  for (const OrderCase& c : kOrderCases) {
    SCOPED_TRACE(c.text);
    const char* at = c.text;
    LexList tokens;
    ASSERT_EQ(lex_expression(cx_, at, tokens), 0) << log_.text();
    ASSERT_FALSE(tokens.empty());
    EXPECT_EQ(tokens.back(), nullptr);
    EXPECT_EQ(spell(tokens), c.tokens);
    auto rpn = reverse_pol_notation(tokens);
    ASSERT_NE(rpn, nullptr);
    EXPECT_EQ(rpn->back(), nullptr);
    EXPECT_EQ(spell(*rpn), c.rpn);
    auto parsed = parse_expression(cx_, c.text);
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(*parsed, *rpn) << "parse_expression is lexing plus ordering";
  }
}

TEST_F(ExprLexerTest, LexingStopsAfterTheEndSign) {
  const char* text = "a > 5; b";
  const char* stopped = nullptr;
  ASSERT_NE(parse_expression(cx_, text, &stopped), nullptr);
  EXPECT_EQ(stopped, text + 6);
}

TEST_F(ExprLexerTest, NamesAndConstantsAreInternedOncePerTableButStringsKeepTheirCase) {
  auto first = parse_expression(cx_, "a LIKE 'X%' AND b = 5");
  auto second = parse_expression(cx_, "A like 'X%' AND B = 5");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(*first, *second);
  auto cases = parse_expression(cx_, "'ABC' LIKE 'abc'");
  ASSERT_NE(cases, nullptr);
  EXPECT_NE((*cases)[0], (*cases)[1]) << "a string constant is not folded with another case";
  auto numbers = parse_expression(cx_, "5 = 5.0");
  ASSERT_NE(numbers, nullptr);
  EXPECT_NE((*numbers)[0], (*numbers)[1]);
  EXPECT_EQ(static_cast<const TERM_TABLE*>((*numbers)[0])->data_type, kTypeInteger);
  EXPECT_EQ(static_cast<const TERM_TABLE*>((*numbers)[1])->data_type, kTypeFloat);
}

TEST_F(ExprLexerTest, AnEmptyStringConstantBecomesOneBlankWithAWarning) {
  ASSERT_NE(parse_expression(cx_, "a = ''"), nullptr);
  EXPECT_TRUE(log_.has("LEX0390", 'w', "Empty string, a blank assumed"));
}

TEST_F(ExprLexerTest, ALongStringConstantKeepsItsWholeValue) {
  const std::string value(16000, 'x');
  const std::string text = "a = '" + value + "'";
  auto rpn = parse_expression(cx_, text.c_str());
  ASSERT_NE(rpn, nullptr);
  EXPECT_EQ(static_cast<const TERM_TABLE*>((*rpn)[1])->value, value);
}

struct FailCase {
  std::string text;
  const char* id;
  std::string message;
};

const FailCase kFailCases[] = {
    {"NOT a AND b", "LEX0090", "Unknown operation a AND b in expression"},
    {"-5", "LEX0130", "Syntax error: invalid character sequence in expression"},
    {"x=-1", "LEX0090", "Unknown operation =-1 in expression"},
    {"a ++ b", "LEX0090", "Unknown operation ++ b in expression"},
    {"a b", "LEX0090", "Unknown operation b in expression"},
    {"a = (+ 1)", "LEX0090", "Unknown operation in expression"},
    {"1.2.3", "LEX0345", "Extra period in decimal number"},
    {"a = .", "LEX0350", "Syntax error, a number expected"},
    {"abcdefghi.col = 1", "LEX0180", "Cursor name abcdefghi is longer than MAX_CURSOR_LEN"},
    {"cur. = 1", "LEX0195", "Lexer error"},
    {"(a", "LEX0110", "Unbalanced parentheses in expression"},
    {"a)", "LEX0045", "Unbalanced parentheses in expression"},
    {"a = 'abc", "LEX0410", "Expression end encountered before string end"},
    {"a = 'ab;c'", "LEX0410", "Expression end encountered before string end"},
    {"a # b", "LEX0020", "Unknown character type in expression"},
    {"#", "LEX0015", "Syntax error in expression"},
    {"FOO(a)", "LEX0260", "Unknown function FOO in expression"},
    {"SUM(a", "LEX0300", "function argument expression syntax error"},
    {"a = ()", "LEX0130", "Syntax error: invalid character sequence in expression"},
    {"a +", "LEX0130", "Syntax error: invalid character sequence in expression"},
    {std::string(51, 'n') + " = 1", "LEX0165",
     "Name " + std::string(50, 'n') + " is longer than 50 characters"},
    {std::string(10000, '(') + "a" + std::string(10000, ')'), "LEX0040",
     "Expression is too long"},
    {[] {
       std::string s = "a";
       for (int i = 0; i < 1000; ++i) s += " + a";
       return s;
     }(),
     "LEX0160", "Expression is too long"},
};

TEST_F(ExprLexerTest, MalformedTextFailsWithItsMessage) {
  for (const FailCase& c : kFailCases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    testing::LogCapture log;
    EXPECT_EQ(parse_expression(cx_, c.text.c_str()), nullptr);
    EXPECT_TRUE(log.has(c.id, 'e', c.message)) << log.text();
    EXPECT_TRUE(log.has("LEX0005", 'e', "If-condition parsing ended with error")) << log.text();
  }
}

TEST_F(ExprLexerTest, ATermFailureAlsoNamesTheTerm) {
  EXPECT_EQ(parse_expression(cx_, "a = 1.2.3"), nullptr);
  EXPECT_TRUE(log_.has("LEX0060", 'e', "Term syntax error"));
}

TEST_F(ExprLexerTest, OrderingAnUnopenedCloseFails) {
  const LexList tokens = {close_paren_oper(), nullptr};
  EXPECT_EQ(reverse_pol_notation(tokens), nullptr);
  EXPECT_TRUE(log_.has("RPN0010", 'e', "Unbalanced parentheses in expression"));
}

TEST_F(ExprLexerTest, TheCacheDerivesAnotherKindWithoutLexingAgain) {
  const char* text = "a > 5 AND b LIKE 'X%'";
  auto rpn = parse_expression(cx_, text);
  ASSERT_NE(rpn, nullptr);
  LexedBlock plain;
  plain.text = text;
  plain.kind = kLexedExpr;
  plain.rpn = rpn.get();
  plain.term_table = get_lex_term_tb_anchor(cx_);
  ASSERT_EQ(store_lex_block(cx_, plain), 0);
  const std::size_t runs = lexer_runs(cx_);
  LexedBlock cond;
  cond.text = text;
  cond.kind = kLexedCond;
  ASSERT_EQ(find_lex_block(cx_, cond), 1);
  EXPECT_EQ(lexer_runs(cx_), runs);
  EXPECT_EQ(cond.rpn, plain.rpn);
  EXPECT_EQ(spell(*cond.rpn), "a 5 > b 'X%' LIKE AND");
}

}  // namespace
}  // namespace qrx
