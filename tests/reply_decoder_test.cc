// Reading replies back: agent rows through the layout rebuilt from a cursor's
// definition, status records, and the three output forms.
#include "agent/reply_decoder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "agent/status_records.h"
#include "base/little_endian.h"
#include "base/relative_time.h"
#include "ctl/control_parse.h"
#include "exec/agent_row.h"
#include "exec/percent_cursor.h"
#include "exec/virtuals.h"
#include "qrx/curs.h"
#include "qrx/dict.h"
#include "qrx/distributor.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::cursor_text;
using testing::parse_cursors;

// Agent rows written byte by byte at the offsets the layout rules give.
class AgentRowBytes {
 public:
  explicit AgentRowBytes(std::size_t lenrow) : lenrow_(lenrow) {}
  AgentRowBytes& row() {
    bytes_.resize(bytes_.size() + lenrow_, '\0');
    return *this;
  }
  template <typename T>
  AgentRowBytes& number(std::size_t offset, T value) {
    using U = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    put_le_bytes(bytes_.data() + base() + offset, std::bit_cast<U>(value), sizeof(T));
    return *this;
  }
  AgentRowBytes& text(std::size_t offset, const std::string& value) {
    std::memcpy(bytes_.data() + base() + offset, value.data(), value.size());
    return *this;
  }
  const std::vector<char>& bytes() const { return bytes_; }

 private:
  std::size_t base() const { return bytes_.size() - lenrow_; }
  std::size_t lenrow_;
  std::vector<char> bytes_;
};

class ReplyDecoderTest : public ::testing::Test {
 protected:
  // Parses one cursor DEC with `cols` and returns it.
  const curs& define(const std::vector<std::string>& cols, const std::string& extra = "") {
    parse_cursors(cursor_text("DEC", cols, extra), defs_);
    return *defs_.find_cursor("DEC");
  }
  Definitions defs_;
};

// sid INT at 0, name^6 at 4, ratio FLOAT padded to 16, big INT64 at 24,
// at TS at 32 (16 wide), hidden not sent, state text of unknown width at 48.
const std::vector<std::string> kMixed = {"INT!sid", "name^6", "FLOAT!ratio", "INT64!big",
                                         "TS!at", "NS!hidden", "state"};

std::vector<char> mixed_rows() {
  AgentRowBytes rows(51);
  rows.row().number(0, int32_t{7}).text(4, "alpha ").number(16, 0.25)
      .number(24, std::numeric_limits<int64_t>::max()).text(32, "2026121004300000")
      .text(48, "O_K");
  rows.row().number(0, int32_t{-1}).text(4, "b,\"c\" ").number(16, -1.5e100)
      .number(24, int64_t{-2}).text(32, "1990010101010100").text(48, "  9");
  return rows.bytes();
}

TEST_F(ReplyDecoderTest, LayoutFollowsTheRowSizeRulesAndSolvesTheOneUnknownWidth) {
  const AgentLayout layout = agent_layout(defs_, define(kMixed), 51);
  ASSERT_EQ(layout.problem, "");
  const struct {
    const char* name;
    uint16_t conversion;
    uint32_t offset, width;
  } expected[] = {
      {"sid", kSendInt, 0, 4},       {"name", kSendText, 4, 6},  {"ratio", kSendFloat, 16, 8},
      {"big", kSendInt64, 24, 8},    {"at", kSendTimestamp, 32, 16}, {"state", kSendText, 48, 3},
  };
  ASSERT_EQ(layout.columns.size(), std::size(expected));
  for (std::size_t i = 0; i < layout.columns.size(); ++i) {
    EXPECT_EQ(layout.columns[i].name, expected[i].name);
    EXPECT_EQ(layout.columns[i].conversion, expected[i].conversion) << expected[i].name;
    EXPECT_EQ(layout.columns[i].offset, expected[i].offset) << expected[i].name;
    EXPECT_EQ(layout.columns[i].width, expected[i].width) << expected[i].name;
  }
}

TEST_F(ReplyDecoderTest, RowsDecodeIntoTableCsvAndJson) {
  const AgentLayout layout = agent_layout(defs_, define(kMixed), 51);
  const ProbeTable table = decode_agent_rows("DEC", layout, mixed_rows(), 2, 51);
  EXPECT_EQ(render_table(table, OutputFormat::kTable),
            "DEC rows=2 length=51\n"
            "sid  name       ratio                  big  at                state\n"
            "  7  alpha       0.25  9223372036854775807  2026121004300000  O_K\n"
            " -1  b,\"c\"  -1.5e+100                   -2  1990010101010100  9\n");
  EXPECT_EQ(render_table(table, OutputFormat::kCsv),
            "sid,name,ratio,big,at,state\n"
            "7,alpha,0.25,9223372036854775807,2026121004300000,O_K\n"
            "-1,\"b,\"\"c\"\"\",-1.5e+100,-2,1990010101010100,9\n");
  EXPECT_EQ(render_table(table, OutputFormat::kJson),
            "{\"cursor\":\"DEC\",\"rows\":["
            "{\"sid\":7,\"name\":\"alpha\",\"ratio\":0.25,\"big\":9223372036854775807,"
            "\"at\":\"2026121004300000\",\"state\":\"O_K\"},"
            "{\"sid\":-1,\"name\":\"b,\\\"c\\\"\",\"ratio\":-1.5e+100,\"big\":-2,"
            "\"at\":\"1990010101010100\",\"state\":\"9\"}]}\n");
}

TEST_F(ReplyDecoderTest, ValuesJsonCannotHoldAreQuotedAndControlBytesEscaped) {
  const AgentLayout layout = agent_layout(defs_, define({"FLOAT!ratio", "note^2"}), 10);
  ASSERT_EQ(layout.problem, "");
  AgentRowBytes rows(10);
  rows.row().number(0, std::numeric_limits<double>::quiet_NaN()).text(8, "\x01x");
  const ProbeTable table = decode_agent_rows("DEC", layout, rows.bytes(), 1, 10);
  EXPECT_EQ(render_table(table, OutputFormat::kJson),
            "{\"cursor\":\"DEC\",\"rows\":[{\"ratio\":\"nan\",\"note\":\".x\"}]}\n");
}

TEST_F(ReplyDecoderTest, StaleRowsSayWhenTheLastSuccessfulRunEndedInJsonOnly) {
  ProbeTable table{"DEC", "DEC rows=1 length=2", {{"n", true}}, {{"1"}}};
  table.stale_since = "2026/12/10 04:30:00";
  EXPECT_EQ(render_table(table, OutputFormat::kJson),
            "{\"cursor\":\"DEC\",\"rows\":[{\"n\":1}],\"stale\":true,"
            "\"last_success\":\"2026/12/10 04:30:00\"}\n");
  EXPECT_EQ(render_table(table, OutputFormat::kCsv), "n\n1\n");
}

TEST_F(ReplyDecoderTest, AnUnknownWidthBeforeAnAlignedColumnTakesThePadBytes) {
  // The text ends somewhere in 1..4 before the float at 8; the pad bytes are zero.
  const AgentLayout layout = agent_layout(defs_, define({"INT!n", "code", "FLOAT!f"}), 16);
  ASSERT_EQ(layout.problem, "");
  EXPECT_EQ(layout.columns[1].width, 4u);
  AgentRowBytes rows(16);
  rows.row().number(0, int32_t{3}).text(4, "ab").number(8, 2.0);
  EXPECT_EQ(render_table(decode_agent_rows("DEC", layout, rows.bytes(), 1, 16), OutputFormat::kCsv),
            "n,code,f\n3,ab,2\n");
}

TEST_F(ReplyDecoderTest, LayoutsThatCannotBeKnownSayWhy) {
  EXPECT_EQ(agent_layout(defs_, define({"INT!n", "a", "b"}), 20).problem,
            "the widths of 2 text columns of DEC are not known");
  defs_.del_curs();
  EXPECT_EQ(agent_layout(defs_, define({"INT!n", "a^3"}), 8).problem,
            "row length 8 does not match the columns of DEC");
  defs_.del_curs();
  EXPECT_EQ(agent_layout(defs_, define({"INT!n", "a"}), 2).problem,
            "row length 2 does not match the columns of DEC");
}

TEST_F(ReplyDecoderTest, VirtualCursorWidthsComeFromTheDictionary) {
  ASSERT_EQ(parse_dict_text(defs_, "name CPU;\ntype integer;\ninitial 0;\n"
                            "name HOST;\ntype char(8);\ninitial abc;\nend;\n"),
            0);
  parse_cursors(cursor_text("VIRT", {"CPU", "HOST"}, "virtual;"), defs_);
  ASSERT_EQ(init_virtuals(defs_), 0);
  // The row the collector would send for the cursor, decoded from its definition alone.
  curs& c = *defs_.find_cursor("VIRT");
  const uint32_t size = get_row_size(c);
  std::vector<char> row(size, '\0');
  make_row(c, row.data(), c.stored.last()->data());
  const AgentLayout layout = agent_layout(defs_, c, size);
  ASSERT_EQ(layout.problem, "");
  EXPECT_EQ(layout.columns[1].offset, 21u);
  EXPECT_EQ(render_table(decode_agent_rows("VIRT", layout, row, 1, size), OutputFormat::kCsv),
            "CPU,HOST\n0,abc\n");
}

TEST_F(ReplyDecoderTest, PrintableRowsKeepEveryReplyReadable) {
  const std::vector<char> data = {'a', '\0', 'b', 'c', 'd', '\x7f'};
  EXPECT_EQ(render_table(printable_rows("X", data, 2, 3), OutputFormat::kCsv), "row\na.b\ncd.\n");
  // A reply shorter than its row count claims gives only the whole rows it holds.
  EXPECT_EQ(render_table(printable_rows("X", data, 5, 3), OutputFormat::kJson),
            "{\"cursor\":\"X\",\"rows\":[{\"row\":\"a.b\"},{\"row\":\"cd.\"}]}\n");
}

// Seconds since 1970 of a local date and time.
std::time_t local_epoch(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST_F(ReplyDecoderTest, StatusRecordsDecodeIntoTablesWithLocalTimes) {
  curs c;
  c.name = "SESSIONS";
  c.hold = 'Y';
  c.interval = 300;
  c.last_time = "20261210043000";
  c.rows = 12;
  c.result_code = 1403;
  c.status = "        00001403";
  c.elapsed = 2;
  c.end_time = local_epoch(2026, 12, 10, 4, 30, 2);
  c.window_open = relative_sec("20261210000000");
  c.window_close = relative_sec("20261211000000");
  std::vector<char> cursors = cursor_status_record(c);
  c.name = "LOCKS";
  c.hold = 0;
  c.result_code = -942;
  c.end_time = 0;  // never succeeded: no time shown
  c.window_open = c.window_close = 0;
  const std::vector<char> second = cursor_status_record(c);
  cursors.insert(cursors.end(), second.begin(), second.end());
  ProbeTable table;
  ASSERT_TRUE(status_table("C-STATUS", cursors, 2, kCursorStatusSize, table));
  EXPECT_EQ(render_table(table, OutputFormat::kTable),
            "C-STATUS rows=2 length=456\n"
            "name      hold  demand  interval  last_time            rows  stored_rows  result_code"
            "  status    elapsed  end_time             window_open          window_close\n"
            "SESSIONS  Y          0       300  2026/12/10 04:30:00    12            0         1403"
            "  00001403        2  2026/12/10 04:30:02  2026/12/10 00:00:00  2026/12/11 00:00:00\n"
            "LOCKS                0       300  2026/12/10 04:30:00    12            0         -942"
            "  00001403        2\n");

  distributor d;
  d.distrib_name = "collector";
  d.type = 2;
  d.interval = 60;
  d.password = "secret";
  d.status = "GOOD";
  d.last_run = "20261210043000";
  d.window_start = relative_sec("20261210080000");
  d.window_end = relative_sec("20261210170000");
  d.next_time = relative_sec("20261210043100");
  ASSERT_TRUE(status_table("D-STATUS", distributor_status_record(d), 1, kDistributorStatusSize,
                           table));
  EXPECT_EQ(render_table(table, OutputFormat::kCsv),
            "distrib_name,type,interval,hold,state,window_start,window_end,next_time,last_run,"
            "status\n"
            "collector,sql*net,60,,1,2026/12/10 08:00:00,2026/12/10 17:00:00,2026/12/10 04:31:00,"
            "2026/12/10 04:30:00,GOOD\n");
  EXPECT_FALSE(status_table("D-STATUS", cursors, 1, 10, table));
  EXPECT_FALSE(status_table("SESSIONS", cursors, 1, kCursorStatusSize, table));
}

}  // namespace
}  // namespace qrx
