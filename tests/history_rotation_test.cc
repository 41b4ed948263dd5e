// History retention end to end: the collector binary rotating its history
// files at a size, for cursors of several record lengths, while it is
// stopped and killed at any moment; and the number of rotated files kept.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

// Three cursors over the same two rows, with records of different lengths;
// WIDE's two records are longer together than the rotation size.
constexpr const char* kCursors[] = {"NARROW", "MIDDLE", "WIDE"};
constexpr std::size_t kRotateBytes = 150;

class HistoryRotationTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    testing::run_sql((dir() / "DEMO.db").string(),
                     "CREATE TABLE stats (name VARCHAR2(4), wide VARCHAR2(40), val NUMBER(4));"
                     "INSERT INTO stats VALUES ('aa', 'x', 1), ('bbbb', 'yy', 2222);");
    write_file("qrxproc.ctl",
               "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
               "process historian;\ntype local;\ninterval 1;\nend;\n");
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
    write_file("qrxcoll.ctl",
               "cursor NARROW;\ninterval 1;\nhistory;\nsamples 1;\n"
               "INSERT INTO stats (val) VALUES (:val);\n"
               "cursor MIDDLE;\ninterval 1;\nhistory;\nsamples 1;\n"
               "INSERT INTO stats (name, val) VALUES (:name, :val);\n"
               "cursor WIDE;\ninterval 1;\nhistory;\nsamples 1;\n"
               "INSERT INTO stats (name, wide, val) VALUES (:name, :wide, :val);\nend;\n");
  }

  // The rotated files of `cursor`, oldest first, then the current one.
  std::vector<fs::path> files_of(const std::string& cursor) const {
    std::vector<std::pair<unsigned long, fs::path>> rotated;
    const std::string prefix = cursor + ".HST.";
    for (const auto& entry : fs::directory_iterator(dir())) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(prefix)) rotated.emplace_back(std::stoul(name.substr(prefix.size())), entry.path());
    }
    std::sort(rotated.begin(), rotated.end());
    std::vector<fs::path> out;
    for (const auto& r : rotated) out.push_back(r.second);
    if (fs::exists(dir() / (cursor + ".HST"))) out.push_back(dir() / (cursor + ".HST"));
    return out;
  }
  // Every record of `cursor` in the order written: its files one after another.
  std::string all_records(const std::string& cursor) const {
    std::string text;
    for (const fs::path& f : files_of(cursor)) text += testing::file_text(f.string());
    return text;
  }
  // The record length of `cursor`: a line of its current file.
  std::size_t record_length(const std::string& cursor) const {
    const std::string text = all_records(cursor);
    const std::size_t nl = text.find('\n');
    return nl == std::string::npos ? 0 : nl + 1;
  }
  std::string log_text() const { return testing::collector_log(dir()); }

  testing::CollectorProcess collector_;
};

TEST_F(HistoryRotationTest, KilledCollectorsLeaveEveryRecordOnceInWholeRunsAcrossTheFiles) {
  std::map<std::string, std::string> before;  // the records as they stood at each kill
  for (int round = 0; round < 4; ++round) {
    ASSERT_TRUE(collector_.start(dir(), "-rdbms DEMO -dbtype qrx",
                                 "COLL_HISTORY_ROTATE_SIZE=150"));
    // Each round lasts until WIDE has rotated once more.
    const std::size_t wide_files = files_of("WIDE").size();
    ASSERT_TRUE(testing::wait_until([&] { return files_of("WIDE").size() > wide_files + 1; }))
        << log_text();
    // Stopped first so that the files are read as the kill leaves them.
    kill(collector_.pid(), SIGSTOP);
    for (const char* cursor : kCursors) {
      const std::string now = all_records(cursor);
      EXPECT_TRUE(now.starts_with(before[cursor])) << cursor << " lost or rewrote records";
      before[cursor] = now;
    }
    const int status = collector_.stop(SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(status)) << log_text();
  }
  for (const char* cursor : kCursors) {
    const std::size_t record = record_length(cursor);
    ASSERT_GT(record, 15u) << cursor;
    const std::vector<fs::path> files = files_of(cursor);
    ASSERT_GE(files.size(), 3u) << cursor << " rotated more than once";
    EXPECT_EQ(all_records(cursor), before[cursor]) << cursor;
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string text = testing::file_text(files[i].string());
      const std::string name = files[i].filename().string();
      // Whole records, each run's two rows together in one file.
      ASSERT_EQ(text.size() % (2 * record), 0u) << name;
      for (std::size_t at = 0; at < text.size(); at += 2 * record) {
        EXPECT_EQ(text[at + record - 1], '\n') << name;
        EXPECT_EQ(text.substr(at, 14), text.substr(at + record, 14)) << name << " split a run";
      }
      // A rotated file stays within the size unless one run alone is larger.
      if (i + 1 < files.size()) {
        EXPECT_FALSE(text.empty()) << name;
        EXPECT_TRUE(text.size() <= kRotateBytes || text.size() == 2 * record)
            << name << " holds " << text.size() << " bytes";
      }
    }
    // Across the files the runs follow each other in time.
    const std::string text = all_records(cursor);
    for (std::size_t at = record; at < text.size(); at += record)
      EXPECT_LE(text.substr(at - record, 14), text.substr(at, 14)) << cursor << " at " << at;
  }
}

TEST_F(HistoryRotationTest, OnlyTheNewestRotatedFilesAreKept) {
  ASSERT_TRUE(collector_.start(dir(), "-rdbms DEMO -dbtype qrx",
                               "COLL_HISTORY_ROTATE_SIZE=100 COLL_HISTORY_KEEP=2"));
  ASSERT_TRUE(testing::wait_until([&] { return fs::exists(dir() / "MIDDLE.HST.4"); })) << log_text();
  const int status = collector_.stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log_text();
  const std::vector<fs::path> files = files_of("MIDDLE");
  ASSERT_EQ(files.size(), 3u);
  const std::string newest = files[1].filename().string();
  EXPECT_EQ(files[0].filename().string(),
            "MIDDLE.HST." + std::to_string(std::stoul(newest.substr(11)) - 1));
  EXPECT_EQ(files[2].filename().string(), "MIDDLE.HST");
  EXPECT_NE(log_text().find("CHI1660I"), std::string::npos) << log_text();
  EXPECT_NE(log_text().find(") History file " + (dir() / "MIDDLE.HST").string() + " rotated to " +
                            (dir() / "MIDDLE.HST.").string()),
            std::string::npos);
}

TEST_F(HistoryRotationTest, WithoutTheSettingsAFileIsNeverRotated) {
  ASSERT_TRUE(collector_.start(dir(), "-rdbms DEMO -dbtype qrx"));
  ASSERT_TRUE(testing::wait_until([&] { return all_records("WIDE").size() > 2 * kRotateBytes; }))
      << log_text();
  collector_.stop(SIGTERM);
  EXPECT_EQ(files_of("WIDE").size(), 1u);
  EXPECT_EQ(log_text().find("CHI166"), std::string::npos);
}

// What a collector killed between its rename and its next write leaves (a
// rotated file and no current one), with a gap in the numbers: the next
// rotation takes the number above the highest and never overwrites a file.
TEST_F(HistoryRotationTest, RotationAfterAKillGoesAboveTheHighestNumberAndOverwritesNothing) {
  const std::string first = "first file's records\n", third = "third file's records\n";
  write_file("MIDDLE.HST.1", first);
  write_file("MIDDLE.HST.3", third);
  ASSERT_TRUE(collector_.start(dir(), "-rdbms DEMO -dbtype qrx", "COLL_HISTORY_ROTATE_SIZE=100"));
  ASSERT_TRUE(testing::wait_until([&] { return fs::exists(dir() / "MIDDLE.HST.4"); })) << log_text();
  collector_.stop(SIGTERM);
  EXPECT_EQ(testing::file_text((dir() / "MIDDLE.HST.1").string()), first);
  EXPECT_EQ(testing::file_text((dir() / "MIDDLE.HST.3").string()), third);
  EXPECT_FALSE(fs::exists(dir() / "MIDDLE.HST.2"));
  const std::string fourth = testing::file_text((dir() / "MIDDLE.HST.4").string());
  EXPECT_FALSE(fourth.empty());
  EXPECT_LE(fourth.size(), 100u);
}

}  // namespace
}  // namespace qrx
