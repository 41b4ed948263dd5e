#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/trace.h"
#include "ctl/control_parse.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::FetchedRow;
using testing::Item;
using testing::cursor_text;
using testing::parse_cursors;
using testing::row_text;

constexpr const char* kTime = "20261210030000";

class StoredRowsTest : public ::testing::Test {
 protected:
  curs& make(const std::vector<std::string>& cols, const std::string& statements = "") {
    parse_cursors(cursor_text("C", cols, statements), defs_);
    return *defs_.find_cursor("C");
  }
  // One fetch: a new sample when `new_sample`, then the row merged.
  int feed(curs& c, const FetchedRow& row, bool new_sample = false) {
    if (new_sample || c.sample_no == 0) ++c.sample_no;
    return merge_text(c, row.view(), kTime);
  }
  static std::vector<std::string> column_values(const curs& c, int col) {
    std::vector<std::string> out;
    const columns& k = *c.cols[col];
    for (const row_data* r = c.stored.first(); r; r = r->next)
      out.emplace_back(r->data() + k.stored_offset, k.stored_length);
    return out;
  }
  Definitions defs_;  // the cursors under test
};

TEST_F(StoredRowsTest, LaysOutColumnsWithSpareBytesAndPadsValues) {
  testing::LogCapture log;
  curs& c = make({"NAME", "N^6"});
  FetchedRow row{{"NAME", "ab", 5}, {"N", "42", 6, true}};
  ASSERT_EQ(feed(c, row), 13);
  EXPECT_EQ(c.cols[0]->stored_offset, 0);
  EXPECT_EQ(c.cols[1]->stored_offset, 6);
  EXPECT_EQ(c.cols[1]->col_type, 2);
  EXPECT_EQ(c.cols[1]->output_length, 0);  // equal to the stored width
  EXPECT_EQ(row_text(c, c.stored.last()), std::string("ab   \0    42\0", 13));
  EXPECT_EQ(c.stored.last()->data()[13], '\0');
  EXPECT_EQ(c.stored.count(), 1);
  EXPECT_TRUE(c.layout_fixed);
}

TEST_F(StoredRowsTest, NullsAreShownByColumnKind) {
  testing::LogCapture log;
  curs& c = make({"S", "W", "N"});
  FetchedRow row{{"S", nullptr, 3}, {"W", nullptr, 6}, {"N", nullptr, 4, true}};
  ASSERT_GT(feed(c, row), 0);
  EXPECT_EQ(row_text(c, c.stored.last()), std::string("NUL\0NULL  \0   0\0", 16));
}

TEST_F(StoredRowsTest, ColumnsBindByOccurrence) {
  testing::LogCapture log;
  curs& c = make({"2X"});
  FetchedRow row{{"A", "first", 5}, {"B", "second", 6}};
  ASSERT_GT(feed(c, row), 0);
  EXPECT_EQ(column_values(c, 0), std::vector<std::string>{"second"});
}

TEST_F(StoredRowsTest, ValuesLongerThanTheFieldAreCut) {
  testing::LogCapture log;
  curs& c = make({"S"});
  FetchedRow row{{"S", "abcdefgh", 4}};
  ASSERT_GT(feed(c, row), 0);
  EXPECT_EQ(column_values(c, 0), std::vector<std::string>{"abcd"});
}

struct WaterCase {
  const char* word;
  std::vector<const char*> values;
  std::vector<std::string> shown;
};

TEST_F(StoredRowsTest, HighAndLowWaterKeepTheirMarks) {
  const WaterCase cases[] = {
      {"HW!V", {"5", "3", "7", "6"}, {"5", "5", "7", "7"}},
      {"LW!V", {"5", "3", "7", "3"}, {"5", "3", "3", "3"}},
  };
  for (const WaterCase& k : cases) {
    testing::LogCapture log;
    curs& c = make({k.word});
    for (const char* v : k.values) {
      FetchedRow row{{"V", v, 1}};
      ASSERT_GT(feed(c, row, true), 0);
    }
    EXPECT_EQ(column_values(c, 0), k.shown) << k.word;
    defs_.del_curs();
  }
}

TEST_F(StoredRowsTest, RowLimitDropsTheOldestRows) {
  testing::LogCapture log;
  curs& c = make({"V"}, "limit 3;");
  for (const char* v : {"1", "2", "3", "4", "5"}) {
    FetchedRow row{{"V", v, 1}};
    ASSERT_GT(feed(c, row), 0);
  }
  EXPECT_EQ(c.stored.count(), 3);
  EXPECT_EQ(column_values(c, 0), (std::vector<std::string>{"3", "4", "5"}));
  EXPECT_EQ(c.stored.first()->ordinal, 3);
  EXPECT_EQ(c.stored.last()->ordinal, 5);
}

TEST_F(StoredRowsTest, SamplesNumberRowsAndPruneOldSamples) {
  testing::LogCapture log;
  curs& c = make({"V"}, "samples 2;");
  for (int sample = 1; sample <= 3; ++sample) {
    FetchedRow a{{"V", "a", 1}}, b{{"V", "b", 1}};
    ASSERT_GT(feed(c, a, true), 0);
    ASSERT_GT(feed(c, b), 0);
  }
  EXPECT_EQ(c.stored.count(), 6);
  c.rows_changed = 0;
  delete_by_samples(c);
  EXPECT_EQ(c.stored.count(), 4);
  EXPECT_TRUE(c.rows_changed);
  std::vector<std::pair<int, int>> seen;
  for (const row_data* r = c.stored.first(); r; r = r->next) seen.emplace_back(r->sample, r->ordinal);
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{2, 1}, {2, 2}, {3, 1}, {3, 2}}));
  EXPECT_EQ(c.stored.last()->next, nullptr);
  FetchedRow more{{"V", "c", 1}};
  ASSERT_GT(feed(c, more), 0);  // the chain's tail survived the pruning
  EXPECT_EQ(c.stored.count(), 5);
}

TEST_F(StoredRowsTest, DeleteAllEmptiesTheChain) {
  testing::LogCapture log;
  curs& c = make({"V"}, "trace;");
  for (int i = 0; i < 3; ++i) {
    FetchedRow row{{"V", "x", 1}};
    ASSERT_GT(feed(c, row), 0);
  }
  delete_all(c);
  EXPECT_TRUE(c.stored.empty());
  EXPECT_EQ(c.stored.last(), nullptr);
  EXPECT_EQ(c.stored.count(), 0);
  EXPECT_TRUE(log.has("pdr3000", 't', "Deleting (3) rows for cursor C"));
  trace_something = 0;
}

struct BindFault {
  std::vector<std::string> cols;
  bool with_row;
  const char* id;
  const char* message;
  bool holds;
};

// Rows share blocks: dropping some (limit, samples, age, all) must leave
// every kept row's bytes as they were written, also where a block emptied by
// pruning is filled again and where the blocks have grown large.
TEST_F(StoredRowsTest, RowsKeepTheirBytesWhileOthersInTheirBlocksGo) {
  curs& c = make({"NAME"});
  c.limit = 3000;
  c.samples = 2;
  c.time_limit = 100;
  c.interval = 30;
  std::vector<std::string> expected;  // every row ever added, in order
  auto add = [&](int n) {
    const std::string text = "row " + std::to_string(n) + std::string(n % 200, 'x');
    expected.push_back(text);
    add_stored_row(c, text);
  };
  auto check = [&](const char* step) {
    ASSERT_EQ(c.stored.count() > 0, true) << step;
    std::size_t i = expected.size() - static_cast<std::size_t>(c.stored.count());
    for (const row_data* r = c.stored.first(); r; r = r->next, ++i)
      ASSERT_EQ(std::string(r->data()), expected[i]) << step << " row " << i;
  };
  int n = 0;
  for (int sample = 1; sample <= 6; ++sample) {
    c.sample_no = sample;
    for (int i = 0; i < 2500; ++i) add(n++);
    delete_by_samples(c);
    check("samples");
  }
  EXPECT_EQ(c.stored.count(), 3000);  // the row limit cut into the older sample
  delete_by_time(c);
  delete_by_time(c);
  check("aged");
  delete_all(c);
  for (int i = 0; i < 10; ++i) add(n++);  // refills the emptied block
  check("refilled");
  // An unlinked row that is given up leaves its block's other rows alone.
  row_data* spare = c.stored.allocate_here(8);
  row_chain::release(spare);
  add(n++);
  check("after a released row");
}

// Large results fill mapped blocks. Emptied ones serve the next run without
// new mappings; those no run takes by the second trim go back to the system.
TEST_F(StoredRowsTest, EmptiedLargeBlocksServeTheNextRunAndUnusedOnesGoAtTheSecondTrim) {
  trim_row_blocks();
  trim_row_blocks();
  ASSERT_EQ(pooled_row_block_bytes(), 0u);
  const std::string text(200, 'r');
  auto run = [](row_chain& chain, int rows, const std::string& value) {
    for (int i = 0; i < rows; ++i) {
      row_data* row = chain.allocate_here(value.size());
      std::memcpy(row->data(), value.c_str(), value.size() + 1);
      chain.append(row);
    }
  };
  row_chain chain;
  run(chain, 40000, text);  // about 9 MB: several mapped blocks
  const std::size_t mapped = mapped_row_block_bytes();
  ASSERT_GT(mapped, 0u);
  chain.clear();
  const std::size_t pooled = pooled_row_block_bytes();
  EXPECT_GT(pooled, 0u);
  EXPECT_EQ(mapped_row_block_bytes() + pooled, mapped);

  trim_row_blocks();  // the next collection: the emptied blocks stay for it
  EXPECT_EQ(pooled_row_block_bytes(), pooled);
  run(chain, 40000, std::string(200, 's'));
  EXPECT_EQ(pooled_row_block_bytes(), 0u) << "the run took every kept block";
  for (const row_data* r = chain.first(); r; r = r->next) ASSERT_EQ(std::string(r->data()), std::string(200, 's'));

  run(chain, 40000, text);  // a one-time larger result
  chain.clear();
  trim_row_blocks();
  EXPECT_GT(pooled_row_block_bytes(), 0u);
  trim_row_blocks();  // a collection that needed none of them
  EXPECT_EQ(pooled_row_block_bytes(), 0u);
}

TEST_F(StoredRowsTest, BindingFaultsAddNoRow) {
  const BindFault cases[] = {
      {{"NOPE"}, true, "cat1590", "No sqlda entry found for C.NOPE", false},
      {{"3X"}, true, "cat1580", "Occurance (3) exceeds sqlda limit (1), 3X", false},
      {{"V"}, false, "cat1585", "Name (V) not resolved in non_sql cursor C", true},
      {{"2V"}, false, "cat1575", "Cannot use n! addressing in NO_SQL cursor C", true},
      {{"%foo"}, true, "cat1560", "Un-identified percent variable %foo", true},
  };
  for (const BindFault& k : cases) {
    testing::LogCapture log;
    curs& c = make(k.cols);
    FetchedRow row{{"V", "x", 1}};
    EXPECT_EQ(merge_text(c, k.with_row ? row.view() : nullptr, kTime), 0) << k.id;
    EXPECT_TRUE(log.has(k.id, 'e', k.message)) << log.text();
    EXPECT_EQ(c.hold == 'Y', k.holds) << k.id;
    EXPECT_TRUE(c.stored.empty());
    EXPECT_FALSE(c.layout_fixed);
    defs_.del_curs();
  }
}

class QualifiedTest : public StoredRowsTest {
 protected:
  void SetUp() override {
    parse_cursors(cursor_text("SRC", {"COL"}) + cursor_text("C", {"SRC.COL", "V"}), defs_);
    src_ = defs_.find_cursor("SRC");
    c_ = defs_.find_cursor("C");
    columns& q = *c_->cols[0];
    q.source_cursor = src_;
    q.source_column = src_->cols[0].get();
  }
  testing::LogCapture log_;
  curs* src_ = nullptr;
  curs* c_ = nullptr;
};

TEST_F(QualifiedTest, TakesTheSourceCursorsLastRow) {
  FetchedRow s1{{"COL", "old", 4}}, s2{{"COL", "new", 4}};
  ASSERT_GT(feed(*src_, s1), 0);
  ASSERT_GT(feed(*src_, s2), 0);
  FetchedRow row{{"V", "v", 1}};
  ASSERT_EQ(feed(*c_, row), 7);
  EXPECT_EQ(row_text(*c_, c_->stored.last()), std::string("new \0v\0", 7));
}

TEST_F(QualifiedTest, SourceWithoutRowsHoldsTheCursor) {
  FetchedRow row{{"V", "v", 1}};
  EXPECT_EQ(feed(*c_, row), 0);
  EXPECT_TRUE(log_.has("cat1570", 'e', "Source cursor SRC has no last row, holding C"));
  EXPECT_EQ(c_->hold, 'Y');
}

TEST_F(QualifiedTest, SourceEmptiedLaterGivesNoRow) {
  FetchedRow s1{{"COL", "old", 4}};
  ASSERT_GT(feed(*src_, s1), 0);
  FetchedRow row{{"V", "v", 1}};
  ASSERT_GT(feed(*c_, row), 0);
  delete_all(*src_);
  EXPECT_EQ(feed(*c_, row), 0);
  EXPECT_TRUE(log_.has("cat1595", 'e', "No last row for cur SRC as used by C"));
  EXPECT_EQ(c_->stored.count(), 1);
}

}  // namespace
}  // namespace qrx
