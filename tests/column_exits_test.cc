// Column exits: each routine on a column of a freshly built row, the
// chain of exits on one column, and the start-up resolution of the blocks.
#include "exec/column_exits.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
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

constexpr const char* kFetch = "20261210120000";

// Local 14-digit text of `when`.
std::string stamp_of(std::time_t when) {
  std::tm tm{};
  localtime_r(&when, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
  return text;
}

std::time_t fetch_seconds() {
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 10;
  tm.tm_hour = 12;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

class ColumnExitsTest : public ::testing::Test {
 protected:

  // Cursor C with columns X (width `width`, text unless `numeric`) and Y
  // (width 4) and the exit statements; the values of X and Y after one row
  // is built from `x` and `y`.
  std::string exit_result(const std::string& statements, const std::string& x, int width, bool numeric = false,
                          const char* y = "CD") {
    testing::parse_cursors(testing::cursor_text("C", {"X", "Y"}, statements), defs_);
    EXPECT_EQ(edit_col_exits(defs_), 0) << log_.text();
    curs& c = *defs_.find_cursor("C");
    c.sample_no = 1;
    EXPECT_GT(merge_text(c, FetchedRow{{"X", x.c_str(), width, numeric}, {"Y", y, 4}}.view(), kFetch), 0);
    const columns& col = *c.cols[0];
    std::string value(c.stored.last()->data() + col.stored_offset, static_cast<size_t>(col.stored_length));
    defs_.del_curs();
    return value;
  }

  testing::LogCapture log_;
  Definitions defs_;
};

struct ExitCase {
  const char* statements;
  std::string value;
  int width;
  std::string expected;
  const char* id = nullptr;  // a message the case logs
  char severity = 0;
  const char* message = nullptr;
};

TEST_F(ColumnExitsTest, EachRoutineReshapesItsColumn) {
  const ExitCase cases[] = {
      {"column_exit X R_JUSTIFY;", "AB", 6, "    AB"},
      {"column_exit X r_justify;", "", 4, "    "},
      {"column_exit X L_JUSTIFY;", "  AB", 6, "AB    "},
      {"column_exit X SUBSTR ( 1 , 6 );", "ABCDEF", 6, "ABCDEF"},
      {"column_exit X SUBSTR ( 2 , 3 );", "ABCDEF", 6, "BCD   "},
      {"column_exit X substr(6,5);", "ABCDEF", 6, "F     ", "ccc4060", 'W',
       "Substring starting plus len exceeds length of X in cursor C"},
      {"column_exit X SUBSTR ( 7 , 1 );", "ABCDEF", 6, "ABCDEF", "ccc4056", 'E',
       "Substring starting position exceeds length of X in cursor C"},
      {"column_exit X CONCAT Y;", "AB", 3, "ABC"},
      {"column_exit X CONCAT Y;", "", 4, "CD  "},
      {"column_exit X R_JUSTIFY;\ncolumn_exit X CONCAT Y;", "AB", 6, "ABCD  "},
      {"column_exit X SUBSTR ( 9 , 1 );\ncolumn_exit X R_JUSTIFY;", "AB", 6, "AB    ", "ccc4056", 'E',
       "Substring starting position exceeds length of X in cursor C"},
      {"column_exit X MINUTES;", "12/10/2026 11:58", 16, "               2"},
      {"column_exit X MINUTES;", "12/10/2026 12:30", 16, "               0"},
      {"column_exit X MINUTES;", "12/10/2026 11:58", 15, "12/10/2026 11:5", "ccc4046", 'E',
       "Minutes calculation for column X when length != 16"},
      {"column_exit X TIMESTAMP;", "ABCD", 8, "ABCD    ", "ccc4053", 'E',
       "Timestamp calculation for column X when length != 16"},
      {"column_exit X MINUTES2;", "ABCD", 8, "ABCD    ", "ccc4048", 'E',
       "Minutes2 calculation for column X when length != 16"},
  };
  for (const ExitCase& k : cases) {
    SCOPED_TRACE(k.statements + (" on '" + k.value + "'"));
    EXPECT_EQ(exit_result(k.statements, k.value, k.width), k.expected);
    if (k.id) {
      EXPECT_TRUE(log_.has(k.id, k.severity, k.message)) << log_.text();
    }
  }
}

TEST_F(ColumnExitsTest, MinutesRoundToTheNearestMinute) {
  // 90 seconds before the fetch: MINUTES reads only hour and minute, so the
  // exact second goes through the binary form of MINUTES2.
  const std::time_t then = fetch_seconds() - 90;
  const auto seconds = static_cast<int32_t>(then);
  std::string binary(16, ' ');
  std::memcpy(binary.data(), &seconds, sizeof seconds);
  // The four bytes must survive the text fetch: no zero byte in them.
  if (binary.find('\0') != std::string::npos) GTEST_SKIP() << "time has a zero byte";
  EXPECT_EQ(exit_result("column_exit X MINUTES2;", binary, 16), "               2");
  EXPECT_EQ(exit_result("column_exit X TIMESTAMP;", binary, 16), stamp_of(then) + "00");
}

struct ClauseCase {
  const char* statement;
  const char* id;
  char severity;
  const char* message;
};

TEST_F(ColumnExitsTest, MalformedBaseAndColumnExitStatementsFailTheFile) {
  const ClauseCase cases[] = {
      {"base B1 onto COL -> TGT;", "pba3285", 'E', "Invalid base format: B1 onto COL -> TGT"},
      {"base B1 ON COL -> TGT;", "pba3285", 'E', "Invalid base format: B1 ON COL -> TGT"},
      {"base B1 on COL TGT;", "pba3290", 'E', "Invalid base format: B1 on COL TGT"},
      {"base B1 on COL ->;", "pba3290", 'E', "Invalid base format: B1 on COL ->"},
      {"base B1234567890123456 on COL -> TGT;", "pba3292", 'E',
       "Base name too long: B1234567890123456 on COL -> TGT"},
      {"column_exit;", "pde4085", 'E', "Bad decode syntax : "},
      {"column_exit X;", "pde4095", 'E', "Bad decode syntax : X"},
      {"column_exit X123456789012345678901234567890123456789012345678901 R_JUSTIFY;", "pcc4090", 'E',
       "Column name too long (52) in X123456789012345678901234567890123456789012345678901 R_JUSTIFY"},
      {"column_exit X ABCDEFGHIJKLMNOPQRSTU;", "pcf4100", 'E', "Function name too long (21) in X ABCDEFGHIJKLMNOPQRSTU"},
      {"column_exit X Substr ( 1 , 2 );", "pcf4105", 'E', "Column exit routine name not known"},
      {"column_exit X SUBSTR 1 , 2;", "pcl4120", 'E', "Missing parenthesis"},
      {"column_exit X SUBSTR ( , 2 );", "pcl4125", 'E', "Missing numeric operand"},
      {"column_exit X SUBSTR ( a , 2 );", "pcl4130", 'E', "Found non-numeric where number required"},
      {"column_exit X SUBSTR ( 2049 , 2 );", "pcl4135", 'E', "Numeric is excessive 2049 > 2048"},
      {"column_exit X SUBSTR ( 0 , 10 );", "pcl4137", 'E', "Numeric is less than 1 0"},
      {"column_exit X SUBSTR ( 1 );", "pcl4140", 'E', "Missing required comma"},
      {"column_exit X SUBSTR ( 1 2 );", "pcl4145", 'E', "Missing required comma"},
      {"column_exit X SUBSTR ( 1 , );", "pcl4150", 'E', "Missing second numeric operand"},
      {"column_exit X SUBSTR ( 1 , b );", "pcl4155", 'E', "Found non-numeric where number required"},
      {"column_exit X SUBSTR ( 1 , 3000 );", "pcl4160", 'E', "Numeric is excessive 3000 > 2048"},
      {"column_exit X SUBSTR ( 1 , 0 );", "pcl4165", 'E', "Numeric is less than 1 0"},
      {"column_exit X SUBSTR ( 1 , 2 x );", "pcl4175", 'E', "Missing ending parenthesis"},
      {"column_exit X CONCAT;", "pcl4110", 'E', "Missing column name in concat"},
      {"column_exit X CONCAT Y123456789012345678901234567890123456789012345678901;", "ccl4115", 'E',
       "Excessive length on Y123456789012345678901234567890123456789012345678901"},
  };
  for (const ClauseCase& k : cases) {
    SCOPED_TRACE(k.statement);
    EXPECT_EQ(parse_curs_text(defs_, testing::cursor_text("B", {"X"}, k.statement) + "end;\n"), 1);
    EXPECT_TRUE(log_.has(k.id, k.severity, k.message)) << log_.text();
    defs_.del_curs();
  }
}

TEST_F(ColumnExitsTest, WellFormedStatementsBuildTheirRecords) {
  testing::parse_cursors(testing::cursor_text(
      "B", {"X", "Y"},
      "base B1 on COL->TGT;\nbase B2 on  K  ->  T2;\ncolumn_exit X SUBSTR ( 2000 , 100 );\n"
      "column_exit Y R_JUSTIFY;\ncolumn_exit X concat Y;"), defs_);
  EXPECT_TRUE(log_.has("pcl4170", 'W', "Numeric sum excessive 2100")) << log_.text();
  const curs& b = *defs_.find_cursor("B");
  ASSERT_EQ(b.bases.size(), 2u);
  EXPECT_EQ(b.bases[0].name, "B1");
  EXPECT_EQ(b.bases[0].item, "COL");
  EXPECT_EQ(b.bases[0].target, "TGT");
  EXPECT_EQ(b.bases[1].item, "K");
  EXPECT_EQ(b.bases[1].target, "T2");
  ASSERT_EQ(b.col_exits.size(), 2u);
  ASSERT_EQ(b.col_exits[0].exits.size(), 2u);
  EXPECT_EQ(b.col_exits[0].exits[0].first, 2000);
  EXPECT_EQ(b.col_exits[0].exits[0].second, 100);
  EXPECT_EQ(b.col_exits[0].exits[1].other, "Y");
  EXPECT_EQ(b.col_exits[1].column, "Y");
}

TEST_F(ColumnExitsTest, StartUpResolvesColumnsAndConcatSources) {
  testing::parse_cursors(testing::cursor_text("C", {"X", "Y"},
                                              "column_exit Z R_JUSTIFY;\ncolumn_exit X CONCAT NOPE;\n"
                                              "column_exit X CONCAT D.Y;") +
                         testing::cursor_text("D", {"Y"}), defs_);
  EXPECT_EQ(edit_col_exits(defs_), 1);
  EXPECT_TRUE(log_.has("pce4190", 'E', "Column Z in cursor C not matched for column exit")) << log_.text();
  EXPECT_TRUE(log_.has("pce4185", 'E', "Column (NOPE) in concatenate not found"));
  EXPECT_TRUE(log_.has("pce4195", 'E', "Column exit editing failed"));
  const curs& c = *defs_.find_cursor("C");
  ASSERT_EQ(c.col_exits.size(), 2u);
  ASSERT_EQ(c.col_exits[1].exits.size(), 2u);
  EXPECT_EQ(c.col_exits[1].exits[1].other_cursor, defs_.find_cursor("D"));
  defs_.del_curs();
  testing::parse_cursors(testing::cursor_text("C", {"X", "Y"}, "column_exit X CONCAT Y;"), defs_);
  EXPECT_EQ(edit_col_exits(defs_), 0);
  EXPECT_TRUE(log_.has("pce4200", 'I', "Column exit editing was successful"));
}

TEST_F(ColumnExitsTest, ConcatOfAnotherCursorWithoutRowsFails) {
  testing::parse_cursors(testing::cursor_text("C", {"X"}, "column_exit X CONCAT D.Y;") +
                         testing::cursor_text("D", {"Y"}), defs_);
  ASSERT_EQ(edit_col_exits(defs_), 0);
  curs& c = *defs_.find_cursor("C");
  c.sample_no = 1;
  ASSERT_GT(merge_text(c, FetchedRow{{"X", "AB", 4}}.view(), kFetch), 0);
  EXPECT_EQ(std::string(c.stored.last()->data(), 4), "AB  ");
  EXPECT_TRUE(log_.has("ccf4580", 'E', "In concat, second column (Y) is in cursor(D) with no rows")) << log_.text();
  curs& d = *defs_.find_cursor("D");
  d.sample_no = 1;
  ASSERT_GT(merge_text(d, FetchedRow{{"Y", "ZZ", 4}}.view(), kFetch), 0);
  ASSERT_GT(merge_text(c, FetchedRow{{"X", "AB", 4}}.view(), kFetch), 0);
  EXPECT_EQ(std::string(c.stored.last()->data(), 4), "ABZZ");
}

}  // namespace
}  // namespace qrx
