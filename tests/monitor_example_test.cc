// The monitor example end to end: the real collector on examples/monitor's
// control files and counter database (copied into the test's directory,
// with its own server id and channel), and the real probe reading the rows
// the built-in procedures derived.

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

class MonitorExampleTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    static int counter = 0;
    char id[16];
    std::snprintf(id, sizeof id, "M%05d%02d", static_cast<int>(getpid() % 100000), ++counter % 100);
    server_ = id;
    const fs::path example = QRX_SOURCE_DIR "/examples/monitor";
    for (const auto& entry : fs::directory_iterator(example))
      if (entry.path().extension() == ".ctl") fs::copy_file(entry.path(), dir() / entry.path().filename());
    std::ifstream in(example / "monitor.sql");
    std::stringstream sql;
    sql << in.rdbuf();
    testing::run_sql((dir() / (server_ + ".db")).string(), sql.str());
  }
  void TearDown() override {
    if (collector_.pid() > 0) collector_.stop(SIGTERM);
    StartupTest::TearDown();
  }
  // The settings of this test's collector and probe, as shell words.
  std::string settings() const {
    return "COLL_SERVERID=" + server_ +
           " COLL_HOSTNAME=host COLL_VERSION=qrx COLL_USESHM=0 COLL_DB_DRIVER=sqlite"
           " COLL_SHUTDOWN_WAIT=0 COLL_WAIT_TIMEOUT=1 WAIT_TIMEOUT=20 ";
  }
  void start() {
    ASSERT_TRUE(collector_.start(dir(), "-rdbms " + server_ + " -logonid demo -dbtype qrx", settings()));
  }
  // The CSV rows (header dropped) the probe prints for `cursor`.
  std::vector<std::string> probe_rows(const std::string& cursor) {
    const std::string d = dir().string();
    const std::string command = "cd '" + d + "' && env -i PATH=/usr/bin:/bin HOME='" + d +
                                "' USER=tester COLL_HOME='" + d + "' COLL_CTL_HOME='" + d + "' COLL_OUT='" + d +
                                "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d + "' " +
                                settings() + "'" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server_ +
                                " -dbtype qrx --csv get " + cursor + " 2>/dev/null";
    std::vector<std::string> rows;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
      char line[8192];
      bool header = true;
      while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (!header) rows.push_back(text);
        header = false;
      }
      pclose(pipe);
    }
    return rows;
  }

  std::string server_;
  testing::CollectorProcess collector_;
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

}  // namespace
}  // namespace qrx
