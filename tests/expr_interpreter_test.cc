#include "expr/interpreter.h"

#include <gtest/gtest.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "expr/lexer.h"
#include "expr/terms.h"
#include "support/cursor_builder.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

using testing::append_column;
using testing::append_row;

// Cursor CUR1 (A numeric, B and C character), CUR2 (D numeric, E character) and a
// percent cursor with "%parm0"; reached through the installed lookups.
curs* cur1 = nullptr;
curs* cur2 = nullptr;
curs* pcur = nullptr;

const curs* find_test_cursor(std::string_view name) {
  if (name == "CUR1") return cur1;
  if (name == "CUR2") return cur2;
  return nullptr;
}
const columns* find_test_percent(std::string_view name) {
  for (const auto& col : pcur->cols)
    if (strncasecmp(col->name.c_str(), name.data(), name.size()) == 0 &&
        col->name.size() == name.size())
      return col.get();
  return nullptr;
}
const row_data* test_percent_row(cursor_set&, const columns&) { return pcur->stored.last(); }

class ExprInterpreterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    c1.name = "CUR1";
    append_column(c1, "A", 6, true);
    append_column(c1, "B", 6, false);
    append_column(c1, "C", 4, false);
    append_row(c1, {"3", "ABC", "1"});
    append_row(c1, {"10", "XYZ", "10"});
    c2.name = "CUR2";
    append_column(c2, "D", 8, true);
    append_column(c2, "E", 12, false);
    append_row(c2, {"2.5", "QUEBEC"});
    pc.name = "%CURSOR";
    append_column(pc, "%parm0", 4, false);
    append_row(pc, {"Y"});
    cur1 = &c1;
    cur2 = &c2;
    pcur = &pc;
    ExprNames names;
    names.find_cursor = find_test_cursor;
    names.find_percent = find_test_percent;
    names.percent_row = test_percent_row;
    names.cursors = &percent_set_;
    set_expr_names(cx_, names);
    set_current_cursor(cx_, &c1);
    set_current_row(cx_, nullptr);
    set_proc_mode(cx_, kProcExecute);
    open_lexer(cx_, nullptr);
  }
  void TearDown() override {
    TERM_TABLE* table = nullptr;
    close_lexer(cx_, &table);
    free_perm_term_tb(cx_, table);
  }
  // The value text of `text` evaluated, or "null" when evaluation fails.
  std::string eval(const std::string& text, int32_t* num_class = nullptr) {
    auto rpn = parse_expression(cx_, text.c_str());
    if (rpn == nullptr) return "parse failed";
    const LexList before = *rpn;
    TERM_TABLE* r = interpreter(cx_, *rpn);
    EXPECT_EQ(*rpn, before) << "the compiled list is left for the next evaluation";
    if (r == nullptr) return "null";
    std::string v(r->value, r->value_len);
    if (num_class) *num_class = r->num_class;
    free_work_chain(cx_, r, nullptr, 1);
    return v;
  }

  curs c1, c2, pc;
  cursor_set percent_set_;  // handed to the percent lookup, which reads `pc`
  ExprContext cx_;
  testing::LogCapture log_;
};

struct EvalCase {
  const char* text;
  const char* result;
};

const EvalCase kEvalCases[] = {
    {"A > 5", "1"},
    {"A > 9", "1"},
    {"A = 10", "1"},
    {"A < 10", "0"},
    {"(NOT 0)", "1"},
    {"(NOT 2)", "0"},
    {"(NOT (A > 1))", "0"},
    {"(NOT (A < 1))", "1"},
    {"(NOT (NOT (A > 1)))", "1"},
    {"(A > 1) AND (NOT (B = 'ABC'))", "1"},
    {"0 OR 2.5", "1"},
    {"0 OR 0", "0"},
    {"1 AND 0", "0"},
    {"1 AND 0.5", "1"},
    {"'ABC' = 'ABC   '", "1"},
    {"'ABC' < 'B'", "0"},
    {"'B' < 'ABC'", "1"},
    {"'ABC' ^= 'ABD'", "1"},
    {"'ABD' > 'ABC'", "1"},
    {"3 >= 3", "1"},
    {"3 <= 2", "0"},
    {"'12' = 12", "1"},
    {"2.5 > 2", "1"},
    {"7 / 2", "3.500000"},
    {"7 + 2 * 3", "13"},
    {"(7 + 2) * 3", "27"},
    {"7 - 2 - 1", "4"},
    {"1.5 + 1", "2.500000"},
    {"(-5) * 2", "-10"},
    {"(-7) / 2", "-3.500000"},
    {"'12' + 1", "13"},
    {"A + 1", "11.000000"},
    {"B = 'XYZ'", "1"},
    {"B LIKE 'X%'", "1"},
    {"B LIKE 'Y%'", "0"},
    {"'ABCDEF' LIKE 'A%D_F'", "1"},
    {"'ABC' LIKE 'A_'", "0"},
    {"'ABC' LIKE '%'", "1"},
    {"'ABC' LIKE 'abc'", "0"},
    {"'ABC' LIKE '_B_'", "1"},
    {"'ABC' LIKE '%C'", "1"},
    {"'ABC' LIKE '%B'", "0"},
    {"x := 5", "1"},
    {"y := ''", "1"},
    {"%parm0 = 'Y'", "1"},
    {"%PARM0 = 'N'", "0"},
    {"CUR2.D * 2", "5.000000"},
    {"CUR1.B = 'XYZ'", "1"},
    {"A > 5 AND B LIKE 'X%' OR %parm0 = 'Y'", "1"},
    {"A > 50 AND B LIKE 'X%' OR %parm0 = 'N'", "0"},
};

TEST_F(ExprInterpreterTest, TextEvaluatesOverTheFixtureCursors) {
  for (const EvalCase& c : kEvalCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(eval(c.text), c.result) << log_.text();
  }
}

TEST_F(ExprInterpreterTest, ResultsCarryTheirNumericClass) {
  int32_t cls = 0;
  EXPECT_EQ(eval("A > 5", &cls), "1");
  EXPECT_EQ(cls, kNumInteger);
  EXPECT_EQ(eval("7 / 7", &cls), "1.000000");
  EXPECT_EQ(cls, kNumFloat);
  EXPECT_EQ(eval("2 * 3", &cls), "6");
  EXPECT_EQ(cls, kNumInteger);
}

TEST_F(ExprInterpreterTest, AnAssignedWorkingVariableKeepsItsValue) {
  EXPECT_EQ(eval("x := 5"), "1");
  EXPECT_EQ(eval("x = 5"), "1");
  EXPECT_EQ(eval("x := 'abc'"), "1");
  EXPECT_EQ(eval("x = 'abc'"), "1");
  const std::string long_value(300, 'q');
  EXPECT_EQ(eval("x := '" + long_value + "'"), "1");
  EXPECT_EQ(eval("x = '" + long_value + "'"), "1") << "longer values get their own buffer";
}

TEST_F(ExprInterpreterTest, BareNamesReadTheRowTheCallerPoints) {
  EXPECT_EQ(eval("A = 10"), "1");
  set_current_row(cx_, c1.stored.first());
  EXPECT_EQ(eval("A = 3"), "1");
  EXPECT_EQ(eval("B LIKE 'AB%'"), "1");
  EXPECT_EQ(eval("CUR1.A = 3"), "1");
  set_current_row(cx_, nullptr);
}

struct FailEvalCase {
  std::string text;
  const char* id;
  std::string message;
};

const FailEvalCase kFailEvalCases[] = {
    {"7 / 0", "Int0340", "Can not divide by 0"},
    {"C > 9", "Int0190", "Arguments for COMPARE operation are incomparable"},
    {"9 < C", "Int0210", "Arguments for COMPARE operation are incomparable"},
    {"5 = -1", "Int0056", "operation = should have 2 arguments"},
    {"cur1.B = 'XYZ'", "Int0500", "Cursor cur1 not found for column B"},
    {"NOPE.A = 1", "Int0500", "Cursor NOPE not found for column A"},
    {"CUR2.Q = 1", "Int0052", "Term edit failed"},
    {"%nope = 1", "Int0520", "Variable %nope not found"},
    {"'a' AND 1", "Int0160", "Arguments for AND operation must be I_NUMERIC"},
    {"'a' OR 1", "Int0150", "Arguments for OR operation must be I_NUMERIC"},
    {"(NOT 'a')", "Int0170", "Argument for NOT operation must be numeric"},
    {"'abc' + 1", "Int0315", "Can't convert argument abc to numeric for an arithmetic operation"},
    {"99999999999 = 1", "Int0435", "Number 99999999999 does not fit a 32-bit integer"},
    {"2147483647 + 1", "Int0345", "Result of + operation does not fit a 32-bit integer"},
    {"65536 * 65536", "Int0345", "Result of * operation does not fit a 32-bit integer"},
    {"A := 1", "Int0300", "Invalid argument type"},
    {"a", "Int0045", "Expression has no operation"},
    {"SUM(", "LEX0005", "If-condition parsing ended with error"},
};

TEST_F(ExprInterpreterTest, FailingEvaluationsNameTheirMessageAndGiveNoResult) {
  for (const FailEvalCase& c : kFailEvalCases) {
    SCOPED_TRACE(c.text);
    testing::LogCapture log;
    const std::string r = eval(c.text);
    EXPECT_TRUE(r == "null" || r == "parse failed") << r;
    EXPECT_TRUE(log.has(c.id, 'e', c.message)) << log.text();
  }
}

TEST_F(ExprInterpreterTest, AFailingOperationIsNamed) {
  EXPECT_EQ(eval("7 / 0"), "null");
  EXPECT_TRUE(log_.has("Int0030", 'e', "Operation / failed"));
}

TEST_F(ExprInterpreterTest, AColumnWithoutAValueFailsTheEvaluation) {
  pc.cols[0]->stored_length = 0;
  EXPECT_EQ(eval("%parm0 = ' '"), "null");
  EXPECT_TRUE(log_.has("Int0100", 'e', "No value for column %parm0"));
}

TEST_F(ExprInterpreterTest, SumAddsOverExecutionsAndRowMarksANewGroup) {
  auto sum = parse_expression(cx_, "SUM(A)");
  ASSERT_NE(sum, nullptr);
  set_proc_mode(cx_, kProcPrepare);
  TERM_TABLE* r = interpreter(cx_, *sum);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r->value, r->value_len), "10.000000");
  free_work_chain(cx_, r, nullptr, 1);
  set_proc_mode(cx_, kProcExecute);
  r = interpreter(cx_, *sum);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::string(r->value, r->value_len), "20.000000");
  free_work_chain(cx_, r, nullptr, 1);

  auto row = parse_expression(cx_, "ROW(B, rfa)");
  ASSERT_NE(row, nullptr);
  set_proc_mode(cx_, kProcPrepare);
  r = interpreter(cx_, *row);
  ASSERT_NE(r, nullptr);
  free_work_chain(cx_, r, nullptr, 1);
  EXPECT_EQ(get_row_status(cx_), 2);
  set_proc_mode(cx_, kProcExecute);
  r = interpreter(cx_, *row);
  ASSERT_NE(r, nullptr);
  free_work_chain(cx_, r, nullptr, 1);
  EXPECT_EQ(get_row_status(cx_), 2) << "same value: same group";
  set_current_row(cx_, c1.stored.first());
  r = interpreter(cx_, *row);
  ASSERT_NE(r, nullptr);
  free_work_chain(cx_, r, nullptr, 1);
  EXPECT_EQ(get_row_status(cx_), 3) << "B changed: a new group";
  set_current_row(cx_, nullptr);
}

TEST_F(ExprInterpreterTest, ANameResolvedToAColumnIsStillOneTermForLaterExpressions) {
  auto first = parse_expression(cx_, "A > 5 AND %parm0 = 'Y'");
  ASSERT_NE(first, nullptr);
  TERM_TABLE* r = interpreter(cx_, *first);
  ASSERT_NE(r, nullptr);
  free_work_chain(cx_, r, nullptr, 1);
  auto second = parse_expression(cx_, "a < 50 OR %PARM0 = 'N'");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ((*first)[0], (*second)[0]) << "A";
  EXPECT_EQ((*first)[3], (*second)[3]) << "%parm0";
  auto qualified = parse_expression(cx_, "CUR1.A = 10");
  ASSERT_NE(qualified, nullptr);
  EXPECT_NE((*qualified)[0], (*first)[0]) << "a qualified name is its own term";
}

TEST_F(ExprInterpreterTest, AggregatesOverWorkValuesReleaseTheirCopies) {
  // The argument of SUM and ROW is a work value here; recycling it must free
  // the accumulator and saved copy it holds (ASan's leak check sees them).
  for (int mode : {kProcPrepare, kProcExecute, kProcReset, kProcExecute}) {
    set_proc_mode(cx_, mode);
    EXPECT_EQ(eval("SUM(A + 1)"), "11.000000");
    EXPECT_NE(eval("ROW(A + 1, B, rfa)"), "null");
  }
}

// ---- the compiled form ----------------------------------------------------

// What one evaluation gave: the result's fields and the messages logged
// (identifier, severity and text; the time between them left out).
struct Outcome {
  std::string value = "null";
  int32_t num_class = -1, data_type = -1, kind = -1;
  std::vector<std::string> messages;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << o.value << " class " << o.num_class << " type " << o.data_type << " kind " << o.kind;
  for (const std::string& m : o.messages) os << " | " << m;
  return os;
}

Outcome evaluate_list(ExprContext& cx, const LexList& rpn) {
  testing::LogCapture log;
  Outcome o;
  if (TERM_TABLE* r = interpreter(cx, rpn)) {
    o.value.assign(r->value ? r->value : "", r->value ? r->value_len : 0);
    o.num_class = r->num_class;
    o.data_type = r->data_type;
    o.kind = r->kind;
    free_work_chain(cx, r, nullptr, 1);
  }
  for (const std::string& line : log.lines()) {
    const std::size_t open = line.find(" ("), close = line.find(") ");
    o.messages.push_back(open == std::string::npos || close == std::string::npos
                             ? line
                             : line.substr(0, open) + " " + line.substr(close + 2));
  }
  return o;
}

// Cases beyond the table above that take other ways through the compiled
// form: a column on the right, patterns of every shape, numbers made from
// text, working variables, arithmetic feeding comparisons and LIKE.
const char* const kCompiledCases[] = {
    "5 < A", "10 >= A", "'XYZ' = B", "B ^= 'ABC'", "B LIKE 'XY%'", "B LIKE 'XYZ'",
    "B LIKE 'X %'", "B LIKE ''", "B LIKE '%Z'", "B LIKE 'X%%'", "(A + 1) LIKE '1%'",
    "A * 2 > 10 OR (NOT B = 'ABC')", "C LIKE '1%'", "%parm0 LIKE 'Y'", "CUR2.D > A",
    "CUR2.D * 2 = 5", "(-A) < 0", "7 / 2 > 3", "A > 5 AND (B LIKE 'X%' OR 1)", "x := 3",
    "x + 1 = 4", "x LIKE '3'", "A - 3 = 7", "B = ''", "A > 5 AND (NOT B LIKE 'A%')",
    // Texts equal or not: shorter, longer, blank-ended and all-blank constants.
    "B = 'XY'", "B ^= 'XYZ'", "'ABC' ^= B", "B = 'XYZ   '", "B = 'XYZABCD'", "B = ' XYZ'",
    "%parm0 = ' '", "%parm0 ^= 'Y'", "B > 'ABD'", "'ABD' > B", "B <= 'XYZ'",
    "A ^= 10", "10 = A", "A <= 3", "3 > A", "B LIKE 'ABC'", "B LIKE 'AB'",
    // Tests whose results decide the truth before the last one has run.
    "A > 5 OR B = 'ABC'", "A > 5 AND B = 'XYZ' OR C LIKE '1%'",
    "(NOT A > 5) AND B LIKE 'A%'", "(A > 5 OR B = 'ABC') AND (C = '1' OR %parm0 = 'Y')",
    "A < 5 AND CUR2.D > 2 AND %parm0 ^= 'Y'",
    "A > 5 AND B = 'XYZ' AND (NOT C = '1') AND %parm0 = 'Y'",
    "A > 1 AND B ^= 'Q' AND C LIKE '1%' AND %parm0 = 'Y' AND CUR2.E LIKE 'Q%'",
    "A > 5 OR B = 'ABC' OR C = '1' OR %parm0 = 'N' OR CUR2.E LIKE 'X%' OR A < 0",
    // A column of eight bytes or more against literals of up to eight and more.
    "CUR2.E = 'QUEBEC'", "CUR2.E = 'QUEBE'", "CUR2.E ^= 'QUEBEC  '", "CUR2.E = 'QUEBECQU'",
    "CUR2.E = 'QUEBEC Z'", "CUR2.E = 'QUEBECQUEBEC'", "'QUEBEC' ^= CUR2.E", "CUR2.E LIKE 'Q%'",
    "CUR2.E LIKE 'QUEBEC%'", "CUR2.E LIKE 'QUEBECQU%'", "CUR2.E LIKE 'QUEBECQUE%'",
    "CUR2.E LIKE 'QUEBEX%'", "CUR2.E LIKE '%'", "CUR2.E LIKE 'UEBEC%'",
    // Stored numbers against whole and fractional constants, in and out of 32 bits.
    "A > 9.5", "A = 10.0", "A < 3000000000.0", "A >= 10", "CUR2.D > 2.4", "CUR2.D < 3",
};

TEST_F(ExprInterpreterTest, TheCompiledFormAnswersEveryCaseAsTheFullEvaluationDoes) {
  std::vector<std::string> texts;
  for (const EvalCase& c : kEvalCases) texts.push_back(c.text);
  for (const char* t : kCompiledCases) texts.push_back(t);
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    auto rpn = parse_expression(cx_, text.c_str());
    ASSERT_NE(rpn, nullptr);
    const bool assigns = text.find(":=") != std::string::npos;
    for (const row_data* row : {c1.stored.first(), static_cast<row_data*>(nullptr)}) {
      set_current_row(cx_, row);
      set_compiled_evaluation(cx_, false);
      const Outcome full = evaluate_list(cx_, *rpn);
      ASSERT_NE(full.value, "null") << full;
      set_compiled_evaluation(cx_, true);
      const std::size_t before = compiled_evaluations(cx_);
      EXPECT_EQ(evaluate_list(cx_, *rpn), full) << "compiling";
      EXPECT_EQ(evaluate_list(cx_, *rpn), full) << "compiled";
      EXPECT_EQ(evaluate_list(cx_, *rpn), full) << "compiled again";
      EXPECT_EQ(compiled_evaluations(cx_) - before, assigns ? 0u : 2u)
          << "the compiled form answers after the first evaluation; assignments never";
    }
  }
  set_current_row(cx_, nullptr);
}

// Writes `text` blank-padded into column `col` of `row`.
void put_value(const curs& c, row_data* row, int col, const char* text) {
  const columns& column = *c.cols[col];
  std::memset(row->data() + column.stored_offset, ' ', column.stored_length);
  std::memcpy(row->data() + column.stored_offset, text, std::strlen(text));
}

// An expression that evaluates, then meets a fault after a change: the
// compiled form gives way to the full evaluation, which says it. `arrange`
// sets the fixture up (fault false) and then makes the fault (fault true).
struct LaterFault {
  const char* text;
  void (*arrange)(curs& c1, curs& c2, curs& pc, bool fault);
  const char* id;
  const char* message;
};

// Column C of CUR1's newest row: a number only when it fills the width.
void set_c(curs& c1, bool fault) { put_value(c1, c1.stored.newest(), 2, fault ? "ab" : "1000"); }

const LaterFault kLaterFaults[] = {
    {"C > 9", [](curs& c1, curs&, curs&, bool fault) { set_c(c1, fault); },
     "Int0190", "Arguments for COMPARE operation are incomparable"},
    {"B LIKE 'X%' AND 9 < C", [](curs& c1, curs&, curs&, bool fault) { set_c(c1, fault); },
     "Int0210", "Arguments for COMPARE operation are incomparable"},
    {"C + 1 > 9", [](curs& c1, curs&, curs&, bool fault) { set_c(c1, fault); },
     "Int0315", "Can't convert argument C to numeric for an arithmetic operation"},
    {"A / (A - 3)", [](curs& c1, curs&, curs&, bool fault) {
       if (fault) put_value(c1, c1.stored.newest(), 0, "3");
     }, "Int0340", "Can not divide by 0"},
    {"C * 1000000 > 0", [](curs& c1, curs&, curs&, bool fault) {
       put_value(c1, c1.stored.newest(), 2, fault ? "9999" : "1000");
     }, "Int0345", "Result of * operation does not fit a 32-bit integer"},
    {"%parm0 = 'Y'", [](curs&, curs&, curs& pc, bool fault) {
       if (fault) pc.cols[0]->stored_length = 0;
     }, "Int0100", "No value for column %parm0"},
    {"CUR2.D > 1 OR A > 5", [](curs&, curs& c2, curs&, bool fault) {
       if (fault) c2.stored.clear();
     }, "Int0100", "No value for column D"},
    {"A + 1 > 5", [](curs& c1, curs&, curs&, bool fault) {
       if (fault) c1.stored.clear();
     }, "Int0100", "No value for column A"},
    // The truth is known before the faulty test; the full evaluation still reads it.
    {"A > 5 OR CUR2.D > 1", [](curs&, curs& c2, curs&, bool fault) {
       if (fault) c2.stored.clear();
     }, "Int0100", "No value for column D"},
    {"A < 5 AND %parm0 = 'Y'", [](curs&, curs&, curs& pc, bool fault) {
       if (fault) pc.cols[0]->stored_length = 0;
     }, "Int0100", "No value for column %parm0"},
};

TEST_F(ExprInterpreterTest, AFaultMetByTheCompiledFormIsLoggedAsTheFullEvaluationLogsIt) {
  for (const LaterFault& f : kLaterFaults) {
    SCOPED_TRACE(f.text);
    Outcome faulted[2];
    for (bool compiled : {false, true}) {
      // A fresh fixture for each way.
      TearDown();
      for (curs* c : {&c1, &c2, &pc}) {
        c->~curs();
        new (c) curs;
      }
      SetUp();
      f.arrange(c1, c2, pc, false);
      set_compiled_evaluation(cx_, compiled);
      auto rpn = parse_expression(cx_, f.text);
      ASSERT_NE(rpn, nullptr);
      const std::size_t before = compiled_evaluations(cx_);
      for (int i = 0; i < 2; ++i) {
        const Outcome o = evaluate_list(cx_, *rpn);
        EXPECT_NE(o.value, "null") << o;
      }
      EXPECT_EQ(compiled_evaluations(cx_) - before, compiled ? 1u : 0u);
      f.arrange(c1, c2, pc, true);
      faulted[compiled] = evaluate_list(cx_, *rpn);
      EXPECT_EQ(faulted[compiled].value, "null");
    }
    EXPECT_EQ(faulted[1], faulted[0]);
    const std::string want = std::string(f.id) + "E " + f.message;
    const auto named = [&](const std::string& m) { return strcasecmp(m.c_str(), want.c_str()) == 0; };
    EXPECT_TRUE(std::any_of(faulted[1].messages.begin(), faulted[1].messages.end(), named))
        << faulted[1];
  }
  set_compiled_evaluation(cx_, true);
}

TEST_F(ExprInterpreterTest, AChangedColumnLayoutIsReadWhereTheColumnNowIs) {
  auto rpn = parse_expression(cx_, "B = 'XYZ' AND A > 5 AND C LIKE '1%'");
  ASSERT_NE(rpn, nullptr);
  EXPECT_EQ(evaluate_list(cx_, *rpn).value, "1");
  EXPECT_EQ(evaluate_list(cx_, *rpn).value, "1");
  // The columns move behind a new first one and B narrows; the rows are
  // rebuilt in the new layout.
  c1.stored.clear();
  const int32_t shift = 40;
  for (auto& col : c1.cols) col->stored_offset += shift;
  c1.cols[1]->stored_length = 3;
  c1.cols[2]->stored_offset = c1.cols[1]->stored_offset + 3;
  c1.row_length = static_cast<uint32_t>(c1.cols[2]->stored_offset + c1.cols[2]->stored_length);
  append_row(c1, {"10", "XYZ", "10"});
  const std::size_t before = compiled_evaluations(cx_);
  EXPECT_EQ(evaluate_list(cx_, *rpn).value, "1");
  put_value(c1, c1.stored.newest(), 1, "XYA");
  EXPECT_EQ(evaluate_list(cx_, *rpn).value, "0");
  put_value(c1, c1.stored.newest(), 1, "XYZ");
  put_value(c1, c1.stored.newest(), 2, "2");
  EXPECT_EQ(evaluate_list(cx_, *rpn).value, "0");
  EXPECT_EQ(compiled_evaluations(cx_) - before, 3u) << "the compiled form read the new places";
}

TEST_F(ExprInterpreterTest, AListRefilledInPlaceIsNotAnsweredByTheFormOfItsFormerEntries) {
  auto greater = parse_expression(cx_, "A > 5");
  auto less = parse_expression(cx_, "A < 5");
  ASSERT_NE(greater, nullptr);
  ASSERT_NE(less, nullptr);
  ASSERT_EQ(greater->size(), less->size());
  LexList list = *greater;
  EXPECT_EQ(evaluate_list(cx_, list).value, "1");
  EXPECT_EQ(evaluate_list(cx_, list).value, "1");
  const Lexeme* const* entries = list.data();
  list = *less;
  ASSERT_EQ(list.data(), entries) << "the same storage holds the other list";
  EXPECT_EQ(evaluate_list(cx_, list).value, "0");
  EXPECT_EQ(evaluate_list(cx_, list).value, "0");
}

TEST_F(ExprInterpreterTest, NumbersStoredInAColumnReadAsTheGeneralConversionReadsThem) {
  struct Stored {
    const char* text;
    const char* equal_to;
  };
  const Stored kStored[] = {
      {"42", "42"}, {"   -12", "(-12)"}, {"007", "7"}, {"1e3", "1000"}, {"2.5", "2.5"},
      {"+4", "4"}, {"\t5", "5"}, {"12abc", "12"}, {"-", "0"}, {"abc", "0"},
      {"12345678", "12345678"}, {"-0", "0"}, {"3 4", "3"}, {"12e", "12"}, {"5\t", "5"},
      {"1.", "1"}, {"-7.25", "(-7.25)"}, {"--1", "0"},
  };
  for (const Stored& v : kStored) {
    SCOPED_TRACE(v.text);
    put_value(c2, c2.stored.newest(), 0, v.text);
    const std::string text = std::string("CUR2.D = ") + v.equal_to;
    auto rpn = parse_expression(cx_, text.c_str());
    ASSERT_NE(rpn, nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(evaluate_list(cx_, *rpn).value, "1") << i;
  }
}

TEST_F(ExprInterpreterTest, AHeldCompiledConditionGivesTheTruthOfEachRow) {
  auto rpn = parse_expression(cx_, "A > 5 AND B LIKE 'X%' OR %parm0 = 'N'");
  ASSERT_NE(rpn, nullptr);
  CompiledExpr condition(cx_, *rpn);
  rpn.reset();  // the condition keeps its own copy of the list
  const std::size_t before = compiled_evaluations(cx_);
  for (int pass = 0; pass < 2; ++pass) {
    bool truth = true;
    set_current_row(cx_, c1.stored.first());
    EXPECT_EQ(condition.evaluate(&truth), 0);
    EXPECT_FALSE(truth);
    set_current_row(cx_, nullptr);
    EXPECT_EQ(condition.evaluate(&truth), 0);
    EXPECT_TRUE(truth);
  }
  EXPECT_EQ(compiled_evaluations(cx_) - before, 3u);
  pc.cols[0]->stored_length = 0;
  bool truth = true;
  EXPECT_EQ(condition.evaluate(&truth), 1);
  EXPECT_TRUE(log_.has("Int0100", 'e', "No value for column %parm0"));
  EXPECT_TRUE(log_.has("Int0030", 'e', "Operation = failed"));
}

// evaluate_rows over `rows`: its code, and the truths when it took them.
struct Together {
  int code = -1;
  std::vector<bool> truths;
};
Together evaluate_together(ExprContext& cx, const LexList& rpn,
                           const std::vector<const row_data*>& rows) {
  std::unique_ptr<bool[]> truths(new bool[rows.size()]);
  Together t;
  t.code = evaluate_rows(cx, rpn, rows, std::span(truths.get(), rows.size()));
  if (t.code == 0) t.truths.assign(truths.get(), truths.get() + rows.size());
  return t;
}

TEST_F(ExprInterpreterTest, RowsTakenTogetherGetTheTruthEachRowGetsAlone) {
  // Rows enough for several blocks, with numbers, texts and blanks that the
  // tests read differently.
  const char* const numbers[] = {"3", "10", "-4", "7.5", "5", "0", "123456", "-0", "1e1", ""};
  const char* const texts[] = {"ABC", "XYZ", "XRAY", "X", "", "AB", "XYZABC", "ABD", " XYZ"};
  for (int r = 0; r < 300; ++r)
    append_row(c1, {numbers[r % 10], texts[r % 9], r % 4 ? "1" : "10"});
  std::vector<const row_data*> rows;
  for (const row_data* row = c1.stored.first(); row != nullptr; row = row->next) rows.push_back(row);
  // Lists of column tests under logical operations are taken; the others not.
  const char* const taken[] = {
      "A > 5 AND B LIKE 'X%' OR %parm0 = 'Y'", "A > 5 AND B LIKE 'X%' OR %parm0 = 'N'",
      "B LIKE 'XYZ'", "B = 'XY'", "B ^= 'XYZ'", "B > 'ABD'", "'ABD' > B", "5 < A", "A = 10.0",
      "(NOT A > 5) AND B LIKE 'A%'", "(A > 5 OR B = 'ABC') AND (C = '1' OR %parm0 = 'Y')",
      "A < 5 AND CUR2.D > 2 AND %parm0 ^= 'Y'", "CUR2.E LIKE 'QUEBEC%' AND A >= 10",
      "A > 5 OR B = 'ABC' OR C = '1' OR %parm0 = 'N' OR CUR2.E LIKE 'X%' OR A < 0",
      "A > 5 AND B = 'XYZ' AND (NOT C = '1') AND %parm0 = 'Y'",
  };
  const char* const declined[] = {"A * 2 > 10 OR (NOT B = 'ABC')", "B LIKE '%Z'", "A + 1",
                                  "(A + 1) LIKE '1%'", "CUR2.D > A"};
  for (const auto& [texts_of, together] :
       {std::pair{std::span<const char* const>(taken), true}, {declined, false}}) {
    for (const char* text : texts_of) {
      SCOPED_TRACE(text);
      auto rpn = parse_expression(cx_, text);
      ASSERT_NE(rpn, nullptr);
      EXPECT_EQ(evaluate_together(cx_, *rpn, rows).code, 2) << "nothing compiled yet";
      std::vector<bool> alone;
      set_compiled_evaluation(cx_, false);
      for (const row_data* row : rows) {
        set_current_row(cx_, row);
        const Outcome full = evaluate_list(cx_, *rpn);
        ASSERT_NE(full.value, "null") << full;
        alone.push_back(full.num_class >= 0 && full.value != "0" && std::stod(full.value) != 0);
      }
      set_compiled_evaluation(cx_, true);
      evaluate_list(cx_, *rpn);  // compiles it
      set_current_row(cx_, nullptr);
      const std::size_t before = compiled_evaluations(cx_);
      const Together t = evaluate_together(cx_, *rpn, rows);
      EXPECT_EQ(t.code, together ? 0 : 1);
      if (together) {
        EXPECT_EQ(t.truths, alone);
        EXPECT_EQ(compiled_evaluations(cx_) - before, rows.size());
      }
    }
  }
  EXPECT_EQ(log_.text(), "");
}

TEST_F(ExprInterpreterTest, RowsAreNotTakenTogetherWhereAFullEvaluationWouldHaveToSpeak) {
  auto rpn = parse_expression(cx_, "A > 5 AND %parm0 = 'Y'");
  ASSERT_NE(rpn, nullptr);
  const std::vector<const row_data*> rows = {c1.stored.first(), c1.stored.last()};
  evaluate_list(cx_, *rpn);
  EXPECT_EQ(evaluate_together(cx_, *rpn, rows).truths, (std::vector<bool>{false, true}));
  note_term_change(cx_);  // a term the form points at may have changed
  EXPECT_EQ(evaluate_together(cx_, *rpn, rows).code, 2)
      << "a row evaluated alone compiles it again";
  evaluate_list(cx_, *rpn);
  EXPECT_EQ(evaluate_together(cx_, *rpn, rows).code, 0);
  set_compiled_evaluation(cx_, false);
  EXPECT_EQ(evaluate_together(cx_, *rpn, rows).code, 1);
  set_compiled_evaluation(cx_, true);
  evaluate_list(cx_, *rpn);
  pc.cols[0]->stored_length = 0;  // the percent variable has no value
  EXPECT_EQ(evaluate_together(cx_, *rpn, rows).code, 1);
  pc.cols[0]->stored_length = 4;
  pc.stored.clear();  // nor any row
  EXPECT_EQ(evaluate_together(cx_, *rpn, rows).code, 1);
  EXPECT_EQ(log_.text(), "") << "the caller's evaluation row by row says why";
}

TEST(LessBlanksLenTest, CountsTheTextBeforeTrailingBlanksAtEveryLength) {
  // Texts with a blank inside, cut anywhere, followed by any number of
  // blanks: blanks are skipped a word at a time, so lengths around multiples
  // of eight matter.
  const std::string text = "AB CDEFGHIJ KLMNOPQRS";
  for (std::size_t kept = 0; kept <= text.size(); ++kept) {
    std::string t = text.substr(0, kept);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    for (std::size_t blanks = 0; blanks <= 17; ++blanks) {
      const std::string value = t + std::string(blanks, ' ');
      EXPECT_EQ(less_blanks_len(value.data(), static_cast<int>(value.size())),
                std::max<int>(1, static_cast<int>(t.size())))
          << '"' << value << '"';
    }
  }
}

TEST(LikeMatchTest, SegmentsMatchLeftToRightWithoutBacktracking) {
  EXPECT_TRUE(like_match("ABCDEF", "A%D_F"));
  EXPECT_FALSE(like_match("ABC", "A_"));
  EXPECT_TRUE(like_match("ABC", "%"));
  EXPECT_TRUE(like_match("", "%"));
  EXPECT_FALSE(like_match("AB", "ABC"));
  EXPECT_FALSE(like_match("ABAB", "%AB_")) << "the first occurrence is taken";
  EXPECT_TRUE(like_match("XAB", "%AB"));
  EXPECT_TRUE(like_match("ABAB", "%AB")) << "the last literal matches at the end";
  EXPECT_TRUE(like_match("bufgrab_ref_16K_16K", "bufgrab_ref_%K"));
  EXPECT_FALSE(like_match("ABABX", "%AB"));
  EXPECT_TRUE(like_match("AXBXB", "A%B"));
  EXPECT_TRUE(like_match("waited_EX_LATCH", "waited_%_LATCH")) << "% before _";
  EXPECT_FALSE(like_match("waited_LATCH", "waited_%_LATCH"));
  EXPECT_TRUE(like_match("ABC", "%%C"));
}

}  // namespace
}  // namespace qrx
