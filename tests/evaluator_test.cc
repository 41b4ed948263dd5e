// The evaluator's turn: comparisons, the rows each evaluation selects, the
// row that stopped matching (send_false) and the results kept between runs.
#include "agent/evaluator.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "ctl/control_parse.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::FetchedRow;

constexpr const char* kNow = "20261210120000";

e_ptr evaluation(const char* name, const char* column, const char* op, const char* value, int ordinal,
                 int function = kFnNone) {
  e_ptr e;
  e.name = name;
  e.cursor = "C";
  e.column = column;
  for (const char* p = op; *p; ++p) {
    if (*p == '<') e.less = 1;
    if (*p == '=') e.equal = 1;
    if (*p == '>') e.greater = 1;
  }
  e.value = value;
  char* end = nullptr;
  e.number = std::strtod(value, &end);
  e.value_type = *end == '\0' && *value ? 1 : 2;
  e.ordinal = ordinal;
  e.function = function;
  return e;
}

class EvaluatorTest : public ::testing::Test {
 protected:

  // Cursor C with column `word` (numeric width 6 unless `text`) holding `values`.
  curs& cursor(const std::string& word, const std::vector<const char*>& values, bool text = false) {
    testing::parse_cursors(testing::cursor_text("C", {word}), defs_);
    curs& c = *defs_.find_cursor("C");
    c.window_open = 0;
    c.window_close = INT32_MAX;
    c.sample_no = 1;
    fill(c, values, text);
    return c;
  }
  void fill(curs& c, const std::vector<const char*>& values, bool text = false) {
    c.stored.clear();
    for (const char* v : values) merge_text(c, FetchedRow{{"X", v, 6, !text}}.view(), kNow);
  }
  // The values the evaluator wrote ("cpr1895" lines), trimmed.
  std::vector<std::string> written() const {
    std::vector<std::string> out;
    for (const std::string& line : log_.lines()) {
      if (line.find("CPR1895") == std::string::npos) continue;
      std::string v = line.substr(line.rfind(':') + 1);
      v.erase(0, v.find_first_not_of(' '));
      out.push_back(v);
    }
    return out;
  }

  distributor d_;
  testing::LogCapture log_;
  Definitions defs_;  // the cursors under test
};

TEST_F(EvaluatorTest, GreaterThanWritesEveryMatchingRow) {
  curs& c = cursor("X", {"50", "150", "300"});
  c.evaluations.push_front(evaluation("BIG", "X", ">", "100", 1));
  EXPECT_EQ(do_evaluator(defs_, kNow, d_), 0);
  EXPECT_EQ(written(), (std::vector<std::string>{"150", "300"}));
  EXPECT_EQ(log_.count("cev1760"), 2);
  EXPECT_TRUE(log_.has("cev1760", 'I', "Evaluation BIG (1) true for cursor C")) << log_.text();
  EXPECT_EQ(c.evaluations.front().current, 1);
}

TEST_F(EvaluatorTest, MaxWritesTheFirstRowHoldingTheMaximumOnce) {
  curs& c = cursor("MAX!X", {"20", "180", "180", "7"});
  c.evaluations.push_front(evaluation("TOP", "X", ">", "100", 3, kFnMax));
  EXPECT_EQ(do_evaluator(defs_, kNow, d_), 0);
  EXPECT_EQ(written(), std::vector<std::string>{"180"});
  EXPECT_TRUE(log_.has("cev1760", 'I', "Evaluation TOP (3) MAX row for cursor C")) << log_.text();
}

TEST_F(EvaluatorTest, SendFalseWritesTheRowThatStoppedMatchingOnce) {
  d_.send_false = 1;
  curs& c = cursor("X", {"150"});
  c.evaluations.push_front(evaluation("BIG", "X", ">", "100", 1));
  EXPECT_EQ(do_evaluator(defs_, kNow, d_), 0);
  EXPECT_EQ(written(), std::vector<std::string>{"150"});
  fill(c, {"40"});
  EXPECT_EQ(do_evaluator(defs_, kNow, d_), 0);
  EXPECT_EQ(written(), (std::vector<std::string>{"150", "40"}));
  EXPECT_TRUE(log_.has("cev1760", 'I', "Evaluation BIG (1) turned false for cursor C"));
  EXPECT_EQ(do_evaluator(defs_, kNow, d_), 0);
  EXPECT_EQ(written().size(), 2u);  // nothing more for the same state
  EXPECT_EQ(c.evaluations.front().previous, 0);
}

TEST_F(EvaluatorTest, WithoutSendFalseAFallingValueWritesNothing) {
  curs& c = cursor("X", {"150"});
  c.evaluations.push_front(evaluation("BIG", "X", ">", "100", 1));
  do_evaluator(defs_, kNow, d_);
  fill(c, {"40"});
  do_evaluator(defs_, kNow, d_);
  EXPECT_EQ(written(), std::vector<std::string>{"150"});
}

TEST_F(EvaluatorTest, FunctionOfAPlainColumnSelectsEveryRow) {
  curs& c = cursor("X", {"10", "20", "60"});
  c.trace = 1;
  c.evaluations.push_front(evaluation("AVG", "X", ">=", "30", 1, kFnAvg));
  EXPECT_EQ(do_evaluator(defs_, kNow, d_), 0);
  EXPECT_EQ(written(), (std::vector<std::string>{"10", "20", "60"}));
  EXPECT_TRUE(log_.has("cev1740", 'T', "No column/col-funct match for eval AVG")) << log_.text();
}

TEST_F(EvaluatorTest, UnknownColumnAndCursorWithoutRows) {
  curs& c = cursor("X", {"1"});
  c.evaluations.push_front(evaluation("E", "NOPE", "=", "1", 7));
  EXPECT_EQ(do_evaluator(defs_, kNow, d_), 0);
  EXPECT_TRUE(log_.has("cev1750", 'W', "Can't match for eval 7")) << log_.text();
  c.stored.clear();
  c.evaluations.front().column = "X";
  const std::string before = log_.text();
  EXPECT_EQ(do_evaluator(defs_, kNow, d_), 0);  // no rows: skipped without messages, not a failure
  EXPECT_EQ(log_.text(), before);
}

struct CompareCase {
  const char* column_value;
  bool text;
  const char* op;
  const char* value;
  int expected;
};

TEST_F(EvaluatorTest, CompareNumbersAndBlankPaddedTexts) {
  const CompareCase cases[] = {
      {"150", false, ">", "100", 1},  {"50", false, ">", "100", 0},   {"100", false, ">=", "100", 1},
      {"9", false, "<", "10", 1},      // numerically, not as text
      {"AB", true, "=", "AB  ", 1},    {"AB", true, "=", "AB", 1},    {"AB", true, "<", "AC", 1},
      {"AB", true, "<>", "AB", 0},     {"10", true, "<", "9", 1},     // text column: byte order
  };
  for (const CompareCase& k : cases) {
    SCOPED_TRACE(std::string(k.column_value) + " " + k.op + " " + k.value);
    curs& c = cursor("X", {k.column_value}, k.text);
    const e_ptr e = evaluation("E", "X", k.op, k.value, 1);
    EXPECT_EQ(do_compare(*c.cols[0], c.stored.first()->data(), e), k.expected);
    defs_.del_curs();
  }
}

TEST_F(EvaluatorTest, OverlongConstantIsReported) {
  curs& c = cursor("X", {"AB"}, true);
  const e_ptr e = evaluation("E", "X", "=", std::string(2100, 'A').c_str(), 1);
  EXPECT_EQ(do_compare(*c.cols[0], c.stored.first()->data(), e), 0);
  EXPECT_TRUE(log_.has("cev1800", 'W', "Improper length on constant string " + std::string(2100, 'A')));
}

}  // namespace
}  // namespace qrx
