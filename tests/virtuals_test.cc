#include "exec/virtuals.h"

#include <gtest/gtest.h>

#include <string>

#include "ctl/control_parse.h"
#include "exec/clusters.h"
#include "exec/percent_cursor.h"
#include "qrx/dict.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

class VirtualsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(parse_dict_text(defs_, "name SERVER;\ntype char(6);\ninitial 'AB';\n"
                              "name MAXROWS;\ntype integer;\ninitial 500;\n"
                              "name SQLRC;\ntype char(8);\n"
                              "end;\n"),
              0);
  }
  curs& make(const std::string& name, const std::vector<std::string>& cols) {
    testing::parse_cursors(testing::cursor_text(name, cols, "virtual;"), defs_);
    return *defs_.find_cursor(name);
  }
  Definitions defs_;
  testing::LogCapture log_;
};

TEST_F(VirtualsTest, BuildsOneRowFromDictionaryElements) {
  curs& c = make("V", {"SERVER", "MAXROWS"});
  ASSERT_EQ(init_virtuals(defs_), 0);
  EXPECT_TRUE(c.demand);
  ASSERT_EQ(c.stored.count(), 1);
  const row_data& row = *c.stored.first();
  EXPECT_EQ(row.sample, 1);
  EXPECT_EQ(row.ordinal, 1);
  EXPECT_EQ(row.data_length, 29u);
  EXPECT_EQ(c.row_length, 29u);
  EXPECT_EQ(c.cols[1]->stored_offset, 7);
  EXPECT_EQ(c.cols[1]->col_type, 2);
  EXPECT_EQ(c.cols[0]->col_type, 1);
  EXPECT_EQ(std::string(row.data(), 29), std::string("    AB\0", 7) +
                                             std::string(18, ' ') + "500" + std::string(1, '\0'));
  EXPECT_EQ(c.cols[0]->value, row.data());
  cluster* cl = open_cursor(c);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(fetch_cur(c, cl), 0);
  EXPECT_EQ(std::string(cl->current_row(), 6), "    AB");
  close_cur(c, cl);
}

TEST_F(VirtualsTest, ColumnWithoutElementFails) {
  make("V", {"SERVER", "NOSUCH"});
  EXPECT_EQ(init_virtuals(defs_), 1);
  EXPECT_TRUE(log_.has("pvt2185", 'e', "Host var not matched: V.NOSUCH (2)"));
}

TEST_F(VirtualsTest, ServerStatusShowsBadCodesOnly) {
  curs& c = make("SERVSTAT", {"SQLRC"});
  ASSERT_EQ(init_virtuals(defs_), 0);
  const char* field = c.stored.first()->data();
  const struct {
    int code;
    const char* shown;
  } cases[] = {{-1017, "-1017   "}, {0, "        "}, {100, "        "}, {1403, "        "},
               {28002, "28002   "}};
  for (const auto& k : cases) {
    set_status(defs_, k.code);
    EXPECT_EQ(std::string(field, 8), k.shown) << k.code;
  }
}

TEST_F(VirtualsTest, ShortServerStatusIsNotUsed) {
  ASSERT_EQ(parse_dict_text(defs_, "name SQLRC;\ntype char(4);\nend;\n"), 0);
  make("SERVSTAT", {"SQLRC"});
  ASSERT_EQ(init_virtuals(defs_), 0);
  EXPECT_TRUE(log_.has("pvt2190", 'w', "SQLRC in SERVSTAT is too short at 4 (at least 6)"));
  EXPECT_TRUE(servstatus_field(defs_).empty());
  EXPECT_EQ(set_status(defs_, -1), 0);
}

}  // namespace
}  // namespace qrx
