#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "ctl/control_parse.h"
#include "qrx/curs.h"
#include "support/ctl_text.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

class EvalParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"C1", "SESSIONS"}) defs_.add(std::make_unique<curs>()).name = name;
  }
  // Parses `text` with one statement per line ("; " starts a new line).
  int parse(const std::string& text) { return parse_eval_text(defs_, testing::one_statement_per_line(text)); }
  const e_ptr& first_of(const char* cursor) {
    static const e_ptr none;
    const curs* c = defs_.find_cursor(cursor);
    return c && !c->evaluations.empty() ? c->evaluations.front() : none;
  }
  testing::LogCapture log;
  Definitions defs_;  // the cursors under test
};

TEST_F(EvalParserTest, EvaluationBindsToItsCursor) {
  ASSERT_EQ(parse("eval E1; cursor C1; column MAX!busy; operator >=; value 80; end;"), 0) << log.text();
  const e_ptr& e = first_of("C1");
  EXPECT_EQ(e.name, "E1");
  EXPECT_EQ(e.cursor, "C1");
  EXPECT_EQ(e.greater, 1);
  EXPECT_EQ(e.equal, 1);
  EXPECT_EQ(e.less, 0);
  EXPECT_EQ(e.function, 2);
  EXPECT_EQ(e.column, "busy");
  EXPECT_EQ(e.value_type, 1);
  EXPECT_DOUBLE_EQ(e.number, 80);
  EXPECT_EQ(e.value, "80");
  EXPECT_EQ(e.ordinal, 1);
}

TEST_F(EvalParserTest, LaterEvaluationsGoToTheHeadWithRisingOrdinals) {
  ASSERT_EQ(parse("EVAL first; CURSOR SESSIONS; COLUMN status; OPERATOR =; VALUE 'INACTIVE'; "
                  "eval; name second; cursor SESSIONS; column count!sid; operator <; value -2.5; "
                  "eval third; cursor C1; column cpu; operator ><; value 'a b'; end;"),
            0)
      << log.text();
  const curs& s = *defs_.find_cursor("SESSIONS");
  ASSERT_EQ(std::distance(s.evaluations.begin(), s.evaluations.end()), 2);
  const e_ptr& second = s.evaluations.front();
  const e_ptr& first = *std::next(s.evaluations.begin());
  EXPECT_EQ(second.name, "second");
  EXPECT_EQ(second.ordinal, 2);
  EXPECT_EQ(second.function, 9);
  EXPECT_EQ(second.less, 1);
  EXPECT_DOUBLE_EQ(second.number, -2.5);
  EXPECT_EQ(first.ordinal, 1);
  EXPECT_EQ(first.value_type, 2);
  EXPECT_EQ(first.value, "INACTIVE");
  EXPECT_EQ(first.function, 0);
  const e_ptr& third = first_of("C1");
  EXPECT_EQ(third.ordinal, 3);
  EXPECT_EQ(third.value, "a b");
  EXPECT_EQ(third.less + third.greater + third.equal, 2);
}

TEST_F(EvalParserTest, EveryColumnFunctionPrefixInEitherCase) {
  const struct {
    const char* column;
    int function;
  } cases[] = {{"MIN!x", 1}, {"max!x", 2}, {"AVG!x", 3}, {"wavg!x", 4}, {"TREND!x", 5},
               {"sum!x", 6}, {"HW!x", 7},  {"lw!x", 8},  {"COUNT!x", 9}, {"x", 0}};
  for (const auto& c : cases) {
    defs_.cur_anchor[0]->evaluations.clear();
    ASSERT_EQ(parse(std::string("eval E; cursor C1; column ") + c.column + "; operator >; value 1; end;"), 0)
        << c.column << log.text();
    EXPECT_EQ(first_of("C1").function, c.function) << c.column;
    EXPECT_EQ(first_of("C1").column, "x") << c.column;
  }
  EXPECT_EQ(parse("eval E; cursor C1; column Max!x; operator >; value 1; end;"), 0);
  EXPECT_EQ(first_of("C1").column, "Max!x");  // mixed case is no prefix
}

TEST_F(EvalParserTest, UnknownCursorIsReportedAndFailsTheParse) {
  EXPECT_EQ(parse("eval E1; cursor NOSUCH; column c; operator =; value 1; "
                  "eval E2; cursor C1; column c; operator =; value 1; end;"),
            1);
  EXPECT_TRUE(log.has("pev1230", 'e', "Cursor named NOSUCH not found"));
  EXPECT_EQ(first_of("C1").ordinal, 2);  // the parse went on
}

TEST_F(EvalParserTest, KeywordsAreAllLowerOrAllUpperCase) {
  EXPECT_EQ(parse("eval E1; Cursor C1; column c; operator =; value 1; end;"), 1);
  EXPECT_TRUE(log.has("pev1260", 'e', "Unknown keyword (Cursor)"));
  EXPECT_EQ(parse("Eval E1; end;"), 1);
  EXPECT_TRUE(log.has("pev1265", 'e', "First word must be 'eval'"));
}

struct BadEval {
  const char* text;
  const char* id;
  const char* message;
};

class EvalErrorTest : public EvalParserTest, public ::testing::WithParamInterface<BadEval> {};

TEST_P(EvalErrorTest, IsReportedAndFailsTheParse) {
  EXPECT_EQ(parse(GetParam().text), 1) << GetParam().text;
  EXPECT_TRUE(log.has(GetParam().id, 'e', GetParam().message)) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Messages, EvalErrorTest,
    ::testing::Values(
        BadEval{"cursor C1; end;", "pev1270", "First word must be 'eval'"},
        BadEval{"eval abcdefghijklmnopqrstuvwxyz0123456789; end;", "pev1300",
                "Evaluation name is exceeeds 8 characters"},
        BadEval{"eval E; name F; cursor C1; column c; operator =; value 1; end;", "pev1310",
                "Duplicate evaluation name"},
        BadEval{"eval; name abcdefghijklmnopqrstuvwxyz0123456789; end;", "pev1315",
                "Excessive length on evaluation name"},
        BadEval{"eval E; cursor C1; cursor C1; end;", "pev1355", "Duplicate Cursor Name"},
        BadEval{"eval E; cursor LONGNAME9; end;", "pev1360", "Excessive length on Cursor Name"},
        BadEval{"eval E; cursor C1; column a; column b; end;", "pev1365", "Duplicate Column Name b"},
        BadEval{"eval E; cursor C1; column AVG!abcdefghijklmnopqrstuvwxyz0123456789; end;", "pev1370",
                "Column Name too long"},
        BadEval{"eval E; operator !; end;", "pev1320", "Invalid operator"},
        BadEval{"eval E; operator ~=; end;", "pev1325", "Invalid operator"},
        BadEval{"eval E; operator <~; end;", "pev1330", "Invalid operator"},
        BadEval{"eval E; operator lt3; end;", "pev1335", "Invalid operator"},
        BadEval{"eval; cursor C1; column c; operator =; value 1; end;", "pev1275", "No Evaluation name"},
        BadEval{"eval E; column c; operator =; value 1; end;", "pev1280", "No Cursor name"},
        BadEval{"eval E; cursor C1; column c; value 1; end;", "pev1285", "No Operator"},
        BadEval{"eval E; cursor C1; column c; operator =; end;", "pev1290", "No Value specified"},
        BadEval{"eval E; cursor C1; operator =; value 1;", "pev1295", "No Column name"},
        BadEval{"eval E; cursor C1; value (1;", "pev1375", "Parentheses do not balance"},
        BadEval{"eval E; value 'open;", "pev1305",
                "Parsing failed : Syntax error - Position = 7 Missing an ending \" or ' within max "
                "word length, Text = 'open    "}));

}  // namespace
}  // namespace qrx
