// The percent cursor: its columns and lookup, the machine identity views,
// cursors' SQL codes, request parameters, and percent columns in assembled rows.
#include "exec/percent_cursor.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/env_vars.h"
#include "ctl/control_parse.h"
#include "exec/db_type.h"
#include "exec/dummy_rows.h"
#include "exec/dynamic_fetch.h"
#include "exec/host_merge.h"
#include "exec/merge_text.h"
#include "session/database.h"
#include "sqlrt/sqlrt.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::cursor_text;
using testing::FetchedRow;
using testing::parse_cursors;

constexpr const char* kTime = "20261210030000";

std::string blank_padded(const std::string& text, std::size_t width) {
  return text + std::string(width - text.size(), ' ');
}

std::string right_aligned(const std::string& text, std::size_t width) {
  return std::string(width - text.size(), ' ') + text;
}

// The value of percent variable `name` of `set` as a reader of the percent row sees it.
std::string percent_value(cursor_set& set, const std::string& name) {
  const columns* col = find_pcnt_col(set, name);
  if (!col) return "<missing " + name + ">";
  return std::string(percent_row(set)->data() + col->stored_offset,
                     static_cast<std::size_t>(col->stored_length));
}

// The value of column `col` in the cursor's newest row.
std::string last_value(const curs& c, int col) {
  const columns& k = *c.cols[col];
  return std::string(c.stored.last()->data() + k.stored_offset,
                     static_cast<std::size_t>(k.stored_length));
}

// Restores the machine identity and the database type; deletes every cursor.
class PercentCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_id_ = machine_id;
    saved_type_ = db_info.type;
    std::memset(&machine_id, ' ', sizeof machine_id);
    std::memcpy(machine_id.hostname, "host1", 5);
    std::memcpy(machine_id.serverid, "SERVER01", 8);
    std::memcpy(machine_id.spare, "third", 5);
  }
  void TearDown() override {
    machine_id = saved_id_;
    db_info.type = saved_type_;
  }
  // Parses `text` as COLLECT.CTL, then creates the percent cursor.
  void make(const std::string& text) {
    parse_cursors(text, defs_);
    ASSERT_EQ(create_percent_cursor(defs_), 0) << log_.text();
  }

  testing::LogCapture log_;
  testing::FixedClock clock_{1765335600};  // 2025-12-10 03:00:00 UTC

 private:
  MachineId saved_id_;
  std::string saved_type_;
 protected:
  Definitions defs_;  // the cursors under test
};

TEST_F(PercentCursorTest, HeldOnDemandCursorLastOnTheChainWithColumnsInTableOrder) {
  make(cursor_text("CURS1", {"A"}) + cursor_text("CURS2", {"B"}));
  ASSERT_EQ(defs_.cur_anchor.back().get(), defs_.percent_cursor);
  EXPECT_EQ(defs_.percent_cursor->name, "%CURSOR");
  EXPECT_EQ(defs_.percent_cursor->demand, 1);
  EXPECT_EQ(defs_.percent_cursor->hold, 'Y');
  EXPECT_EQ(defs_.percent_cursor->hold_active, 1);  // a pass never lifts the hold
  EXPECT_TRUE(defs_.percent_cursor->sql_text.empty());
  ASSERT_EQ(defs_.percent_cursor->stored.count(), 1);

  const struct {
    std::size_t index;
    const char* name;
    uint16_t type;
    int16_t width;
  } expected[] = {
      {0, "%me", kColCharacter, 32},          {1, "%machine", kColCharacter, 64},
      {2, "%machine_me", kColCharacter, 64},  {3, "%machine_me_ora", kColCharacter, 72},
      {4, "%now_time", kColCharacter, 16},    {5, "%current_interval", kColNumeric, 21},
      {6, "%now_secs", kColNumeric, 21},      {7, "%rowno", kColNumeric, 21},
      {8, "%sampleno", kColNumeric, 21},      {9, "%execution_time", kColNumeric, 21},
      {10, "%sqlcode_CURS1", kColNumeric, 16}, {11, "%sqlcode_CURS2", kColNumeric, 16},
      {12, "%parm0", kColNumeric, 21},         {21, "%parm9", kColNumeric, 21},
      {22, "%parma", kColNumeric, 21},         {27, "%parmf", kColNumeric, 21},
      {28, "%parm10", kColNumeric, 21},        {51, "%parm27", kColNumeric, 21},
  };
  const auto& cols = defs_.percent_cursor->cols;
  ASSERT_EQ(cols.size(), 52u);
  for (const auto& e : expected) {
    const columns& col = *cols[e.index];
    EXPECT_EQ(col.name, e.name);
    EXPECT_EQ(col.col_type, e.type) << e.name;
    EXPECT_EQ(col.data_type, kColCharacter) << e.name;
    EXPECT_EQ(col.stored_length, e.width) << e.name;
    EXPECT_EQ(col.ordinal, e.index + 1) << e.name;
    EXPECT_EQ(col.value, defs_.percent_cursor->stored.last()->data() + col.stored_offset) << e.name;
  }
  // Every field lies inside the one row.
  for (const auto& col : cols)
    EXPECT_LE(static_cast<uint32_t>(col->stored_offset + col->stored_length),
              defs_.percent_cursor->row_length) << col->name;
}

TEST_F(PercentCursorTest, LookupIgnoresCaseAndUnknownNamesAreNull) {
  make(cursor_text("curs1", {"A"}));
  ASSERT_NE(find_pcnt_col(defs_, "%rowno"), nullptr);
  EXPECT_EQ(find_pcnt_col(defs_, "%ROWNO"), find_pcnt_col(defs_, "%rowno"));
  EXPECT_EQ(find_pcnt_col(defs_, "%SQLCODE_CURS1"), find_pcnt_col(defs_, "%sqlcode_curs1"));
  EXPECT_EQ(find_pcnt_col(defs_, "%PARMA")->name, "%parma");
  EXPECT_EQ(find_pcnt_col(defs_, "%rown"), nullptr);
  EXPECT_EQ(find_pcnt_col(defs_, "%rownox"), nullptr);
  EXPECT_EQ(find_pcnt_col(defs_, "%sqlcode_NONE"), nullptr);
  defs_.del_curs();
  EXPECT_EQ(defs_.percent_cursor, nullptr);
  EXPECT_EQ(find_pcnt_col(defs_, "%rowno"), nullptr);
}

TEST_F(PercentCursorTest, MachineIdentityViewsFollowTheRecordLayout) {
  make(cursor_text("C", {"A"}));
  const std::string host = blank_padded("host1", 64);
  const std::string server = blank_padded("SERVER01", 32);
  const std::string third = blank_padded("third", 64);
  const struct {
    const char* type;
    const char* name;
    std::string value;
  } cases[] = {
      {"ORA", "%machine", host},
      {"ORA", "%me", server},
      {"ORA", "%machine_me", host + server.substr(0, 8)},
      {"ORA", "%MACHINE_ME", host + server.substr(0, 8)},
      {"ORA", "%machine_me_ora", host + server.substr(0, 8)},
      {"DB2", "%machine_me", third},
      {"DB2", "%machine_me_ora", host + server.substr(0, 8)},
  };
  for (const auto& k : cases) {
    db_info.type = k.type;
    EXPECT_EQ(percent_value(defs_, k.name), k.value) << k.type << " " << k.name;
  }
}

TEST_F(PercentCursorTest, RequestParametersFillTheParmColumnsInOrder) {
  make(cursor_text("C", {"A"}));
  std::vector<std::string> params;
  for (int i = 0; i < 17; ++i) params.push_back("p" + std::to_string(i + 1));
  set_request_parameters(defs_, params);
  EXPECT_EQ(percent_value(defs_, "%parm0"), "p1");
  EXPECT_EQ(percent_value(defs_, "%parmf"), "p16");
  EXPECT_EQ(percent_value(defs_, "%parm10"), "p17");  // the seventeenth parameter
  EXPECT_EQ(percent_value(defs_, "%parm11"), "");  // no eighteenth parameter: empty

  // Fewer parameters than columns: the rest are emptied, nothing of the
  // earlier request is left.
  set_request_parameters(defs_, std::vector<std::string>{"x", "yy"});
  EXPECT_EQ(percent_value(defs_, "%parm0"), "x");
  EXPECT_EQ(percent_value(defs_, "%parm1"), "yy");
  EXPECT_EQ(percent_value(defs_, "%parm2"), "");
  EXPECT_EQ(percent_value(defs_, "%parm10"), "");
  set_request_parameters(defs_, {});
  EXPECT_EQ(percent_value(defs_, "%parm0"), "");

  // A parameter is cut at a zero byte or at 256 characters, and a shorter
  // one leaves nothing of a longer one behind.
  set_request_parameters(defs_, std::vector<std::string>{std::string(300, 'L'), std::string("ab\0cd", 5)});
  EXPECT_EQ(percent_value(defs_, "%parm0"), std::string(256, 'L'));
  EXPECT_EQ(percent_value(defs_, "%parm1"), "ab");
  set_request_parameters(defs_, std::vector<std::string>{"s"});
  const columns* p0 = find_pcnt_col(defs_, "%parm0");
  EXPECT_EQ(std::string(percent_row(defs_)->data() + p0->stored_offset, 256), blank_padded("s", 256));
}

TEST_F(PercentCursorTest, RowAssemblySkipsShortParmNamesAndBindsLongOnes) {
  make(cursor_text("C", {"V", "%parma", "%parm10"}));
  std::vector<std::string> params(17, "x");
  params[10] = "tenth";
  params[16] = "seventeenth";
  set_request_parameters(defs_, params);
  curs& c = *defs_.find_cursor("C");
  c.sample_no = 1;
  FetchedRow row{{"V", "v", 1}};
  ASSERT_NE(merge_text(c, row.view(), kTime), 0) << log_.text();
  EXPECT_EQ(c.hold, 0);
  EXPECT_EQ(last_value(c, 1), "");  // skipped: no width of its own
  EXPECT_EQ(last_value(c, 2), "seventeenth");
}

TEST_F(PercentCursorTest, UnknownPercentNameHoldsAtRowAssemblyAndInALayoutWithoutSql) {
  make(cursor_text("C", {"V", "%nope"}));
  curs& c = *defs_.find_cursor("C");
  FetchedRow row{{"V", "v", 1}};
  EXPECT_EQ(merge_text(c, row.view(), kTime), 0);
  EXPECT_TRUE(log_.has("cat1560", 'e', "Un-identified percent variable %nope"));
  EXPECT_EQ(c.hold, 'Y');
  c.hold = 0;
  EXPECT_EQ(setup_dummy(c, row.view()), 0);
  EXPECT_TRUE(log_.has("pdu4520", 'e', "Un-identified percent variable %nope"));
  EXPECT_EQ(c.hold, 'Y');
}

TEST_F(PercentCursorTest, LayoutWithoutSqlTakesPercentColumnsAndRowsShowTheirValues) {
  make(cursor_text("C", {"S", "%ROWNO", "%now_time"}));
  curs& c = *defs_.find_cursor("C");
  FetchedRow described{{"S", "", 3}};
  ASSERT_EQ(setup_dummy(c, described.view()), 0) << log_.text();
  ASSERT_TRUE(c.layout_fixed) << log_.text();
  EXPECT_EQ(c.cols[1]->col_type, kColNumeric);
  EXPECT_EQ(c.cols[1]->stored_length, 21);
  EXPECT_EQ(c.cols[2]->stored_length, 16);
  EXPECT_EQ(c.row_length, 4u + 22 + 17);

  c.sample_no = 3;
  FetchedRow row{{"S", "ab", 3}};
  ASSERT_NE(merge_text(c, row.view(), kTime), 0) << log_.text();
  ASSERT_NE(merge_text(c, row.view(), kTime), 0) << log_.text();
  EXPECT_EQ(last_value(c, 1), right_aligned("2", 21));
  EXPECT_EQ(last_value(c, 2), std::string(kTime) + "00");
}

// Rows of two cursors built in turn, the clock and the fetch time moving
// between them: every work field shows the values of the row being built.
TEST_F(PercentCursorTest, WorkFieldsFollowEachRowAcrossCursorsAndTime) {
  make(cursor_text("A", {"S"}) + cursor_text("B", {"S"}));
  curs& a = *defs_.find_cursor("A");
  curs& b = *defs_.find_cursor("B");
  a.sample_no = 4, a.elapsed = 2, a.measured_interval = 60;
  b.sample_no = 9, b.elapsed = 7, b.measured_interval = 300;
  struct Step {
    curs* c;
    const char* time;
    unsigned advance;  // seconds the clock moves before the row
  };
  const Step steps[] = {{&a, "20261210030000", 0}, {&a, "20261210030000", 0},
                        {&b, "20261210030000", 1}, {&a, "20261210030500", 0},
                        {&a, "20261210030500", 2}, {&b, "20261210030500", 0}};
  std::time_t now = 1765335600;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.c->name + " at " + step.time);
    clock_.sleep_seconds(step.advance);
    now += step.advance;
    refresh_percent_values(*step.c, step.time);
    EXPECT_EQ(percent_value(defs_, "%now_time"), std::string(step.time) + "00");
    EXPECT_EQ(percent_value(defs_, "%sampleno"), right_aligned(std::to_string(step.c->sample_no), 21));
    EXPECT_EQ(percent_value(defs_, "%now_secs"), right_aligned(std::to_string(now), 21));
    EXPECT_EQ(percent_value(defs_, "%execution_time"), right_aligned(std::to_string(step.c->elapsed), 21));
    EXPECT_EQ(percent_value(defs_, "%current_interval"),
              right_aligned(std::to_string(step.c->measured_interval), 21));
  }
}

TEST_F(PercentCursorTest, ExpansionFailureIsReported) {
  parse_cursors(cursor_text("C", {"A"}), defs_);
  auto odd = std::make_unique<curs>();
  odd->name = std::string(45, 'N');  // "%sqlcode_" and this would not fit a column name
  defs_.add(std::move(odd));
  EXPECT_EQ(create_percent_cursor(defs_), 1);
  EXPECT_TRUE(log_.has("PCV4610", 'e', "Can not build columns for percent-cursor"));
  EXPECT_TRUE(log_.has("PCV4600", 'e', "Can not build columns for percent-cursor"));
  EXPECT_EQ(defs_.percent_cursor, nullptr);
}

// Refuses every logon with one code.
class RefusingDriver : public sqlrt::Driver {
 public:
  int connect(const sqlrt::ConnectParams&, std::unique_ptr<sqlrt::Connection>&,
              sqlrt::Diagnostics& diag) override {
    return diag.set(-12541, "no listener");
  }
};

class PercentFetchTest : public testing::DatabaseFixture {
 protected:
  // Parses `text`, creates the percent cursor and has `name` run for the fixture.
  curs& make(const std::string& text, const std::string& name) {
    parse_cursors(text, defs_);
    EXPECT_EQ(create_percent_cursor(defs_), 0);
    curs& c = *defs_.find_cursor(name);
    c.collector = &collector_;
    return c;
  }
};

TEST_F(PercentFetchTest, SqlcodeShowsTheCodeOfAFailedConnectRightAligned) {
  RefusingDriver driver;
  sqlrt::set_driver_override(&driver);
  collector_.logon_id = "mon";
  curs& c = make(cursor_text("CURS1", {"A"}) + cursor_text("CURS2", {"B", "%sqlcode_CURS1"}),
                 "CURS1");
  curs& reader = *defs_.find_cursor("CURS2");
  reader.sample_no = 1;
  FetchedRow row{{"B", "b", 1}};
  ASSERT_NE(merge_text(reader, row.view(), kTime), 0) << log_.text();
  EXPECT_EQ(last_value(reader, 1), std::string(16, ' '));

  // A host-variable merge replays its reference: it reads the field directly
  // (between quotes: a blank status is no number).
  curs& merged = *defs_.find_cursor("CURS2");
  merged.sql_text = "SELECT '[%sqlcode_CURS1' FROM T";
  std::string sql;
  ASSERT_NE(set_hvs_in_sel(merged, sql), 0u) << log_.text();
  EXPECT_EQ(sql, "SELECT '" + std::string(16, ' ') + "' FROM T");

  EXPECT_EQ(ensure_session(c, defs_.collector_at), -12541);
  ASSERT_NE(set_hvs_in_sel_2(merged, sql), 0u) << log_.text();
  EXPECT_EQ(sql, "SELECT '" + right_aligned("-12541", 16) + "' FROM T");
  EXPECT_EQ(percent_value(defs_, "%sqlcode_CURS1"), right_aligned("-12541", 16));
  EXPECT_EQ(percent_value(defs_, "%sqlcode_CURS2"), std::string(16, ' '));
  ASSERT_NE(merge_text(reader, row.view(), kTime), 0) << log_.text();
  EXPECT_EQ(last_value(reader, 1), right_aligned("-12541", 16));
}

TEST_F(PercentFetchTest, FetchedRowsCarryTimeRowAndSampleNumbers) {
  testing::TempDir dir;
  collector_.server_id = dir.file("MON.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(collector_.server_id.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE T (A VARCHAR2(4)); INSERT INTO T VALUES ('x'), ('y');",
                         nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  curs& c = make(cursor_text("PCT", {"A", "%now_time", "%rowno", "%sampleno", "%current_interval"}),
                 "PCT");
  fetch_hooks().row = merge_fetched_row;

  ASSERT_EQ(run(c), 0) << log_.text();
  clock_.sleep_seconds(60);
  ASSERT_EQ(run(c), 0) << log_.text();
  ASSERT_EQ(c.stored.count(), 4);
  std::vector<std::string> seen;
  for (const row_data* r = c.stored.first(); r; r = r->next) {
    std::string line;
    for (int i = 1; i < 5; ++i) {
      const columns& k = *c.cols[i];
      std::string v(r->data() + k.stored_offset, static_cast<std::size_t>(k.stored_length));
      line += (i > 1 ? "|" : "") + v.substr(v.find_first_not_of(' '));
    }
    seen.push_back(line);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "2026010509000000|1|1|0", "2026010509000000|2|1|0",
                      "2026010509000000|1|2|60", "2026010509000000|2|2|60"}));
  EXPECT_EQ(percent_value(defs_, "%now_secs"), right_aligned(std::to_string(clock_.now()), 21));
}

TEST(CollDbType, FilesATypeUnderItsProductCode) {
  const struct {
    const char* type;
    const char* product;
    const char* second;
  } cases[] = {
      {"xmb", "xmb", "keep"},      {"XPA10", "xpa", "keep"},   {"xcn", "xcn", "keep"},
      {"xvt", "xvt", "keep"},      {"qrx", "qrx", "keep"},     {"xjl", "xjl", "db2"},
      {"Sybase", "xmb", "keep"},   {"ORACLE", "xpa", "keep"},  {"informix", "xcn", "keep"},
      {"SQLServer", "xvt", "keep"}, {"DB2/UDB", "db2", "xjl"}, {"xhh", "xhh", "xxx"},
      {"MySQL", "mys", "unk"},     {"pg", "pg", "unk"},        {"", "old", "keep"},
  };
  for (const auto& k : cases) {
    db_type_codes record{"old", "keep"};
    coll_db_type(record, k.type);
    EXPECT_EQ(record.product, k.product) << k.type;
    EXPECT_EQ(record.second, k.second) << k.type;
  }
}

}  // namespace
}  // namespace qrx
