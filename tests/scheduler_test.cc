// The scheduler's loop on a clock the tests drive: due checks, interval
// arithmetic, the sleep choice, the request loop and its commit, plain
// distributors, restarts and the way out.

#include "agent/request_service.h"
#include "collector/scheduler.h"
#include "exec/cursor_data.h"
#include "exec/stored_rows.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/env_vars.h"
#include "base/relative_time.h"
#include "base/signals.h"
#include "base/trace.h"
#include "collector/exit_path.h"
#include "ctl/control_parse.h"
#include "session/database.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

// Local time of a now text YYYYMMDDhhmmss.
std::time_t local(const std::string& now_text) {
  std::tm tm{};
  tm.tm_year = std::stoi(now_text.substr(0, 4)) - 1900;
  tm.tm_mon = std::stoi(now_text.substr(4, 2)) - 1;
  tm.tm_mday = std::stoi(now_text.substr(6, 2));
  tm.tm_hour = std::stoi(now_text.substr(8, 2));
  tm.tm_min = std::stoi(now_text.substr(10, 2));
  tm.tm_sec = std::stoi(now_text.substr(12, 2));
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// A clock that only moves when the code sleeps or a test advances it, and
// that raises go_home after a given number of sleeps so that the loop ends.
class TestClock : public Clock {
 public:
  std::time_t now() override { return when; }
  void sleep_seconds(unsigned seconds) override {
    sleeps.push_back(seconds);
    when += seconds;
    if (static_cast<int>(sleeps.size()) >= stop_after_sleeps) go_home = 1;
  }
  std::time_t when = local("20261214100007");  // a Monday
  std::vector<unsigned> sleeps;
  int stop_after_sleeps = 1;
};

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_hooks_ = schedule_hooks();
    saved_shutdown_ = shutdown_hooks();
    schedule_hooks() = ScheduleHooks{};
    shutdown_hooks() = ShutdownHooks{};
    schedule_hooks().quit = [this](int code) { quits.push_back(code); };
    set_clock(&clock);
  }
  void TearDown() override {
    set_clock(nullptr);
    schedule_hooks() = saved_hooks_;
    shutdown_hooks() = saved_shutdown_;
    go_home = 0;
    db_info.state = kSessionReleased;
    reset_trace_state();
  }

  // Appends an active distributor that is due now, with no window limits.
  distributor& add(const std::string& name, int32_t interval) {
    auto d = std::make_unique<distributor>();
    d->distrib_name = name;
    d->interval = interval;
    distributor& ref = *d;
    defs.distrib_anchor.push_back(std::move(d));
    if (name == "collector") defs.collector_at = &ref;
    return ref;
  }
  int32_t rel(const std::string& now_text) { return relative_now(local(now_text)); }
  int32_t now() { return relative_now(clock.when); }

  Definitions defs;
  testing::LogCapture log;
  TestClock clock;
  std::vector<int> quits;

 private:
  ScheduleHooks saved_hooks_;
  ShutdownHooks saved_shutdown_;
};

TEST_F(SchedulerTest, NextDueTimeCountsFromTheTurnStartHoweverLongTheRunTook) {
  distributor& c = add("collector", 300);
  int passes = 0;
  schedule_hooks().collect = [&] {
    ++passes;
    clock.when += 60;  // a slow pass
    return 0;
  };
  schedule(defs);
  EXPECT_EQ(passes, 1);
  EXPECT_EQ(secs_to_date(c.next_time), "20261214100507");
  // The turn ended at 10:01:07; it slept the sleep limit, not past the due time.
  EXPECT_EQ(clock.sleeps, (std::vector<unsigned>{10}));
}

TEST_F(SchedulerTest, CollectionKeepsItsRhythmOverSeveralTurns) {
  distributor& c = add("collector", 30);
  defs.sleep_time = 100;
  clock.stop_after_sleeps = 3;
  int passes = 0;
  schedule_hooks().collect = [&] { return ++passes, 0; };
  schedule(defs);
  EXPECT_EQ(passes, 3);
  EXPECT_EQ(clock.sleeps, (std::vector<unsigned>{30, 30, 30}));
  EXPECT_EQ(secs_to_date(c.next_time), "20261214100137");
}

TEST_F(SchedulerTest, FailingCollectionIsLoggedAndStillAdvances) {
  distributor& c = add("collector", 60);
  schedule_hooks().collect = [] { return 2; };
  schedule(defs);
  EXPECT_TRUE(log.has("cgn1525", 'e', "One or more interval cursors failed"));
  EXPECT_EQ(c.next_time, rel("20261214100107"));
}

TEST_F(SchedulerTest, CollectionsLetGoOfEmptiedRowBlocksThatNoRunTook) {
  trim_row_blocks();
  trim_row_blocks();
  ASSERT_EQ(pooled_row_block_bytes(), 0u);
  {
    row_chain chain;  // a one-time large result, about 9 MB
    for (int i = 0; i < 40000; ++i) chain.append(chain.allocate_here(200));
  }
  const std::size_t pooled = pooled_row_block_bytes();
  ASSERT_GT(pooled, 0u);
  add("collector", 30);
  defs.sleep_time = 100;
  clock.stop_after_sleeps = 2;
  std::vector<std::size_t> kept;  // the pooled bytes each collection found
  schedule_hooks().collect = [&] { return kept.push_back(pooled_row_block_bytes()), 0; };
  schedule(defs);
  EXPECT_EQ(kept, (std::vector<std::size_t>{pooled, 0}))
      << "the first collection keeps them for its runs; the second lets them go";
}

TEST_F(SchedulerTest, SleepGoesToTheEarliestDueTimeCappedBySleepLimit) {
  const struct {
    const char* what;
    int32_t next_in;     // next_time - now
    int16_t state;
    char hold;
    int32_t window_in;   // window_start - now
    int32_t expected;
  } cases[] = {
      {"due in 3 seconds", 3, 1, 0, -100, 3},
      {"already due", -5, 1, 0, -100, 0},
      {"due exactly now", 0, 1, 0, -100, 0},
      {"far away", 500, 1, 0, -100, 10},
      {"inactive, due in 3 seconds", 3, 0, 0, -100, 3},
      {"held, due in 4 seconds", 4, 1, 'Y', -100, 4},
      // Neither of these will ever run: they must not keep the loop awake.
      {"inactive and overdue", -5, 0, 0, -100, 10},
      {"held and overdue", -5, 1, 'Y', -100, 10},
      // A due distributor waits for its window to open.
      {"overdue, window opens in 6 seconds", -5, 1, 0, 6, 6},
  };
  for (const auto& c : cases) {
    defs.distrib_anchor.clear();
    add("collector", 300).next_time = now() + 500;
    distributor& d = add("historian", 60);
    d.next_time = now() + c.next_in;
    d.state = c.state;
    d.hold = c.hold;
    d.window_start = now() + c.window_in;
    d.window_end = now() + 86400;
    EXPECT_EQ(sleep_seconds_until_due(defs, now()), c.expected) << c.what;
  }
}

TEST_F(SchedulerTest, InactiveOrHeldDistributorsNeverRun) {
  add("collector", 300);
  add("historian", 1).state = 0;
  add("evaluator", 1).hold = 'Y';
  add("nrqs", 1).state = 2;  // bit 1 clear
  int runs = 0;
  schedule_hooks().do_history = [&](const std::string&) { return ++runs, 0; };
  schedule_hooks().do_evaluator = [&](const std::string&, distributor&) { return ++runs, 0; };
  schedule_hooks().do_nrqs = [&](distributor&, const std::string&) { return ++runs, 0; };
  clock.stop_after_sleeps = 3;
  schedule(defs);
  EXPECT_EQ(runs, 0);
}

TEST_F(SchedulerTest, BuiltInDistributorsRecordTheirOutcome) {
  add("collector", 300);
  distributor& h = add("historian", 60);
  distributor& e = add("evaluator", 60);
  distributor& n = add("nrqs", 60);
  std::string history_time;
  schedule_hooks().do_history = [&](const std::string& now) { return history_time = now, 0; };
  schedule_hooks().do_evaluator = [](const std::string&, distributor&) { return 1; };
  schedule_hooks().do_nrqs = [](distributor&, const std::string&) { return 0; };
  schedule(defs);
  EXPECT_EQ(history_time, "20261214100007");
  EXPECT_EQ(h.status, "GOOD");
  EXPECT_EQ(h.last_run, "20261214100007");
  EXPECT_EQ(e.status, "FAIL");
  EXPECT_EQ(n.status, "GOOD");
  EXPECT_EQ(h.next_time, now() - 10 + 60);
}

TEST_F(SchedulerTest, TurnWithoutItsHookFailsInsteadOfPassingAsGood) {
  add("collector", 300);
  distributor& h = add("historian", 60);
  distributor& e = add("evaluator", 60);
  distributor& n = add("nrqs", 60);
  schedule(defs);
  EXPECT_EQ(h.status, "FAIL");
  EXPECT_EQ(e.status, "FAIL");
  EXPECT_EQ(n.status, "FAIL");
}

TEST_F(SchedulerTest, MissingRequiredHooksAreNamed) {
  schedule_hooks() = ScheduleHooks{};
  EXPECT_EQ(missing_schedule_hooks(),
            (std::vector<std::string>{"collect", "do_history", "do_rqs", "do_nrqs",
                                      "wait_for_request", "session_open", "commit_collect"}));
}

TEST_F(SchedulerTest, DistributorOutsideItsWindowWaitsForIt) {
  add("collector", 300).next_time = now() + 5000;
  distributor& h = add("historian", 60);
  h.mon_fri = {{11 * 3600, 12 * 3600}};
  int runs = 0;
  schedule_hooks().do_history = [&](const std::string&) { return ++runs, 0; };
  defs.sleep_time = 3600;
  clock.stop_after_sleeps = 2;
  schedule(defs);
  EXPECT_EQ(runs, 1);
  // The first sleep ends when the window opens at 11:00:00.
  ASSERT_FALSE(clock.sleeps.empty());
  EXPECT_EQ(clock.sleeps[0], 3593u);
  EXPECT_EQ(h.window_start, rel("20261214110000"));
}

TEST_F(SchedulerTest, PlainDistributorLogsItsTimeShiftedByTheOffset) {
  add("collector", 300);
  add("mailer", 60);
  add("pager", 60).time_offset = 3600;
  schedule(defs);
  EXPECT_TRUE(log.has("cir1625", 'i', "Dist for mailer at 20261214100007"));
  EXPECT_TRUE(log.has("cir1625", 'i', "Dist for pager at 20261214110007"));
}

class RequestLoopTest : public SchedulerTest {
 protected:
  void SetUp() override {
    SchedulerTest::SetUp();
    collector = &add("collector", 300);
    collector->next_time = now() + 25;
    rqs = &add("rqs", 1);
    schedule_hooks().session_open = [] { return true; };
    schedule_hooks().commit_collect = [this](int mode) { return commits.push_back(mode), 0; };
  }
  distributor* collector = nullptr;
  distributor* rqs = nullptr;
  std::vector<int> commits;
};

TEST_F(RequestLoopTest, PollsInSleepLimitStepsUntilTheCollectorIsDue) {
  int polls = 0;
  schedule_hooks().do_rqs = [&] { return ++polls, kNoRequest; };
  clock.stop_after_sleeps = 4;
  trace_set("-zzzzzzzzz");
  schedule(defs);
  // 10 + 10 + 5 seconds of polling up to the collection, which runs at
  // once; then polling again toward the next one.
  EXPECT_EQ(polls, 4);
  EXPECT_EQ(clock.sleeps, (std::vector<unsigned>{10, 10, 5, 10}));
  EXPECT_EQ(log.count("ZMS0001"), 4);
  EXPECT_EQ(log.count("ZMS0004"), 1);
  EXPECT_TRUE(commits.empty());
  EXPECT_EQ(rqs->status, "GOOD");
}

TEST_F(RequestLoopTest, StopsAtOnceWhenTheCollectorIsAlreadyDue) {
  // Due, but its window opens only in 50 seconds: it does not run this turn.
  collector->next_time = now();
  collector->window_start = now() + 50;
  collector->window_end = now() + 100;
  int polls = 0;
  schedule_hooks().do_rqs = [&] { return ++polls, kNoRequest; };
  trace_set("-zzzzzzzzz");
  schedule(defs);
  EXPECT_EQ(polls, 1);
  EXPECT_EQ(log.count("ZMS0003"), 1);
  EXPECT_EQ(clock.sleeps, (std::vector<unsigned>{1}));  // the request server is due again
}

TEST_F(RequestLoopTest, ServedRequestEndsThePollingAndIsCommitted) {
  for (char continuous : {'Y', 'N'}) {
    commits.clear();
    clock.sleeps.clear();
    go_home = 0;
    collector->next_time = now() + 25;
    rqs->next_time = 0;
    collector->continuous = continuous;
    clock.stop_after_sleeps = 100;
    int polls = 0;
    schedule_hooks().do_rqs = [&] { return ++polls == 2 ? 0 : kNoRequest; };
    schedule_hooks().commit_collect = [&](int mode) {
      go_home = 1;  // stop after this turn
      return commits.push_back(mode), 0;
    };
    schedule(defs);
    EXPECT_EQ(polls, 2) << continuous;
    EXPECT_EQ(commits, (std::vector<int>{continuous == 'Y' ? 0 : 1})) << continuous;
  }
}

TEST_F(RequestLoopTest, FailedRequestMarksTheServerFailed) {
  schedule_hooks().do_rqs = [] { return -1; };
  clock.stop_after_sleeps = 1;
  schedule(defs);
  EXPECT_EQ(rqs->status, "FAIL");
}

TEST_F(RequestLoopTest, SleepsGoThroughTheRequestWaitWithTheTimeServingMayStart) {
  // Each wait stands for a posted request: it ends the sleep at once.
  struct Wait {
    int32_t seconds, serve_from;
    bool operator==(const Wait&) const = default;
  };
  std::vector<Wait> waits;
  schedule_hooks().wait_for_request = [&](int32_t seconds, int32_t serve_from) {
    waits.push_back({seconds, serve_from});
    if (waits.size() == 2) go_home = 1;
  };
  int polls = 0;
  schedule_hooks().do_rqs = [&] { return ++polls == 2 ? 0 : kNoRequest; };
  const int32_t start = now();
  schedule(defs);
  // Between polls serving may start at once; after the served request the
  // main loop's sleep may end early only once the server is due again.
  EXPECT_EQ(waits, (std::vector<Wait>{{10, start}, {1, start + 1}}));
  EXPECT_EQ(polls, 2);
  EXPECT_TRUE(clock.sleeps.empty());  // no plain sleep besides
}

TEST_F(RequestLoopTest, BurstServesEveryRequestThatFollowsInTheSameTurn) {
  // The first poll serves one request; three more are waiting one after the
  // other, then none comes within the linger.
  std::vector<int> lingers;
  schedule_hooks().request_waiting = [&](int milliseconds) {
    lingers.push_back(milliseconds);
    return lingers.size() <= 3;
  };
  int polls = 0;
  schedule_hooks().do_rqs = [&] { return ++polls, 0; };
  schedule(defs);
  EXPECT_EQ(polls, 4);
  // The collection is 25 seconds away: each wait is the whole linger.
  EXPECT_EQ(lingers, (std::vector<int>{500, 500, 500, 500}));
  // One turn: one sleep and one commit for the whole burst.
  EXPECT_EQ(clock.sleeps, (std::vector<unsigned>{1}));
  EXPECT_EQ(commits.size(), 0u);  // go_home came with the sleep, before the commit
  EXPECT_EQ(rqs->status, "GOOD");
  EXPECT_EQ(rqs->next_time, now());  // the due time is the turn's as ever
}

TEST_F(RequestLoopTest, BurstEndsWhenAnotherDistributorFallsDue) {
  struct Case {
    const char* what;
    bool historian;  // else the collection falls due
  };
  for (const Case& c : {Case{"collection", false}, Case{"historian", true}}) {
    defs.distrib_anchor.clear();
    collector = &add("collector", 300);
    collector->next_time = now() + 25;
    if (c.historian) {
      collector->next_time = now() + 5000;
      add("historian", 300).next_time = now() + 25;
    }
    rqs = &add("rqs", 1);
    go_home = 0;
    clock.sleeps.clear();
    std::vector<std::string> events;
    // Requests keep coming, each ten seconds after the last.
    schedule_hooks().request_waiting = [&](int) { return clock.when += 10, true; };
    schedule_hooks().do_rqs = [&] { return events.push_back("rqs"), 0; };
    schedule_hooks().collect = [&] {
      events.push_back("collect");
      go_home = 1;
      return 0;
    };
    schedule_hooks().do_history = [&](const std::string&) {
      events.push_back("history");
      go_home = 1;
      return 0;
    };
    clock.stop_after_sleeps = 100;
    schedule(defs);
    // First turn: the collector's turn is not due; the historian (if any)
    // neither. The burst serves at +0, +10, +20, +30 and stops once the
    // other is due; the next turn runs it.
    const std::string other = c.historian ? "history" : "collect";
    std::vector<std::string> expected = {"rqs", "rqs", "rqs", "rqs", other};
    EXPECT_EQ(events, expected) << c.what;
  }
}

TEST_F(SchedulerTest, WithoutARequestServerTheMainSleepIsPlain) {
  add("collector", 300);
  int waits = 0;
  schedule_hooks().wait_for_request = [&](int32_t, int32_t) { ++waits; };
  schedule(defs);
  EXPECT_EQ(waits, 0);
  EXPECT_EQ(clock.sleeps, (std::vector<unsigned>{10}));
}

TEST_F(SchedulerTest, GoHomeLeavesThroughTheExitPath) {
  add("collector", 300);
  std::vector<std::string> steps;
  shutdown_hooks().end_database = [&] { steps.push_back("commit"); };
  shutdown_hooks().terminate_channel = [&] { return steps.push_back("term"), 1; };
  schedule_hooks().collect = [] { return go_home = 1, 0; };
  schedule(defs);
  EXPECT_EQ(steps, (std::vector<std::string>{"commit", "term"}));
  EXPECT_TRUE(log.has("cgn1523", 'e', "Error terminating RQS IPC environment"));
  EXPECT_EQ(log.count("cgn1524"), 1);
  EXPECT_EQ(quits, (std::vector<int>{0}));
  // go_home stopped the turn before its sleep.
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(SchedulerTest, GoHomeDuringTheSleepSkipsTheCommit) {
  add("collector", 300);
  add("rqs", 1);
  int commits = 0;
  schedule_hooks().do_rqs = [] { return 0; };
  schedule_hooks().session_open = [] { return true; };
  schedule_hooks().commit_collect = [&](int) { return ++commits, 0; };
  schedule(defs);
  EXPECT_EQ(commits, 0);
  EXPECT_EQ(quits, (std::vector<int>{0}));
}

// A restart request (a decode action) ends the session and reads the
// definitions again within the process: the channel stays up, and the loop
// goes on with the new definitions.
TEST_F(SchedulerTest, RestartEndsTheSessionAndGoesOnWithDefinitionsReadAgain) {
  add("collector", 300);
  Definitions fresh;
  auto d = std::make_unique<distributor>();
  d->distrib_name = "historian";
  d->interval = 300;
  fresh.distrib_anchor.push_back(std::move(d));
  std::vector<std::string> steps;
  db_info.state = kSessionRestart;
  schedule_hooks().collect = [&] { return steps.push_back("collect"), 0; };
  schedule_hooks().do_history = [&](const std::string&) { return steps.push_back("history"), 0; };
  schedule_hooks().reload = [&] { return steps.push_back("reload"), &fresh; };
  shutdown_hooks().end_database = [&] { steps.push_back("end session"); };
  shutdown_hooks().terminate_channel = [&] { return steps.push_back("end channel"), 0; };
  clock.stop_after_sleeps = 1;
  schedule(defs);
  // The old set's collector no longer runs: the turn is the new set's.
  EXPECT_EQ(steps, (std::vector<std::string>{"end session", "reload", "history", "end session",
                                             "end channel"}));
  EXPECT_EQ(quits, (std::vector<int>{0}));
  EXPECT_EQ(db_info.state, kSessionReleased);
  EXPECT_EQ(log.count("cgn1522"), 1);
}

TEST_F(SchedulerTest, RetraceRequestReloadsTracingAfterTheTurn) {
  add("collector", 300);
  schedule_hooks().collect = [] { return reset_trace = 1, 0; };
  clock.stop_after_sleeps = 2;
  schedule(defs);
  EXPECT_EQ(reset_trace, 0);
}

struct CursorWindowCase {
  const char* what;
  void (*prepare)(curs&);
  bool moved;
};

TEST_F(SchedulerTest, CursorWindowsSkipDemandHeldAndFilledOnceCursors) {
  const CursorWindowCase cases[] = {
      {"plain", [](curs&) {}, true},
      {"demand", [](curs& c) { c.demand = 1; }, false},
      {"held", [](curs& c) { c.hold = 'Y'; }, false},
      {"once with rows", [](curs& c) { c.once = 1, c.rows = 3; }, false},
      {"once without rows", [](curs& c) { c.once = 1; }, true},
  };
  for (const auto& k : cases) {
    curs c;
    c.windows[kMonFri] = {{22 * 3600, 6 * 3600 + 86400}};
    k.prepare(c);
    set_window_c(c, rel("20261215050000"));
    if (k.moved) {
      EXPECT_EQ(secs_to_date(c.window_open), "20261214220000") << k.what;
      EXPECT_EQ(secs_to_date(c.window_close), "20261215060000") << k.what;
    } else {
      EXPECT_EQ(c.window_open, 0) << k.what;
    }
  }
}

// A reload request (SIGHUP) reads the definitions again within the process:
// sound ones replace those in use from that turn on, with the channel and
// the session up; refused ones leave the loop running on those in use.
class ReloadTest : public SchedulerTest {
 protected:
  // Raises SIGHUP's record, runs the loop one turn with a reload that
  // answers `taken` (null: refused) and returns the steps taken in order.
  std::vector<std::string> reload(Definitions* taken) {
    add("collector", 300);
    schedule_hooks().collect = [&] { return steps.push_back("collect"), 0; };
    schedule_hooks().do_history = [&](const std::string&) { return steps.push_back("history"), 0; };
    schedule_hooks().reload = [&, taken] { return steps.push_back("reload"), taken; };
    shutdown_hooks().end_database = [&] { steps.push_back("end session"); };
    shutdown_hooks().terminate_channel = [&] { return steps.push_back("end channel"), 0; };
    clock.stop_after_sleeps = 1;
    do_interrupt(SIGHUP);
    schedule(defs);
    EXPECT_TRUE(log.has("cgn1560", 'I', "Reload requested: checking the definitions"));
    EXPECT_FALSE(take_reload_request()) << "the request is taken once";
    return steps;
  }
  std::vector<std::string> steps;
};

TEST_F(ReloadTest, SighupWithSoundDefinitionsGoesOnWithThemInTheSameLoop) {
  Definitions fresh;
  auto d = std::make_unique<distributor>();
  d->distrib_name = "historian";
  d->interval = 300;
  fresh.distrib_anchor.push_back(std::move(d));
  // Neither channel nor session ends before the usual exit path.
  EXPECT_EQ(reload(&fresh),
            (std::vector<std::string>{"reload", "history", "end session", "end channel"}));
  EXPECT_EQ(quits, (std::vector<int>{0}));
  EXPECT_EQ(log.count("cgn1522"), 0);
}

TEST_F(ReloadTest, SighupWithFaultyDefinitionsGoesOnCollecting) {
  // The loop collects as before and leaves only through its usual exit path.
  EXPECT_EQ(reload(nullptr),
            (std::vector<std::string>{"reload", "collect", "end session", "end channel"}));
  EXPECT_EQ(quits, (std::vector<int>{0}));
  EXPECT_EQ(log.count("cgn1522"), 0);
}

TEST_F(ReloadTest, SighupWithoutAReloadIsRefused) {
  schedule_hooks().reload = nullptr;
  add("collector", 300);
  schedule_hooks().collect = [] { return 0; };
  do_interrupt(SIGHUP);
  schedule(defs);
  EXPECT_TRUE(log.has("cml1561", 'e',
                      "Reload refused (no reload is installed): going on with the definitions in use"));
  EXPECT_EQ(quits, (std::vector<int>{0}));
}

}  // namespace
}  // namespace qrx
