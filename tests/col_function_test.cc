// Column functions over a cursor's rows.
#include "exec/col_function.h"

#include <gtest/gtest.h>

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

constexpr const char* kTime = "20261210030000";

class ColFunctionTest : public ::testing::Test {
 protected:
  // Cursor C with the one column `word` (numeric width 8 unless `text`) fed
  // `values` in one sample; the function's result.
  std::string compute(const std::string& word, const std::vector<const char*>& values,
                      bool text = false, int* rc_out = nullptr) {
    testing::parse_cursors(testing::cursor_text("C", {word}), defs_);
    curs& c = *defs_.find_cursor("C");
    c.sample_no = 1;
    for (const char* v : values)
      merge_text(c, FetchedRow{{"X", v, 8, !text}}.view(), kTime);
    std::string out;
    const int rc = col_function(c, *c.cols[0], out);
    if (rc_out) *rc_out = rc;
    return out;
  }
  testing::LogCapture log_;
  Definitions defs_;  // the cursors under test
};

TEST_F(ColFunctionTest, NumericFunctionsOverTheSample) {
  const struct {
    const char* word;
    std::vector<const char*> values;
    const char* result;
  } cases[] = {
      {"AVG!X", {"1.5", "2"}, "     1.7"},
      {"AVG!X", {"1", "2"}, "       1"},
      {"SUM!X", {"3", "-1", "10"}, "      12"},
      {"MIN!X", {"3", "-1", "10"}, "      -1"},
      {"MAX!X", {"3", "-1", "10"}, "      10"},
      {"WAVG!X", {"1", "2", "3"}, "       2"},
      {"TREND!X", {"1", "2", "3"}, "1.166667"},
      {"COUNT!X", {"1", "2", "3"}, "       3"},
      {"HW!X", {"5", "9", "2"}, "       9"},
      {"LW!X", {"5", "9", "2"}, "       2"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.word);
    EXPECT_EQ(compute(k.word, k.values), k.result);
    defs_.del_curs();
  }
}

TEST_F(ColFunctionTest, EmptySampleAveragesToZeroAndUnmarkedColumnsShowQuestionMarks) {
  testing::parse_cursors(testing::cursor_text("C", {"AVG!X", "WAVG!Y", "TREND!Z", "HW!W"}), defs_);
  curs& c = *defs_.find_cursor("C");
  c.samples = 1;
  c.sample_no = 1;
  merge_text(c, FetchedRow{{"X", "4", 3, true}, {"Y", "4", 3, true}, {"Z", "4", 3, true},
                           {"W", "4", 3, true}}.view(), kTime);
  c.sample_no = 2;
  c.cols[3]->mark.clear();
  const char* expected[] = {"  0", "  0", "0.0", "???"};
  for (int i = 0; i < 4; ++i) {
    std::string out;
    ASSERT_EQ(col_function(c, *c.cols[i], out), 0);
    EXPECT_EQ(out, expected[i]) << i;
  }
}

TEST_F(ColFunctionTest, SumSaturatesAtTheLargestInteger) {
  testing::parse_cursors(testing::cursor_text("C", {"SUM!X"}), defs_);
  curs& c = *defs_.find_cursor("C");
  c.sample_no = 1;
  for (const char* v : {"9223372036854775807", "1"})
    merge_text(c, FetchedRow{{"X", v, 20, true}}.view(), kTime);
  std::string out;
  ASSERT_EQ(col_function(c, *c.cols[0], out), 0);
  EXPECT_EQ(out, " 9223372036854775807");
}

TEST_F(ColFunctionTest, CountAndAveragesReadOnlyTheCurrentSample) {
  testing::parse_cursors(testing::cursor_text("C", {"COUNT!X", "AVG!Y"}), defs_);
  curs& c = *defs_.find_cursor("C");
  c.samples = 2;
  const struct {
    int sample;
    const char* y;
  } rows[] = {{1, "10"}, {1, "10"}, {1, "10"}, {2, "1"}, {2, "3"}};
  for (const auto& r : rows) {
    c.sample_no = r.sample;
    merge_text(c, FetchedRow{{"X", "1", 4, true}, {"Y", r.y, 4, true}}.view(), kTime);
  }
  std::string out;
  ASSERT_EQ(col_function(c, *c.cols[0], out), 0);
  EXPECT_EQ(out, "   2");
  ASSERT_EQ(col_function(c, *c.cols[1], out), 0);
  EXPECT_EQ(out, "   2");
  c.sample_no = 3;  // a sample without rows yet
  ASSERT_EQ(col_function(c, *c.cols[0], out), 0);
  EXPECT_EQ(out, "   0");
}

TEST_F(ColFunctionTest, MinAndMaxRememberTheirRow) {
  testing::parse_cursors(testing::cursor_text("C", {"MAX!X", "MIN!T"}), defs_);
  curs& c = *defs_.find_cursor("C");
  c.sample_no = 1;
  for (const char* v : {"7", "9", "9", "2"})
    merge_text(c, FetchedRow{{"X", v, 4, true}, {"T", v, 4}}.view(), kTime);
  std::string out;
  ASSERT_EQ(col_function(c, *c.cols[0], out), 0);
  EXPECT_EQ(out, "   9");
  EXPECT_EQ(c.function_row, c.stored.first()->next->next);  // the later of equal values
  ASSERT_EQ(col_function(c, *c.cols[1], out), 0);
  EXPECT_EQ(out, "2   ");
  EXPECT_EQ(c.function_row, c.stored.last());
}

TEST_F(ColFunctionTest, CharacterColumnsSkipNullsAndRefuseArithmetic) {
  EXPECT_EQ(compute("MIN!X", {"pear", nullptr, "fig", "fig"}, true), "fig     ");
  EXPECT_EQ(defs_.find_cursor("C")->function_row, defs_.find_cursor("C")->stored.first()->next->next);
  defs_.del_curs();
  int rc = 0;
  compute("SUM!X", {"pear"}, true, &rc);
  EXPECT_EQ(rc, 1);
}

}  // namespace
}  // namespace qrx
