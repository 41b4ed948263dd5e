// Status replies: the fixed cursor and distributor records and reading them back.
#include "agent/status_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "ctl/control_parse.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"
#include "qrx/distributor.h"

namespace qrx {
namespace {

struct OffsetCase {
  std::span<const StatusField> layout;
  int field;
  const char* name;
  int offset;
  int width;
  int count;
};

// The offsets the agent side reads; a change here is a change of the reply format.
TEST(StatusRecords, FieldsSitAtTheirDocumentedOffsets) {
  const std::span<const StatusField> c = kCursorStatusLayout;
  const std::span<const StatusField> d = kDistributorStatusLayout;
  const OffsetCase cases[] = {
      {c, kCsName, "name", 0, 9, 1},           {c, kCsLastTime, "last_time", 9, 15, 1},
      {c, kCsWindowOpen, "window_open", 24, 4, 1}, {c, kCsDemand, "demand", 40, 2, 1},
      {c, kCsInterval, "interval", 48, 4, 1},  {c, kCsHold, "hold", 58, 1, 1},
      {c, kCsLimit, "limit", 68, 4, 1},        {c, kCsRows, "rows", 72, 4, 1},
      {c, kCsClass, "class", 88, 4, 1},        {c, kCsUuidpcvc, "uuidpcvc", 168, 37, 1},
      {c, kCsAgeTo, "age_to", 224, 9, 1},      {c, kCsResultCode, "result_code", 240, 4, 1},
      {c, kCsStatus, "status", 244, 16, 1},    {c, kCsTracem, "tracem", 268, 2, 1},
      {c, kCsStoredRows, "stored_rows", 272, 4, 1}, {c, kCsFetchTime, "fetch_time", 304, 15, 1},
      {c, kCsLastStartUs, "last_start_us", 320, 4, 1}, {c, kCsEndTimeUs, "end_time_us", 324, 4, 1},
      {c, kCsLastRunFailed, "last_run_failed", 328, 2, 1},
      {c, kCsErrorText, "error_text", 330, 120, 1}, {c, kCsReserved, "reserved", 450, 6, 1},
      {d, kDsType, "type", 0, 2, 1},           {d, kDsName, "distrib_name", 2, 25, 1},
      {d, kDsPassword, "password", 60, 100, 1}, {d, kDsServerId, "server_id", 160, 48, 1},
      {d, kDsHolidays, "holidays", 212, 4, 100}, {d, kDsInterval, "interval", 612, 4, 1},
      {d, kDsClasses, "classes", 618, 2, 51},  {d, kDsNextTime, "next_time", 728, 4, 1},
      {d, kDsState, "state", 732, 2, 1},       {d, kDsStatus, "status", 736, 8, 1},
      {d, kDsLastRun, "last_run", 744, 15, 1}, {d, kDsReserved, "reserved", 759, 29, 1},
  };
  for (const OffsetCase& t : cases) {
    const StatusField& f = t.layout[t.field];
    EXPECT_STREQ(f.name, t.name);
    EXPECT_EQ(f.offset, t.offset) << t.name;
    EXPECT_EQ(f.width, t.width) << t.name;
    EXPECT_EQ(f.count, t.count) << t.name;
  }
}

class StatusRowsTest : public ::testing::Test {
 protected:
  curs& add_cursor(const std::string& name) {
    curs& c = defs_.add(std::make_unique<curs>());
    c.name = name;
    return c;
  }
  distributor& add_distributor(const std::string& name) {
    defs_.distrib_anchor.push_back(std::make_unique<distributor>());
    defs_.distrib_anchor.back()->distrib_name = name;
    return *defs_.distrib_anchor.back();
  }
  // Field `field` (element `index`) of record `record` in `rows`.
  static std::string cursor_value(const std::vector<char>& rows, std::size_t record, int field) {
    return status_value(record_at(rows, record, kCursorStatusSize), kCursorStatusLayout[field]);
  }
  static std::string distributor_value(const std::vector<char>& rows, std::size_t record,
                                       int field, int index = 0) {
    return status_value(record_at(rows, record, kDistributorStatusSize),
                        kDistributorStatusLayout[field], index);
  }
  static std::span<const char> record_at(const std::vector<char>& rows, std::size_t record,
                                         std::size_t size) {
    return std::span<const char>(rows).subspan(record * size, size);
  }
  Definitions defs_;
};

TEST_F(StatusRowsTest, CursorRecordRoundTripsThroughTheReader) {
  add_cursor("FIRST");
  curs& c = add_cursor("SESSIONS");
  c.last_time = "20261210043000";
  c.interval = 300;
  c.hold = 'Y';
  c.demand = 1;
  c.limit = -1;
  c.rows = 42;
  c.class_ = 7;
  c.uuidbase = std::string(36, 'u');
  c.age_to = "BASE";
  c.result_code = -942;
  c.status = "      ORA-00942 ";
  c.fetch_time = "20261210042959";
  c.last_start = 1796870000;
  for (int i = 0; i < 3; ++i) c.stored.append(row_chain::allocate(4));

  const std::vector<char> rows = cursor_status_rows(defs_);
  ASSERT_EQ(rows.size(), 2 * kCursorStatusSize);
  EXPECT_EQ(cursor_value(rows, 0, kCsName), "FIRST");
  EXPECT_EQ(cursor_value(rows, 0, kCsLastTime), "19900101010101");
  EXPECT_EQ(cursor_value(rows, 0, kCsHold), "");
  const struct {
    int field;
    const char* expected;
  } fields[] = {
      {kCsName, "SESSIONS"},       {kCsLastTime, "20261210043000"}, {kCsInterval, "300"},
      {kCsHold, "Y"},              {kCsDemand, "1"},                {kCsLimit, "-1"},
      {kCsRows, "42"},             {kCsClass, "7"},                 {kCsAgeTo, "BASE"},
      {kCsResultCode, "-942"},     {kCsStatus, "      ORA-00942 "}, {kCsStoredRows, "3"},
      {kCsFetchTime, "20261210042959"}, {kCsLastStart, "1796870000"},
  };
  for (const auto& f : fields)
    EXPECT_EQ(cursor_value(rows, 1, f.field), f.expected)
        << kCursorStatusLayout[f.field].name;
  EXPECT_EQ(cursor_value(rows, 1, kCsUuidbase), std::string(36, 'u'));
  const char* reserved = rows.data() + kCursorStatusSize + kCursorStatusLayout[kCsReserved].offset;
  EXPECT_EQ(std::string(reserved, kCursorStatusLayout[kCsReserved].width),
            std::string(kCursorStatusLayout[kCsReserved].width, '\0'));
}

TEST_F(StatusRowsTest, LongTextsAreCutAndOutOfRangeNumbersSaturate) {
  curs& c = add_cursor("LONGNAMEX");  // 9 characters fill the field without a NUL
  c.samples = 70000;
  c.start_after = -5;
  c.last_start = -1;
  const std::vector<char> rows = cursor_status_rows(defs_);
  EXPECT_EQ(cursor_value(rows, 0, kCsName), "LONGNAMEX");
  EXPECT_EQ(rows[9], '1');  // the last time starts right after, untouched
  EXPECT_EQ(cursor_value(rows, 0, kCsSamples), "65535");
  EXPECT_EQ(cursor_value(rows, 0, kCsStartAfter), "0");
  EXPECT_EQ(cursor_value(rows, 0, kCsLastStart), "0");
}

TEST_F(StatusRowsTest, DistributorRecordRoundTripsAndNeverCarriesThePassword) {
  distributor& d = add_distributor("collector");
  d.type = 2;
  d.logon_id = "monitor";
  d.password = "secret";
  d.server_id = "ORCL    ";
  d.time_offset = -3600;
  d.holidays[0] = 12345;
  d.holidays[99] = 99;
  d.interval = 60;
  d.hold = 'N';
  d.continuous = 'Y';
  d.classes[50] = 1;
  d.next_time = 1000;
  d.status = "GOOD";
  d.last_run = "20261210043000";
  add_distributor("rqs");

  const std::vector<char> rows = distributor_status_rows(defs_);
  ASSERT_EQ(rows.size(), 2 * kDistributorStatusSize);
  const auto& L = kDistributorStatusLayout;
  const struct {
    int field;
    int index;
    const char* expected;
  } fields[] = {
      {kDsType, 0, "2"},           {kDsName, 0, "collector"},   {kDsLogonId, 0, "monitor"},
      {kDsServerId, 0, "ORCL    "}, {kDsTimeOffset, 0, "-3600"}, {kDsHolidays, 0, "12345"},
      {kDsHolidays, 1, "0"},       {kDsHolidays, 99, "99"},     {kDsInterval, 0, "60"},
      {kDsHold, 0, "N"},           {kDsContinuous, 0, "Y"},     {kDsClasses, 0, "1"},
      {kDsClasses, 1, "0"},        {kDsClasses, 50, "1"},       {kDsNextTime, 0, "1000"},
      {kDsState, 0, "1"},          {kDsStatus, 0, "GOOD"},      {kDsLastRun, 0, "20261210043000"},
  };
  for (const auto& f : fields)
    EXPECT_EQ(distributor_value(rows, 0, f.field, f.index), f.expected) << L[f.field].name << f.index;
  EXPECT_EQ(distributor_value(rows, 1, kDsName), "rqs");
  EXPECT_EQ(std::string(rows.data() + L[kDsPassword].offset, L[kDsPassword].width),
            std::string(L[kDsPassword].width, '\0'));
  EXPECT_EQ(std::string(rows.begin(), rows.end()).find("secret"), std::string::npos);
}

TEST_F(StatusRowsTest, FailedRunCarriesTheDatabaseMessageCutAtACharacter) {
  curs& c = add_cursor("BROKEN");
  c.last_run_failed = 1;
  c.error_text = std::string(119, 'x') + "\xc3\xa9 and more";  // "é" would straddle the end
  curs& fine = add_cursor("FINE");
  fine.error_text = "an old message";  // of a run before the last, which succeeded
  const std::vector<char> rows = cursor_status_rows(defs_);
  EXPECT_EQ(cursor_value(rows, 0, kCsLastRunFailed), "1");
  EXPECT_EQ(cursor_value(rows, 0, kCsErrorText), std::string(119, 'x'));
  EXPECT_EQ(cursor_value(rows, 1, kCsLastRunFailed), "0");
  EXPECT_EQ(cursor_value(rows, 1, kCsErrorText), "");
}

TEST_F(StatusRowsTest, ThePercentCursorHasNoRecord) {
  add_cursor("FIRST");
  ASSERT_EQ(create_percent_cursor(defs_), 0);
  ASSERT_NE(defs_.percent_cursor, nullptr);
  const std::vector<char> rows = cursor_status_rows(defs_);
  ASSERT_EQ(rows.size(), kCursorStatusSize);
  EXPECT_EQ(cursor_value(rows, 0, kCsName), "FIRST");
}

// A run's seconds come from its start and end with their fractions when they
// belong to that run, and from the whole-second field otherwise.
TEST_F(StatusRowsTest, RunSecondsHaveTheirFractionWhereTheRecordAllows) {
  const struct {
    const char* name;
    std::time_t start;
    uint32_t start_us;
    std::time_t end;
    uint32_t end_us;
    int32_t elapsed;
    uint16_t failed;
    double seconds;
  } cases[] = {
      {"WithinASecond", 1796870000, 250000, 1796870000, 500000, 0, 0, 0.25},
      {"AcrossSeconds", 1796870000, 900000, 1796870002, 150000, 2, 0, 1.25},
      {"FailedLastRun", 1796870010, 0, 1796870000, 500000, 3, 1, 3},
      {"NeverStarted", 0, 0, 1796870000, 500000, 0, 0, 0},  // a virtual cursor
      {"EndOfAnEarlierRun", 1796870000, 0, 1796870100, 0, 0, 0, 0},
  };
  for (const auto& t : cases) {
    curs& c = add_cursor(t.name);
    c.last_start = t.start;
    c.last_start_us = t.start_us;
    c.end_time = t.end;
    c.end_time_us = t.end_us;
    c.elapsed = t.elapsed;
    c.last_run_failed = t.failed;
    EXPECT_NEAR(run_seconds(cursor_status_record(c)), t.seconds, 1e-6) << t.name;
  }
}

TEST_F(StatusRowsTest, NoRecordsGiveNoBytes) {
  EXPECT_TRUE(cursor_status_rows(defs_).empty());
  EXPECT_TRUE(distributor_status_rows(defs_).empty());
}

}  // namespace
}  // namespace qrx
