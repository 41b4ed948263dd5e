// The collector binary collecting a SQLite table turn after turn and its
// historian appending the rows to the cursor's history file.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

// One stored column: its value as the table holds it, its width in the row
// (what the fetch allows for the declared type) and whether it is a number.
struct Column {
  std::string value;
  std::size_t width;
  bool numeric;
};

// A stored row: every column blank-padded to its width (numbers to the
// right) and followed by one zero byte.
std::string stored_row(const std::vector<Column>& columns) {
  std::string row;
  for (const Column& col : columns) {
    const std::string pad(col.width - col.value.size(), ' ');
    row += col.numeric ? pad + col.value : col.value + pad;
    row.push_back('\0');
  }
  return row;
}

class HistoryRunTest : public testing::StartupTest {
 protected:
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    StartupTest::TearDown();
  }
  void make_database(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir() / "DEMO.db").c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
  }
  void start() {
    const std::string d = dir().string();
    const std::string command = "cd '" + d + "' && exec env -i PATH=/usr/bin:/bin HOME='" + d +
                                "' USER=tester COLL_HOME='" + d + "' COLL_CTL_HOME='" + d +
                                "' COLL_OUT='" + d + "' COLL_SHUTDOWN_WAIT=1 '" QRX_BINARY_DIR
                                "/qrxcoll' -rdbms DEMO -dbtype qrx >/dev/null 2>&1";
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  std::string log_text() {
    for (const auto& entry : fs::directory_iterator(dir()))
      if (entry.path().string().ends_with("col.out")) return testing::file_text(entry.path());
    return {};
  }
  std::string history() { return testing::file_text((dir() / "STATS.HST").string()); }
  // Waits (at most about 30 seconds) until the history holds `bytes` bytes.
  bool wait_for_history(std::size_t bytes) {
    for (int i = 0; i < 300; ++i) {
      if (history().size() >= bytes) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  int stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  pid_t pid_ = -1;
};

TEST_F(HistoryRunTest, HistoricianAppendsEachCollectionOnceByteForByte) {
  make_database("CREATE TABLE stats (name VARCHAR2(4), val NUMBER(4));"
                "INSERT INTO stats VALUES ('aa', 1), ('bbbb', 2222);");
  write_file("qrxproc.ctl",
             "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
             "process historian;\ntype local;\ninterval 2;\nend;\n");
  write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
  write_file("qrxcoll.ctl", "cursor STATS;\ninterval 1;\nhistory;\nsamples 1;\n"
                            "INSERT INTO stats (name, val) VALUES (:name, :val);\nend;\n");
  // A character column is fetched three bytes per character, a number with
  // its precision plus sign and point.
  const std::string rows[] = {stored_row({{"aa", 12, false}, {"1", 6, true}}),
                              stored_row({{"bbbb", 12, false}, {"2222", 6, true}})};
  const std::size_t record = 14 + rows[0].size() + 1;
  constexpr int kTurns = 3;
  start();
  ASSERT_TRUE(wait_for_history(kTurns * 2 * record)) << log_text();
  const int status = stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log_text();

  const std::string text = history();
  ASSERT_EQ(text.size() % record, 0u) << "only whole records";
  std::set<std::string> stamps;
  std::string previous;
  for (std::size_t at = 0, n = 0; at < text.size(); at += record, ++n) {
    const std::string stamp = text.substr(at, 14);
    EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << stamp;
    EXPECT_GE(stamp, previous);
    previous = stamp;
    stamps.insert(stamp);
    EXPECT_EQ(text.substr(at + 14, record - 14), rows[n % 2] + "\n") << "record " << n;
    if (n % 2 == 1) {
      EXPECT_EQ(text.substr(at - record, 14), stamp) << "a collection's rows share a stamp";
    }
  }
  EXPECT_EQ(stamps.size(), text.size() / record / 2) << "each collection written once";
  EXPECT_EQ(log_text().find("CHI16"), std::string::npos) << log_text();
}

}  // namespace
}  // namespace qrx
