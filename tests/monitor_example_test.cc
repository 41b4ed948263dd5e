// The monitor example end to end: the real collector on examples/monitor's
// control files and counter database (copied into the test's directory,
// with its own server id and channel), and the real probe reading the rows
// the built-in procedures derived.

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/collections.h"
#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

class MonitorExampleTest : public testing::SqliteCollectorTest {
 protected:
  void SetUp() override {
    SqliteCollectorTest::SetUp();
    server_ = testing::own_server_id('M');
    const fs::path example = QRX_SOURCE_DIR "/examples/monitor";
    for (const auto& entry : fs::directory_iterator(example))
      if (entry.path().extension() == ".ctl") fs::copy_file(entry.path(), dir() / entry.path().filename());
    std::ifstream in(example / "monitor.sql");
    std::stringstream sql;
    sql << in.rdbuf();
    testing::run_sql((dir() / (server_ + ".db")).string(), sql.str());
  }
  void start() {
    ASSERT_TRUE(collector_.start(dir(), "-rdbms " + server_ + " -logonid demo -dbtype qrx", settings()));
  }
  // The lines the probe prints for `command` ("get CURSOR", "status") in CSV.
  std::vector<std::string> probe_lines(const std::string& command) {
    return testing::probe_csv(dir().string(), settings(), server_, command);
  }
  // The CSV rows (header dropped) the probe prints for `cursor`.
  std::vector<std::string> probe_rows(const std::string& cursor) {
    std::vector<std::string> rows = probe_lines("get " + cursor);
    if (!rows.empty()) rows.erase(rows.begin());
    return rows;
  }
  std::string probe_status() {
    std::string text;
    for (const std::string& line : probe_lines("status")) text += line + "\n";
    return text;
  }
  std::string database() const { return (dir() / (server_ + ".db")).string(); }
};

// Every cursor keeps one sample, so from the second collection on each
// counter cursor also holds the sample before until its next run prunes it;
// the procedures read only the current one.
TEST_F(MonitorExampleTest, ProceduresReadOnlyTheCurrentSampleFromTheSecondCollectionOn) {
  std::string ctl = testing::file_text((dir() / "qrxcoll.ctl").string());
  const std::string cursor = "cursor XMBCACD;\n";
  ASSERT_NE(ctl.find(cursor), std::string::npos);
  ctl.insert(ctl.find(cursor) + cursor.size(), "  trace;\n");
  write_file("qrxcoll.ctl", ctl);
  start();
  ASSERT_TRUE(testing::wait_until([&] {
    return testing::occurrences(testing::collector_log(dir()), "collected records in") >= 2;
  })) << testing::collector_log(dir());
  const std::vector<std::string> cache = probe_rows("XMBCACD");
  ASSERT_EQ(cache.size(), 1u) << testing::collector_log(dir());
  EXPECT_EQ(cache[0].substr(0, 48), "default data cache,2.0,4.0,1200,1.5,3.0,900,75.0");
  EXPECT_EQ(probe_rows("XMBLOGS"), std::vector<std::string>{"40,30,12,600,120,240,192"});
}

TEST_F(MonitorExampleTest, ProbeReadsTheFiguresTheProceduresDerivedFromTheCounters) {
  start();
  std::vector<std::string> sql;
  ASSERT_TRUE(testing::wait_until([&] { return (sql = probe_rows("XMBSQLD")).size() == 11; }))
      << testing::collector_log(dir());
  // Ten minutes across midnight, 300 transactions (see examples/monitor/README.md).
  EXPECT_EQ(sql[0], "Total SQL Activity,1.0,2.0,600,100.0");
  EXPECT_EQ(sql[2], "Updated Total,0.4,0.8,240,40.0");
  // Large-I/O grabs: every bufgrab_ counter but bufgrab_2k, 120 + 60 + 6 = 186.
  const std::vector<std::string> cache = probe_rows("XMBCACD");
  ASSERT_EQ(cache.size(), 1u) << testing::collector_log(dir());
  EXPECT_EQ(cache[0],
            "default data cache,2.0,4.0,1200,1.5,3.0,900,75.0,0.5,1.0,300,25.0,0.1,0.2,60,33.3,"
            "0.2,0.4,120,66.7,0.1,0.2,60,50.0,0.1,0.2,60,50.0,0.3,0.6,186,0.1,0.2,60,32.3");
  // Devices: 300 of the 600 reads and writes of all disks were master's reads.
  const std::vector<std::string> devices = probe_rows("XMBSDEVD");
  ASSERT_EQ(devices.size(), 2u) << testing::collector_log(dir());
  EXPECT_EQ(devices[0].substr(0, 32), "master,/dev/vdb1,0.5,1.0,300,50.");
  // Engines: busy 1500 of 6000 ticks, and 600 of 6000.
  const std::vector<std::string> engines = probe_rows("XMBENGD");
  ASSERT_EQ(engines.size(), 2u) << testing::collector_log(dir());
  EXPECT_EQ(engines[0].substr(0, 10), "0,14,25.0,");
  EXPECT_EQ(engines[1].substr(0, 9), "1,9,10.0,");
  // Every other procedure cursor has its rows.
  const std::pair<const char*, std::size_t> others[] = {
      {"XMBCACS", 1}, {"XMBENGS", 1}, {"XMBLCKD", 10}, {"XMBLCKS", 1}, {"XMBLOGD", 12},
      {"XMBLOGS", 1}, {"XMBTSKD", 16}, {"XMBTSK2", 17}};
  for (const auto& [cursor, rows] : others)
    EXPECT_EQ(probe_rows(cursor).size(), rows) << cursor;
  EXPECT_EQ(probe_rows("XMBLOGS")[0], "40,30,12,600,120,240,192");
}

// ---- Steady state: the counters change between collections

// One collection's counter differences (sample 2 minus sample 1) of the
// counters the test changes, and the seconds between the samples.
struct Counters {
  int interval;
  std::map<std::string, int> delta;
};

std::string one_decimal(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}
std::string whole(double v) { return std::to_string(static_cast<int>(v)); }
double at_least_1(double v) { return v == 0 ? 1 : v; }

// A value per second, per transaction and the count.
std::string rates(double n, double interval, double xacts, const std::string& count) {
  return one_decimal(n / interval) + "," + one_decimal(n / xacts) + "," + count;
}

// The figures XMBCACD shows after a cache's name (XMBCACS shows them alone):
// searches; hits and misses with their share of searches; LRU and MRU
// unkeeps with their share of both; prefetches done and denied with their
// share of requests; large-I/O grabs (every bufgrab_ counter but
// bufgrab_2k); references with their share of grabs. A zero total counts 1.
std::string cache_figures(const Counters& c) {
  auto d = [&](const char* name) { return static_cast<double>(c.delta.at(name)); };
  const double s = c.interval, x = at_least_1(d("xacts"));
  const double hits = d("bufsearch_finds"), misses = d("bufsearch_calls") - hits;
  const double searches = at_least_1(d("bufsearch_calls"));
  const double lru = d("bufunkeep_lru"), mru = d("bufunkeep_mru"), unkeeps = at_least_1(lru + mru);
  const double done = d("prefetch_as_requested") + d("prefetch_page_realigned");
  const double denied = d("prefetch_req") - done, requests = at_least_1(d("prefetch_req"));
  const double grabs = d("bufgrab_16k") + d("bufgrab_ref_16K") + d("bufgrab_dirty_2k");
  const double grab_total = at_least_1(grabs), refs = d("bufgrab_ref_16K");
  auto share = [](double n, double of) { return "," + one_decimal(n * 100 / of); };
  return rates(searches, s, x, whole(searches)) + "," + rates(hits, s, x, whole(hits)) +
         share(hits, searches) + "," + rates(misses, s, x, whole(misses)) + share(misses, searches) +
         "," + rates(lru, s, x, whole(lru)) + share(lru, unkeeps) + "," + rates(mru, s, x, whole(mru)) +
         share(mru, unkeeps) + "," + rates(done, s, x, whole(done)) + share(done, requests) + "," +
         rates(denied, s, x, whole(denied)) + share(denied, requests) + "," +
         rates(grabs, s, x, whole(grab_total)) + "," + rates(refs, s, x, whole(refs)) +
         share(refs, grab_total);
}

// XMBSQLD's rows: each kind of SQL activity, its rates, count and share of all.
std::vector<std::string> sql_rows(const Counters& c) {
  const std::vector<std::string> all = {"ncinsert", "cinsert", "deferred_update", "direct_inplace_update",
                                        "direct_notinplace_update", "direct_expensive_update",
                                        "delete", "delete_deferred"};
  const std::pair<const char*, std::vector<std::string>> items[] = {
      {"Total SQL Activity", all},
      {"Inserted Total", {"ncinsert", "cinsert"}},
      {"Updated Total",
       {"deferred_update", "direct_inplace_update", "direct_notinplace_update", "direct_expensive_update"}},
      {"Deleted Total", {"delete", "delete_deferred"}},
      {"Inserted Heap Table", {"ncinsert"}},
      {"Inserted Clustered Table", {"cinsert"}},
      {"Updated Deferred", {"deferred_update"}},
      {"Updated Direct In-place", {"direct_inplace_update"}},
      {"Updated Direct Cheap", {"direct_notinplace_update"}},
      {"Deleted Deferred", {"delete_deferred"}},
      {"Deleted Direct", {"delete"}}};
  auto sum = [&](const std::vector<std::string>& names) {
    double v = 0;
    for (const std::string& n : names) v += c.delta.at(n);
    return v;
  };
  const double x = at_least_1(c.delta.at("xacts"));
  std::vector<std::string> rows;
  for (const auto& [label, names] : items) {
    const double n = sum(names);
    rows.push_back(std::string(label) + "," + rates(n, c.interval, x, whole(n)) + "," +
                   one_decimal(n * 100 / at_least_1(sum(all))));
  }
  return rows;
}

// Rewrites sample 2 so that the counters of `c` differ by its deltas from
// sample 1 and the samples lie `c.interval` seconds apart.
void write_counters(const std::string& db, const Counters& c) {
  std::string sql = "BEGIN;UPDATE samples SET secs = " + std::to_string((86100 + c.interval) % 86400) +
                    " WHERE sample = 2;";
  for (const auto& [name, delta] : c.delta)
    sql += "UPDATE counters SET fldvalue = (SELECT a.fldvalue FROM counters a WHERE a.sample = 1 "
           "AND a.groupname = counters.groupname AND a.fldname = counters.fldname) + " +
           std::to_string(delta) + " WHERE sample = 2 AND fldname = '" + name + "';";
  testing::run_sql(db, sql + "COMMIT;");
}

TEST_F(MonitorExampleTest, EveryCollectionDerivesTheFiguresOfTheCountersItRead) {
  const std::map<std::string, int> first = {
      {"xacts", 300}, {"ncinsert", 120}, {"cinsert", 60}, {"deferred_update", 120},
      {"direct_inplace_update", 60}, {"direct_notinplace_update", 60}, {"direct_expensive_update", 0},
      {"delete", 180}, {"delete_deferred", 0}, {"bufsearch_calls", 1200}, {"bufsearch_finds", 900},
      {"bufunkeep_lru", 60}, {"bufunkeep_mru", 120}, {"prefetch_req", 120},
      {"prefetch_as_requested", 48}, {"prefetch_page_realigned", 12}, {"bufgrab_16k", 120},
      {"bufgrab_2k", 999}, {"bufgrab_ref_16K", 60}, {"bufgrab_dirty_2k", 6}};
  // monitor.sql's own figures, then two other intervals and mixes, the last
  // with no transactions, no unkeeps, no prefetches and no grabs (each total
  // taken as 1).
  const Counters collections[] = {
      {600, first},
      {1200, {{"xacts", 400}, {"ncinsert", 200}, {"cinsert", 40}, {"deferred_update", 100},
              {"direct_inplace_update", 30}, {"direct_notinplace_update", 20},
              {"direct_expensive_update", 10}, {"delete", 50}, {"delete_deferred", 30},
              {"bufsearch_calls", 3000}, {"bufsearch_finds", 2100}, {"bufunkeep_lru", 90},
              {"bufunkeep_mru", 30}, {"prefetch_req", 200}, {"prefetch_as_requested", 100},
              {"prefetch_page_realigned", 20}, {"bufgrab_16k", 300}, {"bufgrab_2k", 5},
              {"bufgrab_ref_16K", 75}, {"bufgrab_dirty_2k", 25}}},
      {300, {{"xacts", 0}, {"ncinsert", 0}, {"cinsert", 0}, {"deferred_update", 0},
             {"direct_inplace_update", 0}, {"direct_notinplace_update", 0},
             {"direct_expensive_update", 0}, {"delete", 7}, {"delete_deferred", 0},
             {"bufsearch_calls", 500}, {"bufsearch_finds", 500}, {"bufunkeep_lru", 0},
             {"bufunkeep_mru", 0}, {"prefetch_req", 0}, {"prefetch_as_requested", 0},
             {"prefetch_page_realigned", 0}, {"bufgrab_16k", 0}, {"bufgrab_2k", 40},
             {"bufgrab_ref_16K", 0}, {"bufgrab_dirty_2k", 0}}},
      {600, first},
  };
  // The cursors of one collection, in the order they run.
  testing::CollectionWaiter waiter([&] { return probe_status(); },
                                   {"SYSMON", "XMBV", "CACHEMAP", "SYSDEV", "SYSCCONF", "ENGINFO",
                                    "XMBCACD", "XMBSQLD", "XMBCACS", "XMBSDEVD", "XMBENGD",
                                    "XMBENGS", "XMBLCKD", "XMBLCKS", "XMBLOGD", "XMBLOGS",
                                    "XMBTSKD", "XMBTSK2"});
  waiter.mark();
  start();
  for (std::size_t i = 0; i < std::size(collections); ++i) {
    const Counters& c = collections[i];
    SCOPED_TRACE("collection " + std::to_string(i + 1));
    if (i > 0) {
      write_counters(database(), c);
      waiter.mark();
    }
    ASSERT_TRUE(waiter.next()) << waiter.last_status() << testing::collector_log(dir());
    EXPECT_EQ(probe_rows("XMBCACD"),
              std::vector<std::string>{"default data cache," + cache_figures(c)});
    EXPECT_EQ(probe_rows("XMBCACS"), std::vector<std::string>{cache_figures(c)});
    EXPECT_EQ(probe_rows("XMBSQLD"), sql_rows(c));
    // Counters the test leaves alone give the same figures every time.
    const std::vector<std::string> engines = probe_rows("XMBENGD");
    ASSERT_EQ(engines.size(), 2u);
    EXPECT_EQ(engines[0].substr(0, 10), "0,14,25.0,");
    EXPECT_EQ(engines[1].substr(0, 9), "1,9,10.0,");
    EXPECT_EQ(probe_rows("XMBLOGS"), std::vector<std::string>{"40,30,12,600,120,240,192"});
    const std::pair<const char*, std::size_t> others[] = {
        {"XMBSDEVD", 2}, {"XMBENGS", 1}, {"XMBLCKD", 10}, {"XMBLCKS", 1},
        {"XMBLOGD", 12}, {"XMBTSKD", 16}, {"XMBTSK2", 17}};
    for (const auto& [cursor, rows] : others) EXPECT_EQ(probe_rows(cursor).size(), rows) << cursor;
  }
}

}  // namespace
}  // namespace qrx
