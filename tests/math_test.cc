// Math statements: what the parser accepts and rejects, the arithmetic of a
// math column (precedence, rounding, HIGH/LOW, widths) and math columns in
// assembled rows; column-function cursors through do_column_func.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl/control_parse.h"
#include "ctl/math_parser.h"
#include "exec/clusters.h"
#include "exec/maths.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::FetchedRow;
using testing::Item;
using testing::cursor_text;
using testing::parse_cursors;

constexpr const char* kTime = "20261210030000";

class MathTest : public ::testing::Test {
 protected:
  testing::LogCapture log_;
  Definitions defs_;
};

TEST_F(MathTest, StatementGivesNameOptionsAndWords) {
  parse_cursors(cursor_text("C", {"A", "B", "PCT"}, "math decimal 1 PCT ( A * 100 ) / B;"), defs_);
  const curs& c = *defs_.find_cursor("C");
  ASSERT_EQ(c.maths.size(), 1u);
  const m_anch& m = *c.maths[0];
  EXPECT_EQ(m.name, "PCT");
  EXPECT_EQ(m.word_count, 7);
  EXPECT_EQ(m.parentheses, 1);
  EXPECT_EQ(m.decimals, 1);
  EXPECT_DOUBLE_EQ(m.rounding, 0.05);
  const std::vector<uint16_t> kinds = {kMathOpen, kMathName, kMathTimes, kMathConstant,
                                       kMathClose, kMathDivide, kMathName};
  for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(m.math[i].type, kinds[i]) << i;
  EXPECT_DOUBLE_EQ(m.math[3].value, 100);
  EXPECT_EQ(m.work.size(), 7u);
  // The generated SELECT fetches the operands, not the computed column.
  EXPECT_EQ(c.sql_text, "SELECT A,B FROM T");
}

TEST_F(MathTest, OptionsSetRoundingHighLowAndInitial) {
  parse_cursors(cursor_text("C", {"A"},
                            "math NOROUND HIGH X A;\nmath low initial 5 decimal 0 Y A;"), defs_);
  const curs& c = *defs_.find_cursor("C");
  EXPECT_EQ(c.maths[0]->round, 0);
  EXPECT_EQ(c.maths[0]->rounding, 0);
  EXPECT_EQ(c.maths[0]->high_low, 1);
  EXPECT_EQ(c.maths[1]->high_low, 2);
  EXPECT_DOUBLE_EQ(c.maths[1]->initial, 5);
  EXPECT_DOUBLE_EQ(c.maths[1]->rounding, 0.5);
}

TEST_F(MathTest, MalformedStatementsFailTheFileWithTheirMessage) {
  const std::string long_name(50, 'N');
  const std::string long_word(50, 'W');
  const struct {
    std::string statements;
    const char* id;
    std::string text;
  } cases[] = {
      {"math decimal X A;", "pma3370", "Decimal specified without value in decimal X A"},
      {"math initial X A;", "pma3375", "Initial specified without value in initial X A"},
      {"math decimal 16 X A;", "pma3372", "Decimal places must be 0 to 15 in decimal 16 X A"},
      {"math " + long_name + " A;", "pma3380", "Math name too long : " + long_name},
      {"math high;", "pma3382", "Math statement without a name : high"},
      {"math X A;\nmath X A;", "pma3385", "Duplicate use of math name X"},
      {"math X A + " + long_word + ";", "pma3390",
       "Word in math expression is too long : " + long_word},
      {"math X;", "pma3468", "Math X has no expression"},
      {"math X ( A;", "pma3415", "Parens don't balance in X ( A"},
      {"math X A B;", "pma3465", "Bad math syntax starting at word 1 in X A B"},
      {"math X A ( 1 );", "pma3465", "Bad math syntax starting at word 1 in X A ( 1 )"},
      {"math X ( A ) ( 1 );", "pma3420", "Bad math syntax starting at word 4 in X ( A ) ( 1 )"},
      {"math X ( * A );", "pma3425", "Bad math syntax starting at word 1 in X ( * A )"},
      {"math X ( A ) 2;", "pma3440", "Bad math syntax starting at word 3 in X ( A ) 2"},
      {"math X + A;", "pma3445", "Bad math syntax starting at word 1 in X + A"},
      {"math X A * / 2;", "pma3450", "Bad math syntax starting at word 2 in X A * / 2"},
      {"math X A -;", "pma3455", "Bad math syntax starting at word 2 in X A -"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.statements);
    testing::LogCapture log;
    EXPECT_EQ(parse_curs_text(defs_, cursor_text("C", {"A", "X"}, k.statements) + "end;\n"), 1);
    EXPECT_TRUE(log.has(k.id, 'e', k.text)) << log.text();
    defs_.del_curs();
  }
}

// The field a math column of width `width` shows for `statement` over constants.
std::string computed(const std::string& statement, int16_t width) {
  Definitions defs;
  parse_curs_text(defs, cursor_text("C", {"A"}, statement) + "end;\n");
  curs& c = *defs.find_cursor("C");
  columns col;
  col.name = c.maths.at(0)->name;
  col.stored_length = width;
  std::string row(static_cast<std::size_t>(width) + 1, '#');
  do_math(c, col, row.data());
  return row.substr(0, static_cast<std::size_t>(width));
}

TEST_F(MathTest, ArithmeticFollowsPrecedenceRoundingAndWidth) {
  const struct {
    const char* statement;
    int16_t width;
    const char* field;
  } cases[] = {
      {"math X 2 + 3 * 4", 8, "   14.00"},
      {"math decimal 0 X ( 2 + 3 ) * 4", 8, "      20"},
      {"math decimal 0 X 10 - 4 - 3", 4, "   3"},
      {"math decimal 0 X 16 / 4 / 2", 4, "   2"},
      {"math decimal 0 X 2 * ( 3 + ( 4 - 1 ) * 2 )", 4, "  18"},
      {"math X 1.234", 6, "  1.23"},
      {"math X 1.235", 6, "  1.24"},
      {"math X 0 - 1.235", 6, " -1.24"},
      {"math noround X 1.239", 6, "  1.23"},
      {"math decimal 3 X 7 / 2", 6, " 3.500"},
      {"math decimal 1 X ( 1 + 2 ) / 3 * 0.25", 6, "   0.3"},
      {"math X 10 / 0", 6, "  0.00"},
      {"math X 1e308 * 10", 6, "  0.00"},
      {"math decimal 0 X 123456", 4, "   0"},
      {"math decimal 2 X 1234.567", 6, "1234.5"},
      {"math decimal 2 X 12345.678", 6, " 12345"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.statement);
    EXPECT_EQ(computed(std::string(k.statement) + ";", k.width), k.field);
  }
  EXPECT_TRUE(log_.has("cma3650", 'w', "Attempted divide by zero - forcing answer of 0 in X"));
  EXPECT_TRUE(log_.has("cma3668", 'w', "Math overflow - forcing answer of 0 in X"));
  EXPECT_TRUE(log_.has("cma3580", 'w',
                       "Glopping off answer for X in C Source= 123456, target= 4 bytes"));
}

class MathRowTest : public MathTest {
 protected:
  curs& make(const std::vector<std::string>& cols, const std::string& statements) {
    parse_cursors(cursor_text("C", cols, statements), defs_);
    EXPECT_EQ(create_percent_cursor(defs_), 0);
    EXPECT_EQ(edit_math(defs_), 0) << log_.text();
    return *defs_.find_cursor("C");
  }
  int feed(curs& c, const FetchedRow& row) {
    if (c.sample_no == 0) c.sample_no = 1;
    return merge_text(c, row.view(), kTime);
  }
  static std::vector<std::string> values(const curs& c, const std::string& name) {
    std::vector<std::string> out;
    const columns& k = *column_named(const_cast<curs&>(c), name);
    for (const row_data* r = c.stored.first(); r; r = r->next)
      out.emplace_back(r->data() + k.stored_offset, k.stored_length);
    return out;
  }
};

TEST_F(MathRowTest, HitRatioIsComputedForEveryRow) {
  curs& c = make({"HIT", "READ", "RATIO"}, "math decimal 1 RATIO HIT * 100 / ( HIT + READ );");
  feed(c, FetchedRow{{"HIT", "90", 10, true}, {"READ", "10", 10, true}});
  feed(c, FetchedRow{{"HIT", "1", 10, true}, {"READ", "2", 10, true}});
  feed(c, FetchedRow{{"HIT", "0", 10, true}, {"READ", "0", 10, true}});
  const std::string pad(kMathColumnWidth - 4, ' ');
  EXPECT_EQ(values(c, "RATIO"),
            (std::vector<std::string>{pad + "90.0", pad + "33.3", pad + " 0.0"}));
  EXPECT_EQ(c.cols[2]->col_type, kColNumeric);
}

TEST_F(MathRowTest, HighAndLowKeepTheirExtreme) {
  curs& c = make({"A", "HI", "LO"}, "math high decimal 0 HI A;\nmath low decimal 0 LO A;");
  for (const char* a : {"10", "7", "12"}) feed(c, FetchedRow{{"A", a, 4, true}});
  const std::string pad(kMathColumnWidth - 2, ' ');
  EXPECT_EQ(values(c, "HI"), (std::vector<std::string>{pad + "10", pad + "10", pad + "12"}));
  EXPECT_EQ(values(c, "LO"), (std::vector<std::string>{pad + "10", pad + " 7", pad + " 7"}));
}

TEST_F(MathRowTest, OperandOfAnotherCursorWithoutRowsGivesZero) {
  parse_cursors(cursor_text("O", {"N"}) + cursor_text("C", {"A", "X"}, "math X O.N + A;"), defs_);
  ASSERT_EQ(create_percent_cursor(defs_), 0);
  ASSERT_EQ(edit_math(defs_), 0);
  curs& c = *defs_.find_cursor("C");
  feed(c, FetchedRow{{"A", "5", 4, true}});
  EXPECT_EQ(values(c, "X").at(0), std::string(kMathColumnWidth - 4, ' ') + "0.00");
  EXPECT_TRUE(log_.has("cma3530", 'w',
                       "Math statement X for cursor C references O which has no rows, setting "
                       "answer to 0"));
}

TEST_F(MathRowTest, MissingColumnFailsTheEdit) {
  parse_cursors(cursor_text("C", {"A", "X"}, "math X A + NOPE;"), defs_);
  ASSERT_EQ(create_percent_cursor(defs_), 0);
  EXPECT_EQ(edit_math(defs_), 1);
  EXPECT_TRUE(log_.has("pma3480", 'e', "In math, variable (NOPE) not matched"));
  EXPECT_TRUE(log_.has("pma3490", 'e', "Math edits failed"));
}

class ColumnFunctionCursorTest : public MathRowTest {
 protected:
  // The function column's text in the one-row result over `values`.
  std::string result(const std::string& prefix, const std::vector<const char*>& values) {
    curs& c = make({"NAME", prefix + "N^12"}, "");
    for (const char* v : values) feed(c, FetchedRow{{"NAME", v, 6}, {"N", v, 12, true}});
    cluster* cl = do_column_func(c, 0);
    EXPECT_NE(cl, nullptr);
    if (!cl) return "no cluster";
    EXPECT_EQ(cl->count, 1);
    const columns& n = *c.cols[1];
    std::string out(c.column_data->data() + n.stored_offset, n.stored_length);
    close_cur(c, cl);
    defs_.del_curs();
    return out;
  }
};

TEST_F(ColumnFunctionCursorTest, EachFunctionGivesTheValueComputedByHand) {
  const struct {
    const char* prefix;
    std::vector<const char*> values;
    const char* shown;
  } cases[] = {
      {"MIN!", {"3", "1.5", "2"}, "1.5"},
      {"MAX!", {"3", "1.5", "2"}, "3"},
      {"AVG!", {"1.5", "2"}, "1.7"},          // 1.75 cut to one place
      {"SUM!", {"1", "2", "3"}, "6"},
      {"WAVG!", {"1.0", "2.0", "3.0"}, "2.3"},  // (1 + 4 + 9) / 6 = 2.33
      {"TREND!", {"1", "2", "3"}, "1.166667"},  // 2.3333 / 2, six places
      {"COUNT!", {"1", "2", "3"}, "3"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.prefix);
    std::string want(12, ' ');
    want.replace(12 - std::string(k.shown).size(), std::string::npos, k.shown);
    EXPECT_EQ(result(k.prefix, k.values), want);
  }
}

TEST_F(ColumnFunctionCursorTest, OpenCursorGivesTheOneRowResultWithTheMinimumsRow) {
  curs& c = make({"NAME", "MIN!N^4"}, "");
  for (auto [name, n] : {std::pair{"b", "3"}, {"a", "1"}, {"c", "2"}})
    feed(c, FetchedRow{{"NAME", name, 2}, {"N", n, 4, true}});
  cluster* cl = open_cursor(c);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(cl->count, 1);
  ASSERT_EQ(fetch_cur(c, cl), 0);
  // Plain columns come from the row MIN chose.
  EXPECT_EQ(std::string(cl->current_row(), 2), "a ");
  EXPECT_EQ(std::string(cl->current_row() + c.cols[1]->output_offset, 4), "   1");
  EXPECT_EQ(fetch_cur(c, cl), 100);
  close_cur(c, cl);
}

}  // namespace
}  // namespace qrx
