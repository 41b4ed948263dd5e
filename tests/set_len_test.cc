#include "exec/set_len.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl/control_parse.h"
#include "exec/percent_cursor.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

class SetLenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::parse_cursors(testing::cursor_text("C", {"A", "B"}), defs_);
    c_ = defs_.find_cursor("C");
  }
  testing::LogCapture log_;
  curs* c_ = nullptr;
  const std::vector<std::string> names_{"A", "B"};
  Definitions defs_;  // the cursors under test
};

TEST_F(SetLenTest, OverridesTheNamedItemsLengths) {
  c_->set_lens = {{"B", 10}};
  ASSERT_EQ(init_set_len(*c_, names_), 0);
  EXPECT_TRUE(c_->set_lens_resolved);
  std::vector<int> lengths{30, 384};
  set_the_lengths(*c_, lengths);
  EXPECT_EQ(lengths, (std::vector<int>{30, 10}));
}

TEST_F(SetLenTest, UnknownNameHoldsTheCursor) {
  c_->set_lens = {{"A", 4}, {"NOPE", 4}};
  EXPECT_EQ(init_set_len(*c_, names_), 1);
  EXPECT_TRUE(log_.has("pcl4570", 'e', "For cursor C the set_len name (NOPE) not_found"));
  EXPECT_TRUE(log_.has("pcl4575", 'w', "Holding cursor"));
  EXPECT_EQ(c_->hold, 'Y');
  EXPECT_FALSE(c_->set_lens_resolved);
  std::vector<int> lengths{30, 384};
  set_the_lengths(*c_, lengths);
  EXPECT_EQ(lengths, (std::vector<int>{4, 384}));
}

}  // namespace
}  // namespace qrx
