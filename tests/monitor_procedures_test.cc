// The built-in monitor procedures over hand-made counter cursors: every
// figure of a result line against values worked out by hand.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/text.h"
#include "ctl/control_parse.h"
#include "exec/percent_cursor.h"
#include "exits/fetch_exit.h"
#include "expr/context.h"
#include "expr/memory_chain.h"
#include "monitor/procedures.h"
#include "support/cursor_builder.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::LogCapture;
using Rows = std::vector<std::vector<std::string>>;

constexpr int kWidth = 40;

// Cursors the procedures find by name while a test runs.
std::map<std::string, std::unique_ptr<curs>>& cursors() {
  static std::map<std::string, std::unique_ptr<curs>> all;
  return all;
}

curs* lookup(const std::string& name) {
  auto it = cursors().find(name);
  return it == cursors().end() ? nullptr : it->second.get();
}

// A cursor of text columns `names`, kWidth wide, holding `rows`. Counter
// values are numbers, as the collector stores a numeric column.
void add_cursor(const std::string& name, const std::vector<std::string>& names, const Rows& rows) {
  auto c = std::make_unique<curs>();
  c->name = name;
  for (const std::string& column : names) testing::append_column(*c, column, kWidth, column == "FLDVALUE");
  for (const auto& values : rows) testing::append_row(*c, values);
  cursors()[name] = std::move(c);
}

void sysmon(const Rows& rows) { add_cursor("SYSMON", {"GROUPNAME", "FLDNAME", "FLDVALUE"}, rows); }
void xmbv(const std::string& start, const std::string& stop) {
  add_cursor("XMBV", {"STARTTIME", "STOPTIME"}, {{start, stop}});
}

// Fields of each result line, as the cursor's columns receive them.
Rows fields(const ResultLines& lines) {
  Rows out;
  for (const std::string& l : lines) {
    EXPECT_EQ(l.size(), kResultLineWidth);
    out.push_back(procedureParsing(l, 100));
  }
  return out;
}

Rows lock_counters();
Rows log_counters();

class MonitorProcedures : public ::testing::Test {
 protected:
  void TearDown() override {
    script_procedure() = nullptr;
    cursors().clear();
  }
  // Runs procedure `name` over the test's cursors.
  std::optional<ResultLines> drive(const std::string& name) {
    return smon_curs_driver(cx_, name, lookup);
  }
  ExprContext cx_;
  LogCapture log_;
  Definitions defs_;  // the cursors under test
};

// One data cache over ten minutes that cross midnight (86000 to 200).
void cache_fixture() {
  xmbv("86000", "200");
  sysmon({{"access", "xacts", "300"},
          {"buffer_0", "bufsearch_calls", "1200"},
          {"buffer_0", "bufsearch_finds", "900"},
          {"buffer_0", "bufunkeep_lru", "60"},
          {"buffer_0", "bufunkeep_mru", "120"},
          {"buffer_0", "prefetch_req", "120"},
          {"buffer_0", "prefetch_as_requested", "48"},
          {"buffer_0", "prefetch_page_realigned", "12"},
          {"buffer_0", "bufgrab_16k", "120"},
          {"buffer_0", "bufgrab_2k", "999"},
          {"buffer_0", "bufgrab_ref_16K", "60"},
          {"buffer_1", "bufsearch_calls", "7777"}});
}

TEST_F(MonitorProcedures, CacheLineGivesEveryFigurePerSecondPerTransactionCountAndPercent) {
  cache_fixture();
  add_cursor("CACHEMAP", {"CACHENAME", "BUFFERNAME"}, {{"default data cache", "buffer_0"}});
  auto got = drive("XMBCACD");
  ASSERT_TRUE(got);
  // Interval 200 - 86000 + 86400 = 600 s; 300 transactions. Grabs: 16k and
  // ref_16K (not 2k) = 180; unkeeps 180; prefetches done 48 + 12 of 120.
  const Rows want = {{"default data cache",                      //
                      "2.0", "4.0", "1200",                      // searches
                      "1.5", "3.0", "900", "75.0",               // hits
                      "0.5", "1.0", "300", "25.0",               // misses
                      "0.1", "0.2", "60", "33.3",                // LRU unkeeps
                      "0.2", "0.4", "120", "66.7",               // MRU unkeeps
                      "0.1", "0.2", "60", "50.0",                // prefetches done
                      "0.1", "0.2", "60", "50.0",                // prefetches denied
                      "0.3", "0.6", "180",                       // large-I/O grabs
                      "0.1", "0.2", "60", "33.3"}};              // large-I/O references
  EXPECT_EQ(fields(*got), want);
  EXPECT_TRUE(log_.has("CACD0160", 'w', "No rows in cursor SYSMON to get a FLDVALUE for hit2: assuming 1"));
  EXPECT_EQ(log_.count("CACD0160"), 1);
}

// The procedures keep their select table in the context from run to run:
// freeing the context's loose memory leaves it and the texts compiled over
// it usable.
TEST_F(MonitorProcedures, ProceduresRunAgainAfterTheLooseMemoryIsFreed) {
  cache_fixture();
  add_cursor("CACHEMAP", {"CACHENAME", "BUFFERNAME"}, {{"default data cache", "buffer_0"}});
  auto first = drive("XMBCACD");
  ASSERT_TRUE(first);
  free_loose_memory(cx_);
  auto second = drive("XMBCACD");
  ASSERT_TRUE(second);
  EXPECT_EQ(fields(*second), fields(*first));
  EXPECT_EQ(fields(*second)[0][3], "1200");
}

TEST_F(MonitorProcedures, CacheWithoutCountersTakesOneForEachAndWarnsPerCounter) {
  xmbv("0", "100");
  sysmon({{"access", "xacts", "0"}});
  add_cursor("CACHEMAP", {"CACHENAME", "BUFFERNAME"}, {{"c", "buffer_9"}});
  auto got = drive("XMBCACD");
  ASSERT_TRUE(got);
  // Every counter 1, transactions 0 taken as 1: misses 0, denied 0.
  const Rows want = {{"c", "0.0", "1.0", "1", "0.0", "1.0", "1", "100.0", "0.0", "0.0", "0", "0.0",
                      "0.0", "1.0", "1", "50.0", "0.0", "1.0", "1", "50.0", "0.0", "1.0", "1", "100.0",
                      "0.0", "0.0", "0", "0.0", "0.0", "1.0", "1", "0.0", "1.0", "1", "100.0"}};
  EXPECT_EQ(fields(*got), want);
  EXPECT_EQ(log_.count("CACD0160"), 10);
  EXPECT_TRUE(log_.has("CACD0160", 'w', "No rows in cursor SYSMON to get a FLDVALUE for read: assuming 1"));
}

TEST_F(MonitorProcedures, CacheSummarySumsEveryCacheAndHasNoName) {
  xmbv("86000", "200");
  sysmon({{"access", "xacts", "300"},
          {"buffer_0", "bufsearch_calls", "700"},   {"buffer_1", "bufsearch_calls", "500"},
          {"buffer_0", "bufsearch_finds", "500"},   {"buffer_1", "bufsearch_finds", "400"},
          {"buffer_0", "bufunkeep_lru", "60"},      {"buffer_1", "bufunkeep_mru", "60"},
          {"buffer_0", "bufunkeep_mru", "60"},      {"buffer_0", "prefetch_req", "120"},
          {"buffer_1", "prefetch_as_requested", "48"}, {"buffer_0", "prefetch_page_realigned", "12"},
          {"buffer_1", "bufgrab_16k", "120"},       {"buffer_0", "bufgrab_2k", "999"},
          {"buffer_0", "bufgrab_ref_16K", "60"},    {"buffer_1", "bufgrab_dirty_2k", "0"},
          {"other", "bufsearch_calls", "5000"}});
  auto got = drive("XMBCACS");
  ASSERT_TRUE(got) << log_.text();
  // The XMBCACD figures of the one-cache fixture, without the cache name.
  const Rows want = {{"2.0", "4.0", "1200", "1.5", "3.0", "900", "75.0", "0.5", "1.0", "300", "25.0",
                      "0.1", "0.2", "60", "33.3", "0.2", "0.4", "120", "66.7", "0.1", "0.2", "60", "50.0",
                      "0.1", "0.2", "60", "50.0", "0.3", "0.6", "180", "0.1", "0.2", "60", "33.3"}};
  EXPECT_EQ(fields(*got), want);
  EXPECT_EQ(log_.text().find("No rows in cursor SYSMON"), std::string::npos) << log_.text();
}

TEST_F(MonitorProcedures, LockSummaryGivesRequestsWaitedDeadlocksAndPromotions) {
  xmbv("1000", "1100");
  Rows rows = lock_counters();
  rows.push_back({"lock", "deadlock_EX_TAB", "2"});
  rows.push_back({"lock", "promoted_EX_TAB", "3"});
  rows.push_back({"lock", "promoted_SH_TAB", "4"});
  sysmon(rows);
  auto got = drive("XMBLCKS");
  ASSERT_TRUE(got) << log_.text();
  // 100 requests in 100 s over 10 transactions, 20 of them waited.
  EXPECT_EQ(fields(*got), (Rows{{"1.0", "10.0", "100", "20", "20.0", "2", "3", "4"}}));
}

TEST_F(MonitorProcedures, LogSummaryGivesSevenCountsWithoutTheInterval) {
  Rows rows = log_counters();  // no XMBV: the summary needs none
  rows.push_back({"xls", "plc_maxused", "7"});
  rows.push_back({"buffer_0", "log_page_writes", "11"});
  rows.push_back({"buffer_1", "log_page_writes", "4"});
  rows.push_back({"access", "log_page_allocations", "9"});
  rows.push_back({"xls", "plc_logrecs", "33"});
  sysmon(rows);
  auto got = drive("XMBLOGS");
  ASSERT_TRUE(got) << log_.text();
  EXPECT_EQ(fields(*got), (Rows{{"7", "15", "9", "33", "200", "50", "50"}}));
  EXPECT_EQ((*got)[0].substr(0, 10), "\t       7\t");
}

TEST_F(MonitorProcedures, DeviceLinesGiveReadsWritesAndTheirShareOfAllDisks) {
  xmbv("1000", "1100");
  sysmon({{"access", "xacts", "10"},
          {"disk_0", "total_reads", "300"}, {"disk_0", "total_writes", "100"},
          {"disk_0", "p_hits", "7"},        {"disk_0", "p_misses", "3"},
          {"disk_1", "total_reads", "400"}, {"disk_1", "total_writes", "200"},
          {"disk_1", "p_hits", "5"},        {"disk_1", "p_misses", "0"}});
  add_cursor("SYSDEV", {"DEVNAME", "OSNAME", "DISKMON"},
             {{"master", "/dev/sda", "disk_0"}, {"data1", "/dev/sdb", "disk_1"}});
  auto got = drive("XMBSDEVD");
  ASSERT_TRUE(got) << log_.text();
  // All disks: 1000 reads and writes in 100 s over 10 transactions.
  EXPECT_EQ(fields(*got),
            (Rows{{"master", "/dev/sda", "3.0", "30.0", "300", "30.0", "1.0", "10.0", "100", "10.0", "4.0", "40.0",
                   "400", "40.0", "7", "3"},
                  {"data1", "/dev/sdb", "4.0", "40.0", "400", "40.0", "2.0", "20.0", "200", "20.0", "6.0", "60.0",
                   "600", "60.0", "5", "0"}}));
}

// Two engines: engine 0 busy 25 of 100 ticks with 60 of each counter,
// engine 1 without clock ticks and 40 of each.
void engine_fixture(const char* engines) {
  xmbv("1000", "1100");
  Rows rows = {{"access", "xacts", "10"},
               {"engine_0", "clock_ticks", "100"}, {"engine_0", "cpu_ticks", "25"},
               {"engine_1", "clock_ticks", "0"},   {"engine_1", "cpu_ticks", "0"}};
  for (const char* c : {"engine_sleeps", "context_switches", "max_outstanding_AIOs_engine",
                        "total_dpoll_completed_aios", "no_packets_received", "no_bytes_received",
                        "no_packets_sent", "no_bytes_sent"}) {
    rows.push_back({"engine_0", c, "60"});
    rows.push_back({"engine_1", c, "40"});
  }
  sysmon(rows);
  add_cursor("SYSCCONF", {"NUMENG"}, {{engines}});
  add_cursor("ENGINFO", {"EngineNumber", "Connections"}, {{"1", "8"}, {"0", "12"}});
}

TEST_F(MonitorProcedures, EngineLinesGiveBusyPercentAndEachCounterShare) {
  engine_fixture("2");
  auto got = drive("XMBENGD");
  ASSERT_TRUE(got) << log_.text();
  std::vector<std::string> first = {"0", "12", "25.0"}, second = {"1", "8", "0.0"};
  for (int i = 0; i < 8; ++i) {
    first.insert(first.end(), {"0.6", "60", "60.0"});
    second.insert(second.end(), {"0.4", "40", "40.0"});
  }
  EXPECT_EQ(fields(*got), (Rows{first, second}));
  EXPECT_TRUE(log_.has("ENGD0230", 'w',
                       "In cursor XMBENGD there is an attempt to divide by tck1=0: the quotient is assumed to be 1."));
  EXPECT_EQ(log_.count("ENGD0210"), 0);
}

TEST_F(MonitorProcedures, EngineLinesStopAtTheFirstHundredNumbers) {
  engine_fixture("3");
  auto got = drive("XMBENGD");
  ASSERT_TRUE(got) << log_.text();
  EXPECT_EQ(got->size(), 2u);
  EXPECT_TRUE(log_.has("ENGD0210", 't',
                       "Stopped selecting data for cursor XMBENGD. Found only 2 engines within first 100, wanted 3."));
}

TEST_F(MonitorProcedures, EngineSummarySumsEveryEngine) {
  engine_fixture("2");
  auto got = drive("XMBENGS");
  ASSERT_TRUE(got) << log_.text();
  std::vector<std::string> want = {"2", "25.0"};
  for (int i = 0; i < 8; ++i) want.insert(want.end(), {"1.0", "10.0", "100"});
  EXPECT_EQ(fields(*got), (Rows{want}));
  EXPECT_EQ(log_.count("ENGS0230"), 0);
}

TEST_F(MonitorProcedures, EmptyCacheMapGivesNoLines) {
  cache_fixture();
  add_cursor("CACHEMAP", {"CACHENAME", "BUFFERNAME"}, {});
  auto got = drive("XMBCACD");
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
}

TEST_F(MonitorProcedures, SqlActivityLinesWithZeroTransactionsTakenAsOne) {
  xmbv("3600", "4200");
  sysmon({{"access", "xacts", "0"},
          {"access", "ncinsert", "120"},
          {"access", "cinsert", "60"},
          {"access", "deferred_update", "120"},
          {"access", "direct_inplace_update", "60"},
          {"access", "direct_notinplace_update", "60"},
          {"access", "direct_expensive_update", "0"},
          {"access", "delete", "180"},
          {"access", "delete_deferred", "0"},
          {"other", "ncinsert", "5000"}});
  auto got = drive("XMBSQLD");
  ASSERT_TRUE(got);
  const Rows want = {{"Total SQL Activity", "1.0", "600.0", "600", "100.0"},
                     {"Inserted Total", "0.3", "180.0", "180", "30.0"},
                     {"Updated Total", "0.4", "240.0", "240", "40.0"},
                     {"Deleted Total", "0.3", "180.0", "180", "30.0"},
                     {"Inserted Heap Table", "0.2", "120.0", "120", "20.0"},
                     {"Inserted Clustered Table", "0.1", "60.0", "60", "10.0"},
                     {"Updated Deferred", "0.2", "120.0", "120", "20.0"},
                     {"Updated Direct In-place", "0.1", "60.0", "60", "10.0"},
                     {"Updated Direct Cheap", "0.1", "60.0", "60", "10.0"},
                     {"Deleted Deferred", "0.0", "0.0", "0", "0.0"},
                     {"Deleted Direct", "0.3", "180.0", "180", "30.0"}};
  EXPECT_EQ(fields(*got), want);
  EXPECT_EQ(log_.count("SQLD0160"), 0);
}

TEST_F(MonitorProcedures, SqlActivityWithZeroTotalTakesTheTotalAsOne) {
  xmbv("0", "60");
  sysmon({{"access", "xacts", "6"},     {"access", "ncinsert", "0"},
          {"access", "cinsert", "0"},   {"access", "deferred_update", "0"},
          {"access", "direct_inplace_update", "0"}, {"access", "direct_notinplace_update", "0"},
          {"access", "direct_expensive_update", "0"}, {"access", "delete", "0"},
          {"access", "delete_deferred", "0"}});
  auto got = drive("XMBSQLD");
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 11u);
  for (const auto& f : fields(*got)) EXPECT_EQ(f, (std::vector<std::string>{f[0], "0.0", "0.0", "0", "0.0"}));
}

// Lock requests: 30 + 20 EX-table and 50 SH-table of 100, every other type 0.
Rows lock_counters() {
  Rows rows = {{"access", "xacts", "10"}};
  for (const char* t : {"EX_TAB", "SH_TAB", "EX_INT", "SH_INT", "EX_PAGE", "UP_PAGE", "SH_PAGE", "EX_ADDR",
                        "SH_ADDR", "LAST_PG"}) {
    const std::string type = t;
    rows.push_back({"lock", "granted_" + type, type == "EX_TAB" ? "30" : type == "SH_TAB" ? "50" : "0"});
    rows.push_back({"lock", "waited_" + type, type == "EX_TAB" ? "20" : "0"});
  }
  return rows;
}

// Task switches: 600 + 400 over two engines; yields 100, buffer reads
// 50 + 50 over two caches, packets received 200, latch waits 30 + 20.
Rows task_counters() {
  Rows rows = {{"access", "xacts", "10"}, {"engine_0", "context_switches", "600"},
               {"engine_1", "context_switches", "400"}, {"kernel", "yields", "100"},
               {"buffer_0", "bufread_waits", "50"}, {"buffer_1", "bufread_waits", "50"},
               {"network", "packets_received", "200"}, {"lock", "waited_EX_LATCH", "30"},
               {"lock", "waited_SH_LATCH", "20"}};
  for (const Rows::value_type& zero : Rows{{"buffer_0", "bufwrite_waits"}, {"buffer_0", "bufstart_waits"},
                                           {"lock", "lock_waits"}, {"lock", "addr_lock_waits"},
                                           {"xls", "log_lock_waited"}, {"xls", "group_commit_sleeps"},
                                           {"xls", "last_log_page_writes"}, {"access", "changing_state_waits"},
                                           {"disk_0", "p_misses"}, {"network", "packets_sent"},
                                           {"access", "sysind_bufguess"}, {"xls", "plc_lock_waits"}})
    rows.push_back({zero[0], zero[1], "0"});
  return rows;
}

// Log activity: 200 flushes (80 full, 120 end of transaction), PLC lock
// calls 50 of which 10 waited, log semaphore 30 granted and 20 waited.
Rows log_counters() {
  return {{"access", "xacts", "10"},          {"xls", "plc_flush_full", "80"},
          {"xls", "plc_flush_endxact", "120"}, {"xls", "plc_flush_chgdb", "0"},
          {"xls", "plc_flush_syslogrec", "0"}, {"xls", "plc_flush_other", "0"},
          {"xls", "plc_lock_calls", "50"},     {"xls", "plc_lock_waits", "10"},
          {"xls", "log_lock_granted", "30"},   {"xls", "log_lock_waited", "20"}};
}

std::vector<std::string> zero_line(const char* label) { return {label, "0.0", "0.0", "0", "0.0"}; }

struct LabelledCase {
  const char* name;
  const char* procedure;
  Rows (*counters)();
  Rows want;  // over 100 seconds and 10 transactions
};

class LabelledProcedures : public MonitorProcedures, public ::testing::WithParamInterface<LabelledCase> {};

TEST_P(LabelledProcedures, EachLineGivesPerSecondPerTransactionCountAndPercent) {
  const LabelledCase& lc = GetParam();
  xmbv("1000", "1100");
  sysmon(lc.counters());
  auto got = drive(lc.procedure);
  ASSERT_TRUE(got) << log_.text();
  EXPECT_EQ(fields(*got), lc.want);
  EXPECT_EQ(log_.text().find("No rows in cursor SYSMON"), std::string::npos) << log_.text();
}

const Rows kTaskCommon = {
    {"Total Task Switches", "10.0", "100.0", "1000", "100.0"},
    {"Voluntary Yields", "1.0", "10.0", "100", "10.0"},
    {"Cache Search Misses", "1.0", "10.0", "100", "10.0"},
    zero_line("System Disk Writes"), zero_line("I/O Pacing"), zero_line("Logical Lock Contention"),
    zero_line("Address Lock Contention"), zero_line("Log Semaphore Contention"), zero_line("Group Commit Sleeps"),
    zero_line("Last Log Page Writes"), zero_line("Modify Conflicts"), zero_line("I/O Device Contention"),
    {"Network Packet Received", "2.0", "20.0", "200", "20.0"},
    zero_line("Network Packet Sent")};

Rows with(Rows rows, const Rows& more) {
  rows.insert(rows.end(), more.begin(), more.end());
  return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LabelledProcedures,
    ::testing::Values(
        LabelledCase{"Locks", "XMBLCKD", lock_counters,
                     {{"EX-Table Requests", "0.5", "5.0", "50", "50.0"},
                      {"SH-Table Requests", "0.5", "5.0", "50", "50.0"},
                      zero_line("EX-Intent Requests"), zero_line("SH-Intent Requests"),
                      zero_line("EX-Page Requests"), zero_line("UP-Page Requests"), zero_line("SH-Page Requests"),
                      zero_line("EX-Address Requests"), zero_line("SH-Address Requests"),
                      zero_line("Last Pg Locks Total")}},
        LabelledCase{"Log", "XMBLOGD", log_counters,
                     {{"Total PLC Flushes", "2.0", "20.0", "200", "100.0"},
                      {"Total PLC Semaphore Req", "0.5", "5.0", "50", "100.0"},
                      {"Total Log Semaphore Req", "0.5", "5.0", "50", "100.0"},
                      {"Flushes by Full PLC", "0.8", "8.0", "80", "40.0"},
                      {"Flushes by End Transaction", "1.2", "12.0", "120", "60.0"},
                      zero_line("Flushes by Change of Database"), zero_line("Flushes by System Log Record"),
                      zero_line("Flushes by Other"),
                      {"Granted PLC Semaphore Req", "0.4", "4.0", "40", "80.0"},
                      {"Waited PLC Semaphore Req", "0.1", "1.0", "10", "20.0"},
                      {"Granted Log Semaphore Req", "0.3", "3.0", "30", "60.0"},
                      {"Waited Log Semaphore Req", "0.2", "2.0", "20", "40.0"}}},
        LabelledCase{"TaskSwitches", "XMBTSKD", task_counters,
                     with(kTaskCommon, {zero_line("SYSINDEXES Lookup"), {"Other Causes", "6.0", "60.0", "600", "60.0"}})},
        LabelledCase{"TaskSwitchesWithLatches", "XMBTSK2", task_counters,
                     with(kTaskCommon, {{"Latch Contention", "0.5", "5.0", "50", "5.0"},
                                        zero_line("PLC Lock Contention"),
                                        {"Other Causes", "5.5", "55.0", "550", "55.0"}})}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  const char* procedure;
  bool with_xmbv_start, with_xmbv_stop, with_sysmon, with_cachemap;
  const char* id;
  char severity;
  const char* message;
};

class MonitorProcedureFailures : public MonitorProcedures, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MonitorProcedureFailures, FailsTheRunWithItsMessage) {
  const FailureCase& fc = GetParam();
  std::vector<std::string> xcols;
  if (fc.with_xmbv_start) xcols.push_back("STARTTIME");
  if (fc.with_xmbv_stop) xcols.push_back("STOPTIME");
  add_cursor("XMBV", xcols, {{"10", "20"}});
  if (fc.with_sysmon) sysmon({{"access", "xacts", "3"}});
  if (fc.with_cachemap) add_cursor("CACHEMAP", {"CACHENAME", "BUFFERNAME"}, {{"c", "buffer_0"}});
  EXPECT_FALSE(drive(fc.procedure));
  EXPECT_TRUE(log_.has(fc.id, fc.severity, fc.message)) << log_.text();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MonitorProcedureFailures,
    ::testing::Values(
        FailureCase{"UnknownName", "XMBNONE", true, true, true, true, "SMON010", 'e',
                    "Can't find a proc for cursor XMBNONE"},
        FailureCase{"NoStopTime", "XMBCACD", true, false, true, true, "CACD0100", 'e',
                    "Can't get column XMBV.STOPTIME"},
        FailureCase{"NoStartTime", "XMBCACD", false, true, true, true, "CACD0110", 'e',
                    "Can't get column XMBV.STARTTIME"},
        FailureCase{"NoSysmon", "XMBCACD", true, true, false, true, "CACD0030", 'e',
                    "Bad return from cursor SYSMON"},
        FailureCase{"NoCacheMap", "XMBCACD", true, true, true, false, "CACD0120", 'e',
                    "Cursor CACHEMAP not found "},
        FailureCase{"SqlNoStopTime", "XMBSQLD", true, false, true, true, "SQLD0100", 'e',
                    "Can't get column XMBV.STOPTIME"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorProcedures, NonNumericCounterFailsTheRunWithoutEndingTheProcess) {
  xmbv("0", "60");
  sysmon({{"access", "xacts", "many"}});
  lookup("SYSMON")->cols[2]->col_type = kColCharacter;  // a text column can hold no number
  add_cursor("CACHEMAP", {"CACHENAME", "BUFFERNAME"}, {});
  EXPECT_FALSE(drive("XMBCACD"));
  EXPECT_TRUE(log_.has("CACD0030", 'e', "Bad return from cursor SYSMON"));
}

// A cursor `name` served by the procedure of that name, with text columns
// `cols` ("a, b"), parsed into `defs` (with the dictionary it needs).
curs& internal_cursor(Definitions& defs, const std::string& name, const std::string& cols,
                      const LogCapture& log) {
  EXPECT_EQ(parse_dict_text(defs, "name ITEM;\ntype char(30);\nname PER_S;\ntype char(12);\nname PER_X;\ntype char(12);\n"
                            "name CNT;\ntype char(12);\nname PCT;\ntype char(12);\nend;\n"),
            0);
  std::string values, upper;
  for (char ch : cols) {
    values += ch == ' ' ? std::string(" :") : std::string(1, ch);
    upper += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  testing::parse_cursors("cursor " + name + ";\nINSERT INTO T (" + cols + ") VALUES (:" + values +
                         ");\nfetch_exit fetchxi1;\nscript smon " + name + ";\ninsert_select SELECT " +
                         upper + " FROM T;\nlimit 100;\n", defs);
  if (!defs.percent_cursor) create_percent_cursor(defs);
  curs* c = defs.find_cursor(name);
  if (!c) {
    ADD_FAILURE() << "no cursor " << name << "\n" << log.text();
    std::abort();
  }
  return *c;
}

void sql_activity_fixture() {
  xmbv("3600", "4200");
  sysmon({{"access", "xacts", "0"},
          {"access", "ncinsert", "120"},
          {"access", "cinsert", "60"},
          {"access", "deferred_update", "120"},
          {"access", "direct_inplace_update", "60"},
          {"access", "direct_notinplace_update", "60"},
          {"access", "direct_expensive_update", "0"},
          {"access", "delete", "180"},
          {"access", "delete_deferred", "0"}});
}

// The internal script exit hands the script's parameter to the procedures,
// and each labelled line fills the cursor's columns field by field.
TEST_F(MonitorProcedures, InternalScriptCursorGetsTheProcedureRowsColumnByColumn) {
  sql_activity_fixture();
  curs& c = internal_cursor(defs_, "XMBSQLD", "item, per_s, per_x, cnt, pct", log_);

  install_monitor_procedures(cx_, lookup);
  int32_t rows_out = 0;
  const int rc = run_cursor_fetch_exit(c, "20260101120000", rows_out);
  ASSERT_EQ(rc, 0) << log_.text();
  EXPECT_EQ(c.result_code, 100);
  std::vector<std::string> got;
  for (const row_data* r = c.stored.first(); r; r = r->next) {
    std::string line;
    for (const auto& col : c.cols)
      line += (line.empty() ? "" : "|") +
              u_stripx(std::string_view(r->data() + col->stored_offset, static_cast<std::size_t>(col->stored_length)), 'B');
    got.push_back(line);
  }
  ASSERT_EQ(got.size(), 11u);
  EXPECT_EQ(got[0], "Total SQL Activity|1.0|600.0|600|100.0");
  EXPECT_EQ(got[8], "Updated Direct Cheap|0.1|60.0|60|10.0");
}

// A procedure that fails fails its cursor's run only.
TEST_F(MonitorProcedures, FailingProcedureFailsTheCursorRunWithCodeMinusOne) {
  curs& c = internal_cursor(defs_, "XMBCACD", "item", log_);

  install_monitor_procedures(cx_, lookup);
  int32_t rows_out = 0;
  const int rc = run_cursor_fetch_exit(c, "20260101120000", rows_out);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(c.result_code, -1);
  EXPECT_TRUE(log_.has("CACD0030", 'e', "Bad return from cursor SYSMON"));
}

TEST(ProcedureLines, FieldsAreTabSeparatedPiecesWithBlanksKept) {
  EXPECT_EQ(procedureParsing("\tEX-Table Requests\t\t  1.5\t\t     7\t      ", 10),
            (std::vector<std::string>{"EX-Table Requests", "1.5", "7"}));
  EXPECT_EQ(procedureParsing("\ta\tb\tc\t", 2), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace qrx
