#include "exec/dummy_rows.h"

#include <gtest/gtest.h>

#include <string>

#include "ctl/control_parse.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::FetchedRow;

class DummyRowsTest : public ::testing::Test {
 protected:
  curs& make(const std::vector<std::string>& cols) {
    testing::parse_cursors(testing::cursor_text("C", cols), defs_);
    return *defs_.find_cursor("C");
  }
  testing::LogCapture log_;
  Definitions defs_;  // the cursors under test
};

TEST_F(DummyRowsTest, SelectListLaysOutAndDummyRowFollows) {
  curs& c = make({"S", "T", "N", "COUNT!K"});
  FetchedRow described{{"S", "", 5}, {"T", "", 2}, {"N", "", 4, true}, {"K", "", 3}};
  ASSERT_EQ(setup_dummy(c, described.view()), 0);
  EXPECT_TRUE(c.layout_fixed);
  EXPECT_EQ(c.row_length, 6u + 3 + 5 + 22);
  c.sample_no = 4;
  build_dummy_last_row(c);
  build_dummy_last_row(c);
  ASSERT_EQ(c.stored.count(), 2);
  EXPECT_EQ(testing::row_text(c, c.stored.last()),
            "N/A   N/    0 " + std::string(20, ' ') + "0 ");
  EXPECT_EQ(c.stored.last()->sample, 4);
  EXPECT_EQ(c.stored.last()->ordinal, 2);
  EXPECT_EQ(c.stored.last()->data_length, c.row_length);
}

TEST_F(DummyRowsTest, LaterFetchedRowsUseTheSameLayout) {
  curs& c = make({"S", "N"});
  FetchedRow described{{"S", "", 3}, {"N", "", 4, true}};
  setup_dummy(c, described.view());
  c.sample_no = 1;
  build_dummy_last_row(c);
  FetchedRow row{{"S", "ab", 3}, {"N", "7", 4, true}};
  ASSERT_EQ(merge_text(c, row.view(), "20261210030000"), 9);
  EXPECT_EQ(testing::row_text(c, c.stored.last()), std::string("ab \0   7\0", 9));
}

TEST_F(DummyRowsTest, UnresolvedNamesAreReported) {
  const struct {
    std::vector<std::string> cols;
    bool with_items;
    const char* id;
    const char* message;
    bool holds;
  } cases[] = {
      {{"X"}, false, "cdu4530", "Name (X) not resolved in non_sql cursor C", true},
      {{"NOPE"}, true, "cdu4535", "No sqlda entry found for C.NOPE (1)", false},
      {{"4X"}, true, "cdu4525", "Occurance (4) exceeds sqlda limit (1)", false},
      {{"%foo"}, true, "pdu4520", "Un-identified percent variable %foo", true},
  };
  for (const auto& k : cases) {
    curs& c = make(k.cols);
    FetchedRow described{{"S", "", 3}};
    setup_dummy(c, k.with_items ? described.view() : nullptr);
    EXPECT_TRUE(log_.has(k.id, 'e', k.message)) << k.id;
    EXPECT_EQ(c.hold == 'Y', k.holds) << k.id;
    EXPECT_FALSE(c.layout_fixed);
    defs_.del_curs();
  }
}

TEST_F(DummyRowsTest, NoLayoutMeansNoDummyRow) {
  curs& c = make({"S"});
  EXPECT_EQ(build_dummy_last_row(c), 0);
  EXPECT_TRUE(c.stored.empty());
  EXPECT_TRUE(log_.has("cdu4516", 'w', "No row layout for the dummy last row of cursor C"));
}

}  // namespace
}  // namespace qrx
