#include "exec/agent_row.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "ctl/control_parse.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::FetchedRow;
using testing::cursor_text;
using testing::parse_cursors;

class AgentRowTest : public ::testing::Test {
 protected:
  // The agent row of cursor C (columns `cols`) holding `row`.
  std::string agent_row(const std::vector<std::string>& cols, const FetchedRow& row) {
    parse_cursors(cursor_text("C", cols), defs_);
    curs& c = *defs_.find_cursor("C");
    c.sample_no = 1;
    EXPECT_GT(merge_text(c, row.view(), "20261210030000"), 0);
    std::string out(get_row_size(c), '\0');
    make_row(c, out.data(), c.stored.last()->data());
    cursor_ = &c;
    return out;
  }
  static int32_t int_at(const std::string& row, std::size_t offset) {
    const auto* b = reinterpret_cast<const unsigned char*>(row.data() + offset);
    return static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
  }
  static int64_t int64_at(const std::string& row, std::size_t offset) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(row[offset + i]);
    return static_cast<int64_t>(v);
  }
  testing::LogCapture log_;
  curs* cursor_ = nullptr;
  Definitions defs_;  // the cursors under test
};

TEST_F(AgentRowTest, IntegerTextAndFloatAreAlignedTo4And8) {
  FetchedRow row{{"A", "7", 5, true}, {"B", "abc", 3}, {"C", "1.5", 6, true}};
  const std::string out = agent_row({"INT!A", "B^3", "FLOAT!C"}, row);
  ASSERT_EQ(out.size(), 16u);
  EXPECT_EQ(cursor_->cols[0]->output_offset, 0u);
  EXPECT_EQ(cursor_->cols[1]->output_offset, 4u);
  EXPECT_EQ(cursor_->cols[2]->output_offset, 8u);
  EXPECT_EQ(int_at(out, 0), 7);
  EXPECT_EQ(out.substr(4, 3), "abc");
  EXPECT_EQ(out[7], '\0');  // pad
  double f;
  std::memcpy(&f, out.data() + 8, 8);
  EXPECT_EQ(f, 1.5);
}

struct IntCase {
  const char* stored;
  int32_t sent;
};

TEST_F(AgentRowTest, IntegersSaturateAndBlankSendsZero) {
  const IntCase cases[] = {
      {"99999999999", 2147483647}, {"-99999999999", 2147483647}, {nullptr, 0},
      {"-42", -42},                {"2147483647", 2147483647},   {"12abc", 12},
  };
  for (const IntCase& k : cases) {
    // A NULL number is stored as "0" at the right; an empty value as blanks.
    FetchedRow row{{"A", k.stored ? k.stored : "", 12, true}};
    const std::string out = agent_row({"INT!A"}, row);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(int_at(out, 0), k.sent) << (k.stored ? k.stored : "blank");
    defs_.del_curs();
  }
}

struct Int64Case {
  const char* stored;
  int64_t sent;
};

TEST_F(AgentRowTest, Integer64ConvertsAndSaturates) {
  const Int64Case cases[] = {
      {"99999999999", 99999999999LL},
      {"-42", -42},
      {"99999999999999999999", INT64_MAX},
      {"", 0},
  };
  for (const Int64Case& k : cases) {
    FetchedRow row{{"X", "ab", 2}, {"A", k.stored, 21, true}};
    const std::string out = agent_row({"X^2", "INT64!A"}, row);
    ASSERT_EQ(out.size(), 12u);  // 2 text bytes, pad to 4, 8 bytes
    EXPECT_EQ(cursor_->cols[1]->output_offset, 4u);
    EXPECT_EQ(int64_at(out, 4), k.sent) << k.stored;
    defs_.del_curs();
  }
}

struct TextCase {
  const char* word;
  const char* stored;
  int width;
  bool numeric;
  std::string sent;
};

TEST_F(AgentRowTest, TextIsWidenedOrShortenedByItsOutputLength) {
  const TextCase cases[] = {
      {"A^5", "123", 10, true, "  123"},             // right-aligned number keeps its right end
      {"A^5", "abcdefghij", 10, false, "abcde"},     // character text keeps its left end
      {"A^6", "ab", 3, false, "ab    "},             // widened, left-aligned
      {"A^6", "12", 3, true, "    12"},              // widened number, right-aligned
      {"A", "ab", 4, false, "ab  "},                 // no output length: as stored
      {"A^4", "1234567", 7, true, "1234"},           // full-width number: first byte not blank
  };
  for (const TextCase& k : cases) {
    FetchedRow row{{"A", k.stored, k.width, k.numeric}};
    const std::string out = agent_row({k.word}, row);
    EXPECT_EQ(out, k.sent) << k.word << " " << k.stored;
    defs_.del_curs();
  }
}

TEST_F(AgentRowTest, TimestampsAreNormalised) {
  std::string normal;
  ASSERT_EQ(us_normalizeDateTime("20261210030405", normal), 0);
  FetchedRow row{{"T", "20261210030405", 14}, {"U", "20261210030405", 14}};
  const std::string out = agent_row({"TS!T", "TS!U^10"}, row);
  ASSERT_EQ(out.size(), 26u);
  EXPECT_EQ(out.substr(0, 16), normal);
  EXPECT_EQ(out.substr(16), normal.substr(0, 10));  // a narrow field gets what fits
}

TEST_F(AgentRowTest, NotSentColumnsLeaveNoTrace) {
  FetchedRow row{{"A", "abc", 3}, {"H", "hidden", 6}, {"B", "xy", 2}};
  const std::string out = agent_row({"A", "NS!H", "B"}, row);
  EXPECT_EQ(out, "abcxy");
  EXPECT_EQ(cursor_->cols[1]->output_offset, 0u);
}

TEST_F(AgentRowTest, FormatTableIsLoggedOncePerCursor) {
  FetchedRow row{{"A", "7", 3, true}};
  agent_row({"INT!A"}, row);
  curs& c = *cursor_;
  c.show_cursor = 1;
  std::string out(get_row_size(c), '\0');
  make_row(c, out.data(), c.stored.last()->data());
  make_row(c, out.data(), c.stored.last()->data());
  EXPECT_EQ(log_.count("dmk3725"), 1);
  EXPECT_TRUE(log_.has("dmk3730", 't', "#1 = A(0,4) Converted to integer :   7"));
}

}  // namespace
}  // namespace qrx
