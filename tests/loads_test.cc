// Loads into virtual cursors: parsing, every selection and aggregate, the
// start-up check and a run over a SQLite table.
#include "exec/loads.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "ctl/control_parse.h"
#include "ctl/load_parser.h"
#include "exec/dynamic_fetch.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "exec/virtuals.h"
#include "qrx/dict.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::FetchedRow;

constexpr const char* kTime = "20261210030000";
constexpr const char* kDict =
    "name TOTAL;\ntype integer;\ninitial 7;\n"
    "name LABEL;\ntype char(8);\ninitial 'none';\n"
    "name TINY;\ntype char(3);\n"
    "end;\n";

// The virtual cursor VTOT (TOTAL, LABEL, TINY), a plain cursor PLAIN, and a
// source cursor S (NAME width 8, BYTES numeric width 20) with `loads`.
std::string definitions(const std::string& loads) {
  return testing::cursor_text("VTOT", {"TOTAL", "LABEL", "TINY"}, "virtual;") +
         testing::cursor_text("PLAIN", {"TOTAL"}) +
         testing::cursor_text("S", {"NAME", "BYTES"}, loads);
}

class LoadsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(parse_dict_text(defs_, kDict), 0); }
  // Builds the cursors with one load statement and runs the start-up passes.
  curs& define(const std::string& load) {
    testing::parse_cursors(definitions("load " + load + ";"), defs_);
    EXPECT_EQ(init_virtuals(defs_), 0);
    EXPECT_EQ(parse_loads(defs_), 0) << log_.text();
    EXPECT_EQ(edit_loads(defs_), 0) << log_.text();
    return *defs_.find_cursor("S");
  }
  // One run of S over (NAME, BYTES) rows, then its loads.
  int run(const std::vector<std::pair<const char*, const char*>>& rows) {
    curs& s = *defs_.find_cursor("S");
    ++s.sample_no;
    for (const auto& [name, bytes] : rows)
      merge_text(s, FetchedRow{{"NAME", name, 8}, {"BYTES", bytes, 20, true}}.view(), kTime);
    return process_loads(s, static_cast<int32_t>(rows.size()));
  }
  // The variable `col` of VTOT (0 TOTAL, 1 LABEL, 2 TINY) as stored.
  std::string var(int col) {
    const curs& v = *defs_.find_cursor("VTOT");
    const columns& k = *v.cols[col];
    return std::string(v.stored.last()->data() + k.stored_offset, k.stored_length);
  }
  std::string total() { return u_stripx(var(0), 'B'); }
  Definitions defs_;
  testing::LogCapture log_;
};

TEST_F(LoadsTest, SumLoadIsParsedOntoTheSourceCursor) {
  curs& s = define("SUM BYTES -> VTOT.TOTAL");
  ASSERT_EQ(s.load_records.size(), 1u);
  const lp_ptr& l = *s.load_records[0];
  EXPECT_TRUE(l.sum);
  EXPECT_FALSE(l.count || l.average || l.where || l.from);
  EXPECT_EQ(l.source, s.cols[1].get());
  EXPECT_EQ(l.target_cursor, defs_.find_cursor("VTOT"));
  EXPECT_EQ(l.target_column, defs_.find_cursor("VTOT")->cols[0].get());
  EXPECT_TRUE(log_.has("plo3090", 'i', "Load parsing ended ok."));
}

TEST_F(LoadsTest, TargetByPositionAndSelectionsAreRecorded) {
  curs& s = define("BYTES -> VTOT.2 FROM max_occurance NAME");
  const lp_ptr& l = *s.load_records[0];
  EXPECT_EQ(l.target_column->name, "LABEL");
  EXPECT_TRUE(l.from && l.max_occurance);
  EXPECT_EQ(l.min_max, s.cols[0].get());
}

TEST_F(LoadsTest, BadLoadsAreEachReported) {
  const struct {
    const char* load;
    const char* id;
    const char* message;
  } cases[] = {
      {"SUM BYTES -> PLAIN.TOTAL", "plo3040",
       "Target cursor (PLAIN) in S for SUM BYTES -> PLAIN.TOTAL is not virtual"},
      {"-> VTOT.TOTAL", "plo3010", "No source column found for load in cursor S"},
      {"NOPE -> VTOT.TOTAL", "plo3020", "Column NOPE not found in cursor S for load NOPE -> VTOT.TOTAL"},
      {"BYTES VTOT.TOTAL", "plo3025", "Bad syntax in load for cursor S : BYTES VTOT.TOTAL"},
      {"BYTES -> .TOTAL", "plo3030", "Target cursor name not found in cursor S for load BYTES -> .TOTAL"},
      {"BYTES -> NOWHERE.TOTAL", "plo3035", "Target cursor (NOWHERE) not found for load BYTES -> NOWHERE.TOTAL in S"},
      {"BYTES -> VTOT TOTAL", "plo3045", "Bad target cursor.column syntax in load BYTES -> VTOT TOTAL for cursor S"},
      {"BYTES -> VTOT.", "plo3050", "No target column name in cursor S load BYTES -> VTOT."},
      {"BYTES -> VTOT.NOPE", "plo3055", "Target column (NOPE) not found for cursor S load BYTES -> VTOT.NOPE"},
      {"SUM!BYTES -> VTOT.TOTAL where NAME = 'a'", "plo3060",
       "Column function and load_where or load_from are incompatable"},
      {"COUNT BYTES -> VTOT.TOTAL FROM MIN NAME", "plo3065",
       "Cannot have FROM directive with count/sum/average in load"},
      {"BYTES -> VTOT.TOTAL FROM LEAST NAME", "plo3070", "From requires min/max/max_occurance in load"},
      {"BYTES -> VTOT.TOTAL FROM MIN WHO", "plo3080", "MIN-MAX column (WHO) not found for cursor S load BYTES -> VTOT.TOTAL FROM MIN WHO"},
      {"BYTES -> VTOT.TOTAL WHERE NAME", "plo3085", "Load parsing ended with errors."},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.load);
    testing::parse_cursors(definitions(std::string("load ") + k.load + ";"), defs_);
    EXPECT_EQ(parse_loads(defs_), 1);
    EXPECT_TRUE(defs_.find_cursor("S")->load_records.empty());
    EXPECT_TRUE(log_.has(k.id, 'e', k.message)) << log_.text();
    defs_.del_curs();
  }
}

TEST_F(LoadsTest, AggregatesAndSelectionsOverTheRows) {
  const std::vector<std::pair<const char*, const char*>> rows = {
      {"a", "5"}, {"b", "30"}, {"b", "12"}, {"a", "40"}};
  const struct {
    const char* load;
    const char* total;
  } cases[] = {
      {"COUNT BYTES -> VTOT.TOTAL", "4"},
      {"SUM BYTES -> VTOT.TOTAL", "87"},
      {"AVERAGE BYTES -> VTOT.TOTAL", "21.75"},
      {"COUNT BYTES -> VTOT.TOTAL WHERE NAME = 'b'", "2"},
      {"SUM BYTES -> VTOT.TOTAL where NAME = 'a'", "45"},
      {"AVERAGE BYTES -> VTOT.TOTAL WHERE BYTES > 10 and < 35", "21.00"},
      {"AVERAGE BYTES -> VTOT.TOTAL WHERE BYTES > 100", "0.0"},
      {"COUNT BYTES -> VTOT.TOTAL WHERE BYTES > 100", "0"},
      {"BYTES -> VTOT.TOTAL WHERE NAME = 'b'", "30"},
      {"BYTES -> VTOT.TOTAL WHERE NAME = 'z'", "7"},
      {"BYTES -> VTOT.TOTAL", "40"},
      {"BYTES -> VTOT.TOTAL FROM MIN BYTES", "5"},
      {"BYTES -> VTOT.TOTAL FROM MAX BYTES", "40"},
      {"BYTES -> VTOT.TOTAL FROM MAX NAME", "30"},
      {"BYTES -> VTOT.TOTAL FROM MAX_OCCURANCE NAME", "5"},
      {"SUM!BYTES -> VTOT.TOTAL", "87"},
      {"MAX!BYTES -> VTOT.TOTAL", "40"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.load);
    define(k.load);
    EXPECT_EQ(run(rows), 0);
    EXPECT_EQ(total(), k.total);
    defs_.del_curs();
  }
}

TEST_F(LoadsTest, SumSaturatesAndStops) {
  const struct {
    std::vector<std::pair<const char*, const char*>> rows;
    const char* total;
  } cases[] = {
      {{{"a", "9223372036854775807"}, {"a", "1"}, {"a", "-5"}}, "9223372036854775807"},
      {{{"a", "-9223372036854775808"}, {"a", "-1"}, {"a", "3"}}, "-9223372036854775808"},
      {{{"a", "99999999999999999999"}, {"a", "-1"}}, "9223372036854775807"},
  };
  for (const auto& k : cases) {
    define("SUM BYTES -> VTOT.TOTAL");
    run(k.rows);
    EXPECT_EQ(total(), k.total);
    defs_.del_curs();
  }
}

TEST_F(LoadsTest, AverageRoundsToTwoPlacesOverTheDoubleSum) {
  define("AVERAGE BYTES -> VTOT.TOTAL");
  run({{"a", "1.5"}, {"a", "2"}, {"a", "2"}});
  EXPECT_EQ(total(), "1.83");
}

TEST_F(LoadsTest, NoRowsResetsTheVariableToItsInitialValue) {
  define("NAME -> VTOT.LABEL");
  run({{"busy", "1"}});
  EXPECT_EQ(var(1), "busy    ");
  run({});
  EXPECT_EQ(var(1), "    none");  // character initial values are kept as the dictionary holds them
}

TEST_F(LoadsTest, AggregateLongerThanTheVariableKeepsItsRightmostCharacters) {
  define("SUM BYTES -> VTOT.TINY");
  run({{"a", "12000"}, {"a", "345"}});
  EXPECT_EQ(var(2), "345");
  EXPECT_EQ(defs_.find_cursor("VTOT")->stored.last()->data()[defs_.find_cursor("VTOT")->cols[2]->stored_offset + 3],
            '\0');
}

TEST_F(LoadsTest, MovedValuesAreTrimmedAndFittedByKind) {
  define("NAME -> VTOT.TINY");
  columns source, target;
  source.stored_length = 8;
  target.stored_length = 3;
  const struct {
    const char* value;
    uint16_t col_type;
    const char* stored;
  } cases[] = {
      {" \tab \t   ", kColCharacter, "ab "}, {"abcdefgh", kColCharacter, "abc"},
      {"   12345", kColNumeric, "345"},     {"      12", kColNumeric, " 12"},
  };
  curs& s = *defs_.find_cursor("S");
  for (const auto& k : cases) {
    char field[4] = "xyz";
    source.col_type = k.col_type;
    set_one_var(source, target, field, k.value, s);
    EXPECT_EQ(std::string(field, 3), k.stored) << k.value;
  }
}

TEST_F(LoadsTest, MostFrequentValueTieGoesToTheValueSeenFirst) {
  curs& s = define("NAME -> VTOT.LABEL FROM MAX_OCCURANCE NAME");
  run({{"A", "1"}, {"B", "2"}, {"B", "3"}, {"A", "4"}});
  EXPECT_EQ(get_max_occurance(s, *s.cols[0]), s.stored.first());
  run({{"A", "5"}, {"B", "6"}, {"B", "7"}});  // now A three times, B four times
  EXPECT_EQ(get_max_occurance(s, *s.cols[0]), s.stored.first()->next);
}

TEST_F(LoadsTest, StartUpCheckFindsTheConditionColumns) {
  testing::parse_cursors(definitions("load BYTES -> VTOT.TOTAL WHERE WHO = 1;\n"
                                     "load BYTES -> VTOT.TOTAL WHERE BYTES = NOPE;\n"
                                     "load BYTES -> VTOT.TOTAL WHERE BYTES > 1 and < NADA;"), defs_);
  ASSERT_EQ(parse_loads(defs_), 0);
  EXPECT_EQ(edit_loads(defs_), 1);
  EXPECT_TRUE(log_.has("pde4215", 'e', "Load Column (WHO) not found in cursor S"));
  EXPECT_TRUE(log_.has("pde4205", 'e', "Operand column(NOPE) not in cursor S"));
  EXPECT_TRUE(log_.has("pde4210", 'e', "'And' column(NADA) not in cursor S"));
  EXPECT_TRUE(log_.has("pde4220", 'e', "Load predicate editing failed"));
}

// A run over a SQLite table feeds the loads through the fetch's end-of-data step.
class LoadsRunTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    ASSERT_EQ(parse_dict_text(defs_, kDict), 0);
    collector_.server_id = db_.file("MON.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(collector_.server_id.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE t (name VARCHAR2(8), bytes NUMBER);"
                           "INSERT INTO t VALUES ('a', 10), ('b', 25), ('a', 7);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    fetch_hooks().row = merge_fetched_row;
    fetch_hooks().end_of_data = [](curs& c, int32_t rows) { process_loads(c, rows); };
  }
  testing::TempDir db_;
};

TEST_F(LoadsRunTest, RowsFetchedFromTheDatabaseReachTheVariables) {
  testing::parse_cursors(definitions("load SUM BYTES -> VTOT.TOTAL WHERE NAME = 'a';\n"
                                     "load NAME -> VTOT.LABEL FROM MAX BYTES;"), defs_);
  ASSERT_EQ(init_virtuals(defs_), 0);
  ASSERT_EQ(parse_loads(defs_), 0);
  ASSERT_EQ(edit_loads(defs_), 0);
  curs& s = *defs_.find_cursor("S");
  s.sql_text = "SELECT name AS NAME, bytes AS BYTES FROM t";
  s.collector = &collector_;
  ASSERT_EQ(run(s), 0) << log_.text();
  const curs& v = *defs_.find_cursor("VTOT");
  const char* row = v.stored.last()->data();
  EXPECT_EQ(u_stripx(std::string(row + v.cols[0]->stored_offset, 21), 'B'), "17");
  EXPECT_EQ(std::string(row + v.cols[1]->stored_offset, 8), "b       ");
}

}  // namespace
}  // namespace qrx
