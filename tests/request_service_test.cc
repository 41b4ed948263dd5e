// Request servicing inside one process: rows written column by column into
// the log, the cursor description, the refresh of on-demand cursors and the
// channel wait that lets the scheduler's sleeps end when a request arrives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "agent/comm_entry.h"
#include "agent/nrqs.h"
#include "agent/request_record.h"
#include "agent/request_service.h"
#include "agent/share_memory.h"
#include "base/clock.h"
#include "base/relative_time.h"
#include "base/trace.h"
#include "exec/clusters.h"
#include "exec/demand_refresh.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"
#include "support/channel_fixture.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

columns& add_column(curs& c, const char* name, uint16_t send, uint32_t offset,
                    int16_t stored_length = 0, uint16_t col_type = kColCharacter) {
  auto col = std::make_unique<columns>();
  col->name = name;
  col->send_conversion = send;
  col->output_offset = offset;
  col->stored_length = stored_length;
  col->col_type = col_type;
  col->data_type = 1;
  c.cols.push_back(std::move(col));
  return *c.cols.back();
}

TEST(SendARowTest, EachColumnIsPrintedBySendTypeAfterTheInsertTextOfANewCursor) {
  cursor_set set;
  curs& c = set.add(std::make_unique<curs>());
  testing::LogCapture log;
  c.name = "ROWS";
  c.insert = "INSERT INTO t (count, ratio, hidden, label, blank) VALUES (?,?,?,?,?)";
  add_column(c, "count", kSendInt, 0);
  add_column(c, "ratio", kSendFloat, 4);
  add_column(c, "hidden", kSendNone, 12);
  add_column(c, "label", kSendText, 12, 6);
  add_column(c, "blank", kSendText, 18, 3);
  char row[21];
  const int32_t count = 42;
  const double ratio = 1.5;
  std::memcpy(row, &count, 4);
  std::memcpy(row + 4, &ratio, 8);
  std::memcpy(row + 12, "abc      ", 9);

  send_a_row(c, row);
  send_a_row(c, row);
  EXPECT_EQ(log.count("cpr1890"), 1);  // the INSERT text only before the first row
  EXPECT_TRUE(log.has("cpr1890", 'i', c.insert));
  const char* expected[] = {
      "#=1,n=count,l=2,o=0,ll=4:42",       "#=2,n=ratio,l=8,o=4,ll=8:1.500000",
      "#=3,n=hidden,l=3,o=12,ll=0:ZIP",    "#=4,n=label,l=3,o=12,ll=6:abc",
      "#=5,n=blank,l=1,o=18,ll=3: ",  // an all-blank value keeps one character
  };
  for (const char* line : expected) EXPECT_TRUE(log.has("cpr1895", 'i', line)) << line;

  curs& other = set.add(std::make_unique<curs>());
  other.name = "OTHER";
  other.insert = "INSERT INTO u (n) VALUES (?)";
  send_a_row(other, row);
  send_a_row(c, row);
  EXPECT_EQ(log.count("cpr1890"), 3) << log.text();
}

TEST(ShoCurTest, ColumnsAreDescribedWithTheirHostColumnAndSendForm) {
  testing::LogCapture log;
  curs c;
  c.name = "DESC";
  c.insert_table = "t";
  c.show_cursor = 1;
  c.host_cols = {{"h_count"}, {"h_name"}, {"h_size"}};
  add_column(c, "count", kSendInt, 0, 21, kColNumeric).data_type = 2;
  add_column(c, "name", kSendText, 0, 30).db_length = 30;
  add_column(c, "size", kSendText, 0, 21, kColNumeric).data_type = 2;
  add_column(c, "gone", kSendNone, 0, 8).data_type = 12;
  sho_cur(c);
  EXPECT_EQ(c.show_cursor, 0);
  EXPECT_TRUE(log.has("csc1900", 't', "Curs= DESC , host table= t"));
  const char* expected[] = {
      "#1 Host=h_count (21,0), Orig=count, Orig-t=Number, send_t=Integer, len=4",
      "#2 Host=h_name (30,30), Orig=name, Orig-t=Char, send_t=Char, len=30",
      "#3 Host=h_size (21,0), Orig=size, Orig-t=Number, send_t=Right alligned, len=21",
      "#4 Host= (8,0), Orig=gone, Orig-t=Date, send_t=NO-SEND, len=0",
  };
  for (const char* line : expected) EXPECT_TRUE(log.has("csc1920", 't', line)) << line;
}

class PrepDemandTest : public ::testing::Test {
 protected:
  // A virtual on-demand cursor holding one stored row, so that refreshing it
  // needs no database.
  curs& make(int32_t refresh) {
    c_.name = "DEMAND";
    c_.demand = 1;
    c_.is_virtual = 1;
    c_.stale = refresh;
    add_column(c_, "word", kSendText, 0, 5).stored_offset = 0;
    add_stored_row(c_, "hello");
    return c_;
  }
  testing::LogCapture log_;
  testing::FixedClock clock_{1767603600};
  Definitions defs_;  // the cursors under test
  curs& c_ = defs_.add(std::make_unique<curs>());
};

TEST_F(PrepDemandTest, RefreshPeriodZeroDeletesTheRowsOnceTheClusterHoldsThem) {
  curs& c = make(0);
  cluster* cl = prep_demand(c);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(cl->count, 1);
  EXPECT_EQ(std::string(cl->rows(), 5), "hello");
  EXPECT_TRUE(c.stored.empty());
  EXPECT_EQ(c.stale_time, relative_now(clock_.now()));  // stale again at once
  close_cur(c, cl);
}

TEST_F(PrepDemandTest, RowsStayFreshForTheRefreshPeriod) {
  curs& c = make(60);
  cluster* cl = prep_demand(c);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(c.stored.count(), 1);
  EXPECT_EQ(c.stale_time, relative_now(clock_.now()) + 60);
  close_cur(c, cl);
}

TEST_F(PrepDemandTest, HeldSkippedOrIntervalCursorsAreNotRefreshed) {
  struct Case {
    const char* what;
    void (*change)(curs&, cursor_set&);
  } cases[] = {
      {"held", [](curs& c, cursor_set&) { c.hold = 'Y'; }},
      {"skip mark", [](curs& c, cursor_set&) { c.skip = 1; }},
      {"not on demand", [](curs& c, cursor_set&) { c.demand = 0; }},
      {"percent cursor",
       [](curs& c, cursor_set& set) {
         c.owning_set = &set;
         set.percent_cursor = &c;
       }},
  };
  curs* const saved_percent = defs_.percent_cursor;
  for (const Case& k : cases) {
    curs c;
    c.demand = 1;
    c.stale_time = 7;
    k.change(c, defs_);
    EXPECT_EQ(prep_demand(c), nullptr) << k.what;
    EXPECT_EQ(c.stale_time, 7) << k.what;
    defs_.percent_cursor = saved_percent;
  }
  EXPECT_TRUE(defs_.clusters.empty());
}

// The collector's anchor waits for a request without taking it.
class RequestWaitTest : public test::ChannelTest {
 protected:
  void TearDown() override {
    if (anchor_) qrxcomm("term", anchor_);
    ipc_ptr = nullptr;
    qrxcomm("shut");
    ChannelTest::TearDown();
  }
  void open_collector(const char* use_shm) {
    env_vars.use_shm = use_shm;
    qrxcomm("initsm");
    anchor_ = qrxcomm("initc").anchor;
    ASSERT_NE(anchor_, nullptr);
  }
  void post_request(const char* name) {
    if (!channel_uses_pipes()) {
      std::string unique;
      ASSERT_EQ(g_pCommObjectRequest->SendRequest(name, {"p1"}, unique, nullptr, 1), 0);
      return;
    }
    const std::vector<char> record = build_data_request(name, dir_ + "/prb_test_pipe", {"p1"});
    const int fd = ::open(collector_pipe_path().c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, record.data(), record.size()), static_cast<ssize_t>(record.size()));
    ::close(fd);
  }
  CommAnchor* anchor_ = nullptr;
};

TEST_F(RequestWaitTest, PostedRequestEndsTheWaitAndStaysForTheNextGet) {
  for (const char* use_shm : {"1", "0"}) {
    SCOPED_TRACE(use_shm);
    open_collector(use_shm);
    EXPECT_EQ(wait_for_request(anchor_, 0), 0);
    post_request("CURS1");
    EXPECT_EQ(wait_for_request(anchor_, 20000), 1);
    EXPECT_EQ(wait_for_request(anchor_, 20000), 1);  // still there: waiting took nothing
    std::vector<CursList>* blocks = qrxcomm("get", anchor_).blocks;
    ASSERT_NE(blocks, nullptr) << anchor_->error_text;
    EXPECT_EQ(blocks->front().name, "CURS1");
    anchor_->blocks.clear();
    EXPECT_EQ(wait_for_request(anchor_, 0), 0);
    qrxcomm("term", anchor_);
    anchor_ = nullptr;
    qrxcomm("shut");
  }
}

TEST_F(RequestWaitTest, SchedulerSleepEndsWhenARequestIsWaitingAndServingMayStart) {
  open_collector("1");
  ipc_ptr = anchor_;
  post_request("CURS1");
  // Bounded by the sleep of 30 seconds should the request go unnoticed.
  wait_for_request_or_sleep(30, relative_now(std::time(nullptr)));
  EXPECT_EQ(wait_for_request(anchor_, 0), 1);
  EXPECT_EQ(clock_.slept, 0u);  // not a plain sleep either
}

TEST_F(RequestWaitTest, WithoutAChannelTheSleepIsTheClocks) {
  ipc_ptr = nullptr;
  wait_for_request_or_sleep(7, 0);
  EXPECT_EQ(clock_.slept, 7u);
}

}  // namespace
}  // namespace qrx
