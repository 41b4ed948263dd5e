#include "exec/clusters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl/control_parse.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::FetchedRow;

class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::parse_cursors(testing::cursor_text("C", {"V"}, statements()), defs_);
    c_ = defs_.find_cursor("C");
  }
  void TearDown() override {
    EXPECT_EQ(defs_.clusters.size(), 0u);
  }
  virtual std::string statements() const { return ""; }
  void add(const char* value, bool new_sample = false) {
    if (new_sample || c_->sample_no == 0) ++c_->sample_no;
    FetchedRow row{{"V", value, 2}};
    ASSERT_GT(merge_text(*c_, row.view(), "20261210030000"), 0);
  }
  // Every row the cluster yields, then the final code.
  std::vector<std::string> drain(cluster* cl) {
    std::vector<std::string> seen;
    while (fetch_cur(*c_, cl) == 0) seen.emplace_back(cl->current_row(), cl->row_size);
    return seen;
  }
  testing::LogCapture log_;
  curs* c_ = nullptr;
  Definitions defs_;  // the cursors under test
};

TEST_F(ClusterTest, FetchGivesThreeRowsThenEnd) {
  add("a");
  add("b");
  add("c");
  cluster* cl = open_cursor(*c_);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(cl->count, 3);
  EXPECT_EQ(cl->row_size, 2);
  std::vector<int> codes;
  for (int i = 0; i < 5; ++i) codes.push_back(fetch_cur(*c_, cl));
  EXPECT_EQ(codes, (std::vector<int>{0, 0, 0, 100, 100}));
  close_cur(*c_, cl);
}

TEST_F(ClusterTest, RowsAreCopiesThatSurviveLaterRuns) {
  add("a");
  add("b");
  cluster* cl = open_cursor(*c_);
  ASSERT_NE(cl, nullptr);
  delete_all(*c_);
  add("z");
  EXPECT_EQ(drain(cl), (std::vector<std::string>{"a ", "b "}));
  close_cur(*c_, cl);
}

TEST_F(ClusterTest, CursorWithoutRowsOrHeldGivesNoCluster) {
  EXPECT_EQ(open_cursor(*c_), nullptr);
  add("a");
  c_->hold = 'Y';
  EXPECT_EQ(open_cursor(*c_), nullptr);
}

TEST_F(ClusterTest, UnregisteredClustersAreLeftAlone) {
  add("a");
  cluster* cl = open_cursor(*c_);
  ASSERT_NE(cl, nullptr);
  cluster stranger;
  stranger.count = 1;
  stranger.end = 4;
  EXPECT_EQ(fetch_cur(*c_, &stranger), 100);
  EXPECT_EQ(fetch_cur(*c_, nullptr), 100);
  EXPECT_EQ(close_cur(*c_, &stranger), 0);
  EXPECT_EQ(defs_.clusters.size(), 1u);
  EXPECT_EQ(close_cur(*c_, cl), 0);
  EXPECT_EQ(fetch_cur(*c_, cl), 100);  // closed: no longer registered
}

TEST_F(ClusterTest, EachSetOwnsTheClustersOfItsCursors) {
  add("a");
  Definitions other;
  testing::parse_cursors(testing::cursor_text("C", {"V"}, ""), other);
  curs& stranger = *other.find_cursor("C");
  cluster* cl = open_cursor(*c_);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(fetch_cur(stranger, cl), 100);  // not registered with the other set
  EXPECT_EQ(close_cur(stranger, cl), 0);
  EXPECT_TRUE(other.clusters.empty());
  EXPECT_EQ(defs_.clusters.size(), 1u);
  EXPECT_EQ(drain(cl), (std::vector<std::string>{"a "}));
  close_cur(*c_, cl);
}

class SampledClusterTest : public ClusterTest {
 protected:
  std::string statements() const override { return "samples 3;"; }
};

TEST_F(SampledClusterTest, OnlyTheCurrentSampleIsSent) {
  add("a", true);
  add("b", true);
  add("c");
  cluster* cl = open_cursor(*c_);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(drain(cl), (std::vector<std::string>{"b ", "c "}));
  close_cur(*c_, cl);
}

TEST_F(SampledClusterTest, EmptyClusterEndsAtOnce) {
  add("a");
  ++c_->sample_no;  // a run that fetched nothing
  cluster* cl = open_cursor(*c_);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(cl->count, 0);
  EXPECT_EQ(fetch_cur(*c_, cl), 100);
  close_cur(*c_, cl);
}

}  // namespace
}  // namespace qrx
