// The collector binary collecting a SQLite table turn after turn and its
// historian appending the rows to the cursor's history file.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

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
  std::string log_text() { return testing::collector_log(dir()); }
  std::string history() { return testing::file_text((dir() / "STATS.HST").string()); }
  testing::CollectorProcess collector_;
};

TEST_F(HistoryRunTest, HistorianAppendsEachCollectionOnceByteForByte) {
  testing::run_sql((dir() / "DEMO.db").string(),
                   "CREATE TABLE stats (name VARCHAR2(4), val NUMBER(4));"
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
  ASSERT_TRUE(collector_.start(dir(), "-rdbms DEMO -dbtype qrx"));
  ASSERT_TRUE(testing::wait_until([&] { return history().size() >= kTurns * 2 * record; })) << log_text();
  const int status = collector_.stop(SIGTERM);
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

TEST_F(HistoryRunTest, HistoryAndLogFilesGetTheirOwnModesWhateverTheUmask) {
  testing::run_sql((dir() / "DEMO.db").string(),
                   "CREATE TABLE stats (name VARCHAR2(4), val NUMBER(4));"
                   "INSERT INTO stats VALUES ('aa', 1);");
  write_file("qrxproc.ctl",
             "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
             "process historian;\ntype local;\ninterval 1;\nend;\n");
  write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
  write_file("qrxcoll.ctl", "cursor STATS;\ninterval 1;\nhistory;\n"
                            "INSERT INTO stats (name, val) VALUES (:name, :val);\nend;\n");
  // The collector inherits the umask that lets everyone write.
  const mode_t saved = umask(0);
  const bool started = collector_.start(dir(), "-rdbms DEMO -dbtype qrx");
  umask(saved);
  ASSERT_TRUE(started);
  ASSERT_TRUE(testing::wait_until([&] { return !history().empty(); })) << log_text();
  collector_.stop(SIGTERM);
  std::vector<std::string> checked;
  for (const auto& entry : std::filesystem::directory_iterator(dir())) {
    const std::string name = entry.path().filename().string();
    if (name != "STATS.HST" && !name.ends_with("col.out")) continue;
    struct stat st {};
    ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    checked.push_back(name);
  }
  EXPECT_EQ(checked.size(), 2u);
}

}  // namespace
}  // namespace qrx
