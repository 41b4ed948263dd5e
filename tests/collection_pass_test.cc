// The collection pass, the cursor fetch it drives and the historian, on a
// SQLite database under a fixed clock.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/env_vars.h"
#include "base/relative_time.h"
#include "base/trace.h"
#include "collector/collection.h"
#include "collector/scheduler.h"
#include "collector/startup.h"
#include "ctl/control_parse.h"
#include "exec/cursor_data.h"
#include "exec/dynamic_fetch.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"
#include "session/database.h"
#include "support/database_fixture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

class CollectionTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    saved_home_ = env_vars.coll_home;
    saved_hooks_ = schedule_hooks();
    env_vars.coll_home = home_.path();
    collector_.server_id = home_.file("MON.db");
    collector_.interval = 300;
    setup_sql("CREATE TABLE stats (name VARCHAR2(4), val NUMBER(4));"
              "INSERT INTO stats VALUES ('aa', 1), ('bb', 22);");
    fetch_hooks().row = merge_fetched_row;  // rows become stored rows
    schedule_hooks().commit_collect = [this](int mode) {
      commits.push_back(mode);
      return 0;
    };
  }
  void TearDown() override {
    go_home = 0;
    env_vars.coll_home = saved_home_;
    schedule_hooks() = saved_hooks_;
    DatabaseFixture::TearDown();
  }

  // Adds cursors reading `table`, one per name, with `statements`, after
  // those defined before; the whole chain is parsed again.
  void cursors(const std::vector<std::string>& names, const std::string& statements = "",
               const std::string& table = "stats") {
    for (const std::string& name : names)
      definitions_ += "cursor " + name + ";\n" + statements + "\nINSERT INTO " + table +
                      " (name, val) VALUES (:name, :val);\n";
    defs_.del_curs();
    testing::parse_cursors(definitions_, defs_);
    for (const auto& c : defs_.cur_anchor) c->collector = &collector_;
  }
  void forget_cursors() {
    defs_.del_curs();
    definitions_.clear();
  }
  curs& cur(const std::string& name) { return *defs_.find_cursor(name); }
  int32_t now() { return relative_now(clock_.now()); }
  std::string now_text() { return get_time(clock_.now()); }
  std::string history(const std::string& name) { return testing::file_text(home_.file(name + ".HST")); }
  // The records one historian run at `stamp` writes for the rows given.
  static std::string records(const curs& c, const std::string& stamp, const std::vector<const row_data*>& rows) {
    std::string out;
    for (const row_data* row : rows) out += stamp + testing::row_text(c, row) + "\n";
    return out;
  }
  static std::vector<const row_data*> all_rows(const curs& c) {
    std::vector<const row_data*> rows;
    for (const row_data* row = c.stored.first(); row; row = row->next) rows.push_back(row);
    return rows;
  }

  testing::TempDir home_;
  std::vector<int> commits;

 private:
  std::string saved_home_;
  ScheduleHooks saved_hooks_;
  std::string definitions_;
};

TEST_F(CollectionTest, DueCursorIsFetchedAndThePassCommitsGood) {
  cursors({"STATS"}, "interval 60;");
  const int32_t start = now();
  const std::string start_text = now_text();
  EXPECT_EQ(collect(defs_), 0) << log_.text();
  curs& c = cur("STATS");
  EXPECT_EQ(c.stored.count(), 2);
  EXPECT_EQ(c.next_time, start + 60);
  EXPECT_EQ(c.last_time, start_text);
  EXPECT_EQ(c.history_due, 1);
  EXPECT_EQ(commits, std::vector<int>{0});
  EXPECT_EQ(collector_.status, "GOOD");
  EXPECT_EQ(collector_.last_run, start_text);
}

struct BypassCase {
  const char* id;
  const char* why;
  std::function<void(curs&, distributor&, int32_t start)> arrange;
};

TEST_F(CollectionTest, EachBypassReasonIsTracedAndNothingRunsOrCommits) {
  const BypassCase cases[] = {
      {"CGN1515", "held", [](curs& c, distributor&, int32_t) { c.hold = 'Y'; }},
      {"CGN1516", "demand", [](curs& c, distributor&, int32_t) { c.demand = 1; }},
      {"CGN1517", "class", [](curs& c, distributor& d, int32_t) { c.class_ = 7; d.classes[7] = 0; }},
      {"CGN1518", "window",
       [](curs& c, distributor&, int32_t start) {
         c.window_open = start + 60;
         c.window_close = start + 120;
       }},
      {"CGN1519", "interval time", [](curs& c, distributor&, int32_t start) { c.next_time = start + 1; }},
  };
  trace_set("x00000d");  // collection tracing only
  for (const BypassCase& k : cases) {
    SCOPED_TRACE(k.why);
    cursors({"TRACED", "QUIET"});
    cur("TRACED").trace = 1;
    for (const auto& c : defs_.cur_anchor) k.arrange(*c, collector_, now());
    commits.clear();
    EXPECT_EQ(collect(defs_), 0);
    EXPECT_TRUE(log_.has(k.id, 'T', std::string("Bypassing cursor TRACED, why = ") + k.why)) << log_.text();
    EXPECT_EQ(log_.count(k.id), 1) << "only cursors with their trace flag are traced";
    for (const auto& c : defs_.cur_anchor) EXPECT_TRUE(c->stored.empty());
    EXPECT_TRUE(commits.empty());
    EXPECT_EQ(collector_.status, "GOOD");
    forget_cursors();
    collector_.classes[7] = 1;
  }
}

TEST_F(CollectionTest, ShortIntervalRunsAtEveryPassLongIntervalWaitsItsTurn) {
  cursors({"SHORT"}, "interval 60;");
  cursors({"LONG"}, "interval 600;");
  std::vector<int> short_runs, long_runs;
  for (int pass = 0; pass < 4; ++pass) {
    ASSERT_EQ(collect(defs_), 0) << log_.text();
    short_runs.push_back(cur("SHORT").sample_no);
    long_runs.push_back(cur("LONG").sample_no);
    clock_.sleep_seconds(300);  // the collector's interval
  }
  EXPECT_EQ(short_runs, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(long_runs, (std::vector<int>{1, 1, 2, 2}));
}

TEST_F(CollectionTest, HeldCursorIsBypassedOnceThenCollectedUnlessItsHoldIsKept) {
  cursors({"MERGED", "DECODED"});
  cursors({"DEFINED"}, "hold;");
  ASSERT_EQ(create_percent_cursor(defs_), 0);  // held from birth, as the definitions' holds
  cur("MERGED").hold = 'Y';  // held at run time, nothing keeps the hold
  cur("DECODED").hold = 'Y';
  cur("DECODED").hold_named = 1;  // a decode holds it until it releases it
  const std::string first_text = now_text();
  ASSERT_EQ(collect(defs_), 0);
  EXPECT_TRUE(cur("MERGED").stored.empty());
  EXPECT_EQ(cur("MERGED").hold, 'N');
  EXPECT_EQ(cur("MERGED").last_time, first_text);
  EXPECT_EQ(cur("DEFINED").last_time, "19900101010101") << "a held cursor keeps its last run time";
  for (int pass = 0; pass < 2; ++pass) {
    clock_.sleep_seconds(300);
    ASSERT_EQ(collect(defs_), 0);
  }
  EXPECT_EQ(cur("MERGED").stored.count(), 4);
  for (const char* kept : {"DECODED", "DEFINED", "%CURSOR"}) {
    SCOPED_TRACE(kept);
    EXPECT_EQ(cur(kept).sample_no, kept == std::string("%CURSOR") ? 1 : 0) << "never run";
    EXPECT_EQ(cur(kept).hold, 'Y');
  }
}

TEST_F(CollectionTest, ClassSwitchDecidesWhateverTheWindow) {
  cursors({"SEVEN"}, "class 7;");
  collector_.classes[7] = 0;
  for (int pass = 0; pass < 3; ++pass, clock_.sleep_seconds(300)) ASSERT_EQ(collect(defs_), 0);
  EXPECT_TRUE(cur("SEVEN").stored.empty());
  collector_.classes[7] = 1;
  ASSERT_EQ(collect(defs_), 0);
  EXPECT_EQ(cur("SEVEN").stored.count(), 2);
}

TEST_F(CollectionTest, FailingCursorReportsFailButThePassGoesOnAndCommits) {
  // The failing cursor comes first: the good one must still run.
  cursors({"BAD"}, "", "missing");
  cursors({"GOOD"});
  curs& bad = cur("BAD");
  bad.stale_time = 12345;
  EXPECT_EQ(collect(defs_), 1);
  EXPECT_TRUE(log_.has("CGN1521", 'E', "Interval collection failed for cursor BAD")) << log_.text();
  // The database's own words follow, with the cursor's name.
  EXPECT_TRUE(log_.has("CGN1534", 'E', "Cursor BAD: no such table: missing")) << log_.text();
  EXPECT_EQ(cur("GOOD").stored.count(), 2);
  EXPECT_EQ(bad.stale_time, 0) << "the next request refreshes again";
  EXPECT_EQ(commits, std::vector<int>{0});
  EXPECT_EQ(collector_.status, "FAIL");
  EXPECT_EQ(collector_.last_run, now_text());
}

TEST_F(CollectionTest, GoHomeEndsThePassWithoutCommitOrStatus) {
  cursors({"FIRST", "SECOND"});
  go_home = 1;
  EXPECT_EQ(collect(defs_), 1);
  EXPECT_TRUE(cur("FIRST").stored.empty());
  EXPECT_TRUE(commits.empty());
  EXPECT_TRUE(collector_.status.empty());
}

TEST_F(CollectionTest, RestartRequestEndsTheWalkButThePassCommits) {
  cursors({"FIRST"});
  db_info.state = kSessionRestart;
  trace_set("x00000d");
  EXPECT_EQ(collect(defs_), 0);
  EXPECT_TRUE(log_.has("CGN1514", 'T', "Exiting collection loop because of reDoInit")) << log_.text();
  EXPECT_TRUE(cur("FIRST").stored.empty());
  EXPECT_EQ(collector_.status, "GOOD");
}

TEST_F(CollectionTest, CursorDataMarksVirtualCursorsAndTracesTheFetch) {
  cursors({"FETCHED"});
  curs& c = cur("FETCHED");
  c.trace = 1;
  clock_.sleep_seconds(3);
  ASSERT_EQ(get_cursor_data(now() - 3, c), 0);
  EXPECT_EQ(c.last_time, secs_to_date(now() - 3));
  EXPECT_TRUE(log_.has("CFE1645", 'T', "Time = " + form_time(now_text()) + ", collected records in 3 seconds"))
      << log_.text();
  EXPECT_EQ(collector_.status, "GOOD");

  curs virtual_cursor;
  virtual_cursor.is_virtual = 1;
  ASSERT_EQ(get_cursor_data(now(), virtual_cursor), 0);
  EXPECT_EQ(virtual_cursor.rows_changed, 1);
  EXPECT_EQ(virtual_cursor.history_due, 1);
  EXPECT_EQ(virtual_cursor.sample_no, 0) << "a virtual cursor is not fetched";
}

TEST_F(CollectionTest, TwoHistorianRunsAfterOneCollectionWriteTheRowsOnce) {
  cursors({"HIST"}, "history;");
  cursors({"NOHIST"});
  ASSERT_EQ(collect(defs_), 0);
  const curs& c = cur("HIST");
  const std::string stamp = now_text();
  EXPECT_EQ(do_history(defs_, stamp), 0);
  clock_.sleep_seconds(60);
  EXPECT_EQ(do_history(defs_, now_text()), 0);
  const std::string expected = records(c, stamp, {c.stored.first(), c.stored.last()});
  EXPECT_EQ(history("HIST"), expected);
  EXPECT_EQ(expected.size(), 2 * (14 + c.row_length + 1));
  struct stat st {};
  EXPECT_NE(stat(home_.file("NOHIST.HST").c_str(), &st), 0) << "no history file without the flag";

  // The next collection is appended after the first.
  clock_.sleep_seconds(240);
  ASSERT_EQ(collect(defs_), 0);
  const std::string second = now_text();
  ASSERT_EQ(do_history(defs_, second), 0);
  EXPECT_EQ(history("HIST"), expected + records(c, second, all_rows(c)));
}

TEST_F(CollectionTest, KeptSamplesWriteOnlyTheCurrentSampleAndAResultRowOnce) {
  cursors({"SAMPLED"}, "history;\nsamples 3;");
  cursors({"RESULT"}, "history;");
  ASSERT_EQ(collect(defs_), 0);
  clock_.sleep_seconds(300);
  ASSERT_EQ(collect(defs_), 0);
  curs& sampled = cur("SAMPLED");
  ASSERT_EQ(sampled.stored.count(), 4);
  curs& result = cur("RESULT");
  result.column_data.reset(row_chain::allocate(result.row_length));
  std::memset(result.column_data->data(), 'r', result.row_length);
  const std::string stamp = now_text();
  ASSERT_EQ(do_history(defs_, stamp), 0);
  const row_data* third = sampled.stored.first()->next->next;
  EXPECT_EQ(history("SAMPLED"), records(sampled, stamp, {third, third->next}));
  EXPECT_EQ(history("RESULT"), stamp + std::string(result.row_length, 'r') + "\n");
}

TEST_F(CollectionTest, HistoryWithoutRowLengthWarnsAtEachDueRun) {
  cursors({"EMPTY"}, "history;");
  curs& c = cur("EMPTY");
  for (int run = 1; run <= 2; ++run) {
    c.history_due = 1;
    EXPECT_EQ(do_history(defs_, now_text()), 0);
    EXPECT_EQ(log_.count("CHI1640"), run);
  }
  EXPECT_TRUE(log_.has("CHI1640", 'W', "Cursor (EMPTY) needs history but has no length"));
  EXPECT_EQ(do_history(defs_, now_text()), 0);
  EXPECT_EQ(log_.count("CHI1640"), 2) << "not due: no warning";
}

TEST_F(CollectionTest, UnopenableHistoryFileFailsOnlyThatCursorWhichStaysDue) {
  cursors({"BLOCKED", "FREE"}, "history;");
  ASSERT_EQ(mkdir(home_.file("BLOCKED.HST").c_str(), 0700), 0);
  ASSERT_EQ(collect(defs_), 0);
  EXPECT_EQ(do_history(defs_, now_text()), 1);
  EXPECT_TRUE(log_.has("CHI1630", 'E', "Can't open " + home_.file("BLOCKED.HST"))) << log_.text();
  EXPECT_EQ(cur("BLOCKED").history_due, 1);
  EXPECT_EQ(cur("FREE").history_due, 0);
  EXPECT_FALSE(history("FREE").empty());
}

TEST_F(CollectionTest, HistoryWriteCutShortLeavesTheFileWholeAndTheCursorDue) {
  cursors({"FULL"}, "history;");
  ASSERT_EQ(collect(defs_), 0);
  const std::string earlier(4096, 'x');
  {
    std::FILE* f = std::fopen(home_.file("FULL.HST").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fwrite(earlier.data(), 1, earlier.size(), f);
    std::fclose(f);
  }
  // The file may grow by 30 bytes only: the write stops within the first record.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*saved_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = saved;
  tight.rlim_cur = earlier.size() + 30;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  const int rc = do_history(defs_, now_text());
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, saved_handler);

  EXPECT_EQ(rc, 1);
  EXPECT_EQ(history("FULL"), earlier) << "no part of a record stays behind";
  EXPECT_EQ(log_.count("CHI1645"), 1) << log_.text();
  EXPECT_EQ(cur("FULL").history_due, 1);
  const std::string stamp = now_text();
  ASSERT_EQ(do_history(defs_, stamp), 0);
  EXPECT_EQ(history("FULL"), earlier + records(cur("FULL"), stamp, all_rows(cur("FULL"))));
}

TEST_F(CollectionTest, HistorySkipsHeldAndOutOfWindowCursorsAndTracesWrites) {
  cursors({"HELD", "LATER", "TRACED"}, "history;");
  ASSERT_EQ(collect(defs_), 0);
  cur("HELD").hold = 'Y';
  cur("LATER").window_open = now() + 60;
  cur("LATER").window_close = now() + 120;
  cur("TRACED").trace = 1;
  ASSERT_EQ(do_history(defs_, now_text()), 0);
  EXPECT_TRUE(history("HELD").empty());
  EXPECT_TRUE(history("LATER").empty());
  EXPECT_EQ(cur("LATER").history_due, 1) << "written once its window opens";
  EXPECT_TRUE(log_.has("CHI1635", 'T', "Writing history of cursor TRACED")) << log_.text();
}

}  // namespace
}  // namespace qrx
