// The real collector reading DICT.CTL and COLLECT.CTL at start-up.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#include "support/collector_process.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

class DefinitionsRunTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    write_file("xpaproc.ctl", "process collector;\n  type local;\n  interval 60;\nend;\n");
    write_file("xpadict.ctl", "name SERVER;\n  type char(8);\n  initial -rdbms X;\nend;\n");
  }
  // Runs qrxcoll in dir() with a clean environment and stops it with SIGTERM
  // once it is collecting; returns its message log. `status`: the exit status
  // expected.
  std::string run_collector(int status = 0) {
    const std::string d = dir().string();
    const std::string command = "cd '" + d + "' && exec env -i PATH=\"$PATH\" COLL_HOME='" + d +
                                "' COLL_OUT='" + d + "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d + "' COLL_SERVERID=ORCL COLL_LOGON=scott " +
                                "COLL_HOSTNAME=host COLL_SHUTDOWN_WAIT=0 '"
                                QRX_BINARY_DIR "/qrxcoll' -dbtype xpa " +
                                ">/dev/null 2>&1";
    const int ended = testing::run_until_collecting(dir(), command);
    EXPECT_TRUE(WIFEXITED(ended) && WEXITSTATUS(ended) == status) << ended;
    std::ifstream in(dir() / "host_pa_ORCL_col.out");
    std::stringstream log;
    log << in.rdbuf();
    return log.str();
  }
};

TEST_F(DefinitionsRunTest, GoodFilesAreParsedAndCollectionStarts) {
  write_file("xpacoll.ctl", "cursor ONE;\n  interval 10;\n  limit 5;\n"
                            "  INSERT INTO t (a) VALUES (:a);\nend;\n");
  const std::string log = run_collector();
  EXPECT_NE(log.find("-- Starting parse of DICT.CTL -- Time: "), std::string::npos) << log;
  EXPECT_NE(log.find("--  Dict Control Parsing ended at "), std::string::npos);
  EXPECT_NE(log.find("-- Starting parse of COLLECT.CTL -- Time = "), std::string::npos);
  EXPECT_NE(log.find("--  Collector Parsing ended at "), std::string::npos);
  EXPECT_EQ(log.find("Parsing ended with errors"), std::string::npos);
  EXPECT_NE(log.find("Start collecting."), std::string::npos);
}

TEST_F(DefinitionsRunTest, FaultyCursorFileListsEveryFaultAndStops) {
  write_file("xpacoll.ctl", "cursor ONE;\n  interval 1234567;\n  class 51;\n"
                            "  INSERT INTO t (a) VALUES (:a);\nend;\n");
  const std::string log = run_collector(22);
  EXPECT_NE(log.find("PCC0565E"), std::string::npos) << log;
  EXPECT_NE(log.find("Invalid interval length (5)\n"), std::string::npos);
  EXPECT_NE(log.find("PCC0700E"), std::string::npos);
  EXPECT_NE(log.find("PCC0755E"), std::string::npos);
  EXPECT_NE(log.find("Collector ended\n"), std::string::npos);
  EXPECT_EQ(log.find("Start collecting."), std::string::npos);
}

}  // namespace
}  // namespace qrx
