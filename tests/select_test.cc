#include "expr/select.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "expr/interpreter.h"
#include "expr/lex_cache.h"
#include "support/cursor_builder.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

using testing::append_column;
using testing::append_row;

// The rows of a cursor as text, to tell that a select left them alone.
std::string rows_text(const curs& c) {
  std::string text;
  for (const row_data* r = c.stored.first(); r; r = r->next) text.append(r->data(), c.row_length);
  return text;
}

// COUNTERS (GRP, NAME, VAL numeric): the counters a procedure sums;
// EMPTY has the same columns and no rows; OTHER has one column.
curs* counters = nullptr;
curs* empty = nullptr;
curs* other = nullptr;

const curs* find_test_cursor(std::string_view name) {
  if (name == "COUNTERS") return counters;
  if (name == "EMPTY") return empty;
  if (name == "OTHER") return other;
  return nullptr;
}

class SelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (curs* c : {&cnt, &emp}) {
      append_column(*c, "GRP", 8, false);
      append_column(*c, "NAME", 16, false);
      append_column(*c, "VAL", 10, true);
    }
    cnt.name = "COUNTERS";
    emp.name = "EMPTY";
    append_row(cnt, {"access", "xacts", "40"});
    append_row(cnt, {"buffer_0", "bufsearch_calls", "200"});
    append_row(cnt, {"buffer_0", "bufsearch_finds", "150"});
    append_row(cnt, {"buffer_1", "bufsearch_calls", "12.7"});
    append_row(cnt, {"lock", "granted_EX", "7"});
    oth.name = "OTHER";
    append_column(oth, "TXT", 8, false);
    append_row(oth, {"12.7"});
    counters = &cnt;
    empty = &emp;
    other = &oth;
    ExprNames names;
    names.find_cursor = find_test_cursor;
    set_expr_names(cx_, names);
    start_exec_sql(cx_, table_);
  }

  // perform_select into an integer target that starts at -1.
  int select_int(const char* list, const char* cursor, const char* where, int32_t* out) {
    *out = -1;
    return perform_select(cx_, list, cursor, out, where, kSelectInteger);
  }

  curs cnt, emp, oth;
  ExprContext cx_;
  TERM_TABLE* table_ = nullptr;
  testing::LogCapture log_;
};

struct SelectCase {
  const char* list;
  const char* where;
  int rc;
  double value;
};

TEST_F(SelectTest, SelectListsAndConditionsGiveTheLastGroupsFirstValue) {
  const SelectCase cases[] = {
      {"SUM(VAL)", "GRP = 'buffer_0'", 0, 350},
      {"SUM(VAL) * 2", "GRP = 'buffer_0'", 0, 700},  // arithmetic over the sum
      {"SUM(VAL) + 1", "GRP LIKE 'buffer_%'", 0, 363.7},
      {"SUM(VAL)", "GRP = 'access' AND NAME = 'xacts'", 0, 40},
      {"SUM(VAL)", "VAL > 100", 0, 350},
      {"SUM(VAL)", "NAME LIKE 'bufsearch_%' AND NAME ^= 'bufsearch_finds'", 0, 212.7},
      {"SUM(VAL)", nullptr, 0, 409.7},
      {"VAL", "GRP = 'lock'", 0, 7},
      {"VAL / 2", "GRP = 'access'", 0, 20},
      {"SUM(VAL)", "GRP = 'nothing'", 100, -1},  // no row passes: the target stays
  };
  for (const SelectCase& c : cases) {
    double out = -1;
    EXPECT_EQ(perform_select(cx_, c.list, "COUNTERS", &out, c.where, kSelectDouble), c.rc)
        << c.list << " where " << (c.where ? c.where : "-");
    EXPECT_DOUBLE_EQ(out, c.value) << c.list << " where " << (c.where ? c.where : "-");
  }
}

TEST_F(SelectTest, RowGroupsRunsOfEqualKeysAndEachSumCoversItsOwnRows) {
  curs g;
  g.name = "OTHER";
  append_column(g, "K", 4, false);
  append_column(g, "V", 6, true);
  append_row(g, {"A", "1"});
  append_row(g, {"A", "2"});
  append_row(g, {"B", "4"});
  append_row(g, {"A", "8"});
  other = &g;
  // Three groups, A (3), B (4) and A (8): the last is delivered last. Had the
  // keys been grouped over the whole cursor the sum would be 11; had the
  // row that starts a group been added to the group before, 8 would be 12.
  double sum = -1;
  EXPECT_EQ(perform_select(cx_, "SUM(V), K", "OTHER", &sum, nullptr, kSelectDouble), 0);
  EXPECT_DOUBLE_EQ(sum, 8);
  EXPECT_TRUE(log_.has("SEL0610", 'w',
                       "Can not store a row into variable: taking just the first column of the row"));
  std::string key;
  EXPECT_EQ(perform_select(cx_, "K, SUM(V)", "OTHER", &key, "K = 'A'", kSelectText), 0);
  EXPECT_EQ(key, "A");
  EXPECT_EQ(perform_select(cx_, "SUM(V), K", "OTHER", &sum, "V < 8", kSelectDouble), 0);
  EXPECT_DOUBLE_EQ(sum, 4) << "groups A (1, 2) and B (4)";
  EXPECT_EQ(perform_select(cx_, "SUM(V), K", "OTHER", &sum, "K = 'A'", kSelectDouble), 0);
  EXPECT_DOUBLE_EQ(sum, 11) << "the rows that pass are adjacent: one group";
}

TEST_F(SelectTest, AConditionOverManyRowsKeepsTheRowsAndGroupsItKeepsRowByRow) {
  // Three groups of 100 rows, so that groups and the blocks of rows a
  // condition may be evaluated over begin and end at different rows.
  curs g;
  g.name = "OTHER";
  append_column(g, "K", 4, false);
  append_column(g, "V", 6, true);
  append_column(g, "W", 6, false);
  double all = 0, last_group = 0;
  for (int r = 0; r < 300; ++r) {
    const int v = r % 7;
    const bool kept = v > 2 && r % 5 != 0;
    append_row(g, {"G" + std::to_string(r / 100), std::to_string(v), r % 5 ? "keep" : "drop"});
    all += kept ? v : 0;
    last_group += kept && r >= 200 ? v : 0;
  }
  other = &g;
  // The first condition is column tests only; the second is not.
  for (const char* where : {"V > 2 AND W LIKE 'k%'", "V * 1 > 2 AND W LIKE 'k%'"}) {
    SCOPED_TRACE(where);
    for (int pass = 0; pass < 2; ++pass) {
      double sum = -1;
      EXPECT_EQ(perform_select(cx_, "SUM(V)", "OTHER", &sum, where, kSelectDouble), 0);
      EXPECT_DOUBLE_EQ(sum, all);
      EXPECT_EQ(perform_select(cx_, "SUM(V), K", "OTHER", &sum, where, kSelectDouble), 0);
      EXPECT_DOUBLE_EQ(sum, last_group);
    }
  }
}

TEST_F(SelectTest, ANameIsReadFromTheCursorSelectedNowEvenWhenItWasReplaced) {
  int32_t out = 0;
  ASSERT_EQ(select_int("SUM(VAL)", "COUNTERS", "GRP = 'lock'", &out), 0);
  EXPECT_EQ(out, 7);
  // Another cursor with a column of the same name.
  curs g;
  g.name = "OTHER";
  append_column(g, "GRP", 8, false);
  append_column(g, "VAL", 6, true);
  append_row(g, {"lock", "30"});
  other = &g;
  ASSERT_EQ(select_int("SUM(VAL)", "OTHER", "GRP = 'lock'", &out), 0);
  EXPECT_EQ(out, 30);
  // COUNTERS replaced by a new cursor of the same name (a restart, a new version).
  curs fresh;
  fresh.name = "COUNTERS";
  append_column(fresh, "GRP", 8, false);
  append_column(fresh, "NAME", 16, false);
  append_column(fresh, "VAL", 10, true);
  append_row(fresh, {"lock", "granted_EX", "11"});
  counters = &fresh;
  cnt.cols.clear();
  ASSERT_EQ(select_int("SUM(VAL)", "COUNTERS", "GRP = 'lock'", &out), 0);
  EXPECT_EQ(out, 11);
  ASSERT_EQ(select_int("SUM(COUNTERS.VAL)", "COUNTERS", "COUNTERS.GRP = 'lock'", &out), 0);
  EXPECT_EQ(out, 11);
}

TEST_F(SelectTest, TargetsTakeNumbersAndTextsByTheirType) {
  int32_t i = 0;
  EXPECT_EQ(perform_select(cx_, "TXT", "OTHER", &i, nullptr, kSelectInteger), 0);
  EXPECT_EQ(i, 12) << "the text 12.7 truncated";
  double d = 0;
  EXPECT_EQ(perform_select(cx_, "TXT", "OTHER", &d, nullptr, kSelectDouble), 0);
  EXPECT_DOUBLE_EQ(d, 12.7);
  std::string s;
  EXPECT_EQ(perform_select(cx_, "NAME", "COUNTERS", &s, "GRP = 'lock'", kSelectText), 0);
  EXPECT_EQ(s, "granted_EX");
  EXPECT_EQ(perform_select(cx_, "VAL * 3", "COUNTERS", &i, "GRP = 'lock'", kSelectInteger), 0);
  EXPECT_EQ(i, 21);
  EXPECT_EQ(perform_select(cx_, "NAME", "COUNTERS", &i, "GRP = 'lock'", kSelectInteger), 1);
  EXPECT_TRUE(log_.has("SEL0630", 'e', "Value of granted_EX can not be converted into number"));
  EXPECT_EQ(perform_select(cx_, "NAME", "COUNTERS", &d, "GRP = 'lock'", kSelectDouble), 1);
  EXPECT_TRUE(log_.has("SEL0650", 'e', "Value of granted_EX can not be converted into number"));
  EXPECT_EQ(perform_select(cx_, "VAL", "COUNTERS", &i, nullptr, kSelectCreateRow), 0);
  EXPECT_EQ(perform_select(cx_, "VAL", "COUNTERS", &i, nullptr, 6), 1);
  EXPECT_TRUE(log_.has("SEL0670", 'e', "Invalid target type"));
}

TEST_F(SelectTest, DeclaredVariablesAreReadAtEveryEvaluation) {
  std::string group = "buffer_0";
  int32_t least = 100;
  double factor = 2;
  ASSERT_EQ(declare_C_var(cx_, "grp_name", kTypeString, &group), 0);
  ASSERT_EQ(declare_C_var(cx_, "least", kTypeInteger, &least), 0);
  ASSERT_EQ(declare_C_var(cx_, "factor", kTypeFloat, &factor), 0);
  double sum = 0;
  const char* where = "GRP = grp_name AND VAL >= least";
  EXPECT_EQ(perform_select(cx_, "SUM(VAL) * factor", "COUNTERS", &sum, where, kSelectDouble), 0);
  EXPECT_DOUBLE_EQ(sum, 700);
  group = "buffer_1";
  least = 10;
  factor = 1;
  EXPECT_EQ(perform_select(cx_, "SUM(VAL) * factor", "COUNTERS", &sum, where, kSelectDouble), 0);
  EXPECT_DOUBLE_EQ(sum, 12.7) << "the same compiled texts read the new values";

  EXPECT_EQ(declare_C_var(cx_, "bad", 4, &least), 1);
  EXPECT_TRUE(log_.has("TRM0110", 'e', "Invalid data type for variable bad"));
  EXPECT_EQ(declare_C_var(cx_, "", kTypeInteger, &least), 1);
  EXPECT_TRUE(log_.has("TRM0100", 'e', "Variable  declaration failed"));
}

TEST_F(SelectTest, ASelectColumnFeedsTheConditionOfTheNextSelect) {
  ASSERT_EQ(open_select_cursor(cx_, oth), 0);
  ASSERT_EQ(close_select_cursor(cx_, oth), 0);
  // Walk COUNTERS' groups and sum each one's values, as a procedure does.
  ASSERT_EQ(open_select_cursor(cx_, cnt), 0);
  TERM_TABLE* group_term = nullptr;
  std::vector<std::string> seen;
  int rc = 0;
  while ((rc = fetch_next_row(cx_, cnt)) == 0) {
    std::string group;
    ASSERT_EQ(
        select_column(cx_, "GRP", "COUNTERS", &group, kSelectText, "the_group", &group_term), 0);
    int32_t n = 0;
    ASSERT_EQ(
        perform_select(cx_, "SUM(VAL)", "COUNTERS", &n, "GRP = the_group", kSelectInteger), 0);
    seen.push_back(group + "=" + std::to_string(n));
  }
  EXPECT_EQ(rc, 100);
  EXPECT_EQ(close_select_cursor(cx_, cnt), 0);
  const std::vector<std::string> want = {"access=40", "buffer_0=350", "buffer_0=350",
                                         "buffer_1=12", "lock=7"};
  EXPECT_EQ(seen, want);
  int32_t val = 0;
  EXPECT_EQ(select_column(cx_, "VAL", "COUNTERS", &val, kSelectInteger, nullptr, nullptr), 0);
  EXPECT_EQ(val, 7) << "not open: the last row";
}

TEST_F(SelectTest, ASelectLeavesRowsAndEngineStateAsItFoundThem) {
  const std::string before = rows_text(cnt);
  set_current_cursor(cx_, &oth);
  set_current_row(cx_, oth.stored.first());
  set_proc_mode(cx_, kProcExecute);
  double out = 0;
  EXPECT_EQ(perform_select(cx_, "SUM(VAL)", "COUNTERS", &out, nullptr, kSelectDouble), 0);
  EXPECT_EQ(perform_select(cx_, "SUM(GRP)", "COUNTERS", &out, nullptr, kSelectDouble), 1)
      << "a sum of texts fails";
  EXPECT_EQ(rows_text(cnt), before);
  EXPECT_EQ(get_current_cursor(cx_), &oth);
  EXPECT_EQ(get_current_row(cx_), oth.stored.first());
  EXPECT_EQ(get_proc_mode(cx_), kProcExecute);
}

TEST_F(SelectTest, EmptyCursorsAndBadNamesAnswerWithTheirMessages) {
  int32_t out = 0;
  EXPECT_EQ(select_int("SUM(VAL)", "EMPTY", nullptr, &out), 100);
  EXPECT_EQ(out, -1);
  EXPECT_TRUE(log_.has("SEL0010", 'w', "Cursor EMPTY has no data"));
  EXPECT_EQ(open_select_cursor(cx_, emp), 100);

  EXPECT_EQ(select_int("SUM(VAL)", "NOSUCH", nullptr, &out), 1);
  EXPECT_TRUE(log_.has("SEL0290", 'e', "Cursor NOSUCH not found"));
  EXPECT_EQ(select_int("SUM(VAL", "COUNTERS", nullptr, &out), 1) << "unbalanced";
  EXPECT_EQ(select_int("SUM(NOCOL)", "COUNTERS", nullptr, &out), 1);
  EXPECT_TRUE(log_.has("SEL0100", 'e',
                       "Can not process a row for cursor COUNTERS:       may be next time"));
  EXPECT_EQ(out, -1);

  // A condition that fails or gives no number skips each row.
  EXPECT_EQ(select_int("SUM(VAL)", "COUNTERS", "NOCOL = 1", &out), 100);
  EXPECT_TRUE(log_.has("SEL0050", 'e',
                       "Can not evaluate a row for cursor COUNTERS:       may be next time"));
  EXPECT_TRUE(log_.has("SEL0320", 'w', "Ignoring a row for cursor COUNTERS"));

  EXPECT_EQ(cursor_column(cx_, "NOSUCH", "VAL"), nullptr);
  EXPECT_TRUE(log_.has("SEL0700", 'e', "Cursor NOSUCH not found"));
  EXPECT_EQ(cursor_column(cx_, "COUNTERS", "NOCOL"), nullptr);
  EXPECT_TRUE(log_.has("SEL0710", 'e', "Column NOCOL not found for cursor COUNTERS"));
  EXPECT_EQ(cursor_column(cx_, "COUNTERS", "val"), cnt.cols[2].get());

  EXPECT_EQ(fetch_next_row(cx_, cnt), -1);
  EXPECT_TRUE(log_.has("SEL0030", 'e', "Cursor COUNTERS is not open for select"));
  EXPECT_EQ(close_select_cursor(cx_, cnt), 1);
  EXPECT_TRUE(log_.has("SEL0015", 'e', "Cursor COUNTERS is not open for select"));
}

TEST_F(SelectTest, SelectColumnRefusesWhatItCannotRead) {
  TERM_TABLE* term = nullptr;
  int32_t n = 0;
  struct Case {
    const char* column;
    const char* cursor;
    int type;
    const char* var;
    TERM_TABLE** term;
    const char* id;
    const char* text;
  };
  const Case cases[] = {
      {"VAL", "NOSUCH", kSelectInteger, nullptr, nullptr, "SEL0810", "Cursor NOSUCH not found"},
      {"NOCOL", "COUNTERS", kSelectInteger, nullptr, nullptr, "SEL0830",
       "Column NOCOL not found for cursor COUNTERS"},
      {"VAL", "EMPTY", kSelectInteger, nullptr, nullptr, "SEL0850",
       "Column VAL not found for cursor EMPTY"},
      {"GRP", "COUNTERS", kSelectText, nullptr, &term, "SEL0860",
       "Char target type requires a declared term variable"},
      {"GRP", "COUNTERS", kSelectText, "v", nullptr, "SEL0815",
       "Pointer to invalid term block is passed"},
      {"GRP", "COUNTERS", kSelectText, "%bad", &term, "SEL0820", "Variable %bad allocation failed"},
      {"GRP", "COUNTERS", 7, nullptr, nullptr, "SEL0870", "Invalid target type"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(select_column(cx_, c.column, c.cursor, &n, c.type, c.var, c.term), 1) << c.id;
    EXPECT_TRUE(log_.has(c.id, 'e', c.text)) << c.id;
  }
  ASSERT_EQ(select_column(cx_, "VAL", "COUNTERS", nullptr, kSelectInteger, nullptr, nullptr), 0);
  TERM_TABLE* number = nullptr;
  int32_t least = 1;
  ASSERT_EQ(declare_C_var(cx_, "least", kTypeInteger, &least), 0);
  number = get_active_term_tb_anchor(cx_);
  while (number && std::strcmp(number->text, "least") != 0) number = number->next.get();
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(select_column(cx_, "GRP", "COUNTERS", nullptr, kSelectText, "least", &number), 1);
  EXPECT_TRUE(log_.has("SEL0825", 'e', "Invalid data type passed for variable least."));
}

TEST_F(SelectTest, OutsideAContextASelectFailsWithoutEndingTheProcess) {
  end_exec_sql(cx_, &table_);
  int32_t out = 0;
  EXPECT_EQ(select_int("SUM(VAL)", "COUNTERS", nullptr, &out), 1);
  EXPECT_TRUE(log_.has("SEL1010", 'e', "SQL-like processing not initialized: quitting"));
  EXPECT_EQ(declare_C_var(cx_, "x", kTypeInteger, &out), 1);
}

TEST_F(SelectTest, TheSameSelectTextIsLexedOnce) {
  int32_t out = 0;
  ASSERT_EQ(select_int("SUM(VAL)", "COUNTERS", "GRP = 'lock'", &out), 0);
  const std::size_t cached = lex_cache_size(cx_);
  ASSERT_EQ(select_int("SUM(VAL)", "COUNTERS", "GRP = 'lock'", &out), 0);
  EXPECT_EQ(lex_cache_size(cx_), cached);
  EXPECT_EQ(out, 7);
  // A condition of the same text cached first must not serve as the select
  // list: the list is lexed with its row-function argument.
  ASSERT_EQ(select_int("SUM(VAL)", "COUNTERS", "VAL > 5", &out), 0);
  ASSERT_EQ(select_int("VAL > 5", "COUNTERS", nullptr, &out), 0);
  EXPECT_EQ(out, 1);
}

}  // namespace
}  // namespace qrx
