#include "base/control_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <ostream>

#include "base/settings.h"
#include "base/trace.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

class ControlFilesTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    env_vars.coll_home = (dir() / "home").string();
    env_vars.ctl_home = (dir() / "ctl").string();
    env_vars.serverid = "ORCL";
    env_vars.db_type = "xpa";
    std::filesystem::create_directories(dir() / "home");
    std::filesystem::create_directories(dir() / "ctl");
  }

  // The path opened for `base`, relative to dir(), or "" when none.
  std::string opened(const char* base) {
    std::string path;
    FilePtr file = u_openInputFile(base, &path);
    if (!file) return "";
    return std::filesystem::path(path).lexically_relative(dir()).string();
  }
};

TEST_F(ControlFilesTest, SearchOrderServerDirectoryPrefixHomeControlHome) {
  const char* places[] = {"home/ORCL/xpacoll.ctl", "home/ORCL_xpacoll.ctl", "home/xpacoll.ctl",
                          "ctl/xpacoll.ctl"};
  for (const char* place : places) write_file(place, "x");
  for (const char* place : places) {
    EXPECT_EQ(opened("coll"), place);
    std::filesystem::remove(dir() / place);
  }
  EXPECT_EQ(opened("coll"), "");
}

TEST_F(ControlFilesTest, OpenedFileIsLoggedAndReadable) {
  testing::LogCapture log;
  write_file("ctl/xpadict.ctl", "content");
  FilePtr file = u_openInputFile("dict");
  ASSERT_TRUE(file);
  char buffer[16] = {};
  ASSERT_NE(std::fgets(buffer, sizeof buffer, file.get()), nullptr);
  EXPECT_STREQ(buffer, "content");
  EXPECT_NE(log.text().find("UOI0025I"), std::string::npos) << log.text();
  EXPECT_NE(log.text().find("File " + (dir() / "ctl/xpadict.ctl").string() + " opened\n"),
            std::string::npos);
}

TEST_F(ControlFilesTest, MissingFileIsReportedOnceAndFailedAttemptsOnlyWhenTracing) {
  testing::LogCapture log;
  EXPECT_FALSE(u_openInputFile("proc"));
  std::string text = log.text();
  EXPECT_NE(text.find("UOI0055E"), std::string::npos) << text;
  EXPECT_NE(text.find("Could not find a xpaproc.ctl file\n"), std::string::npos);
  EXPECT_EQ(text.find("Could not open"), std::string::npos);
  trace_all = 1;
  EXPECT_FALSE(u_openInputFile("proc"));
  EXPECT_NE(log.text().find("Could not open " + (dir() / "home/ORCL/xpaproc.ctl").string()),
            std::string::npos);
}

TEST_F(ControlFilesTest, AliasCodeIsTriedAfterTheOwnCode) {
  testing::LogCapture log;
  env_vars.db_type = "xfw";
  reset_db_type_cache();
  write_file("home/xpatrac.ctl", "x");
  EXPECT_EQ(opened("trac"), "home/xpatrac.ctl");
  EXPECT_NE(log.text().find("Could not find a xfwtrac.ctl file\n"), std::string::npos);
}

TEST_F(ControlFilesTest, EmptySettingsLeaveTheirDirectoryPartOut) {
  env_vars.serverid.clear();
  env_vars.coll_home.clear();
  env_vars.ctl_home = dir().string();
  write_file("xpaeval.ctl", "x");
  EXPECT_EQ(opened("eval"), "xpaeval.ctl");
}

TEST_F(ControlFilesTest, DirectoryWithTheFileNameIsSkipped) {
  std::filesystem::create_directories(dir() / "home/ORCL/xpacoll.ctl");
  write_file("ctl/xpacoll.ctl", "x");
  EXPECT_EQ(opened("coll"), "ctl/xpacoll.ctl");
}

// Something other than a readable regular file where a control file is looked for first.
struct NotAControlFile {
  const char* name;
  // Makes it at `path`; a descriptor to close afterwards, or -1.
  std::function<int(const std::string& path)> make;
  const char* id;      // the message that reports it
  const char* before;  // its text: before, the path, after
  const char* after;
};
void PrintTo(const NotAControlFile& c, std::ostream* os) { *os << c.name; }

const NotAControlFile kNotControlFiles[] = {
    // A writer keeps the FIFO open, so that a blocking open would not hang but open it.
    {"Fifo",
     [](const std::string& path) {
       EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
       return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
     },
     "UOI0040E", "", " is not a regular file, skipped\n"},
    {"Directory",
     [](const std::string& path) {
       std::filesystem::create_directories(path);
       return -1;
     },
     "UOI0040E", "", " is not a regular file, skipped\n"},
    {"LinkToItself",
     [](const std::string& path) {
       EXPECT_EQ(::symlink(path.c_str(), path.c_str()), 0);
       return -1;
     },
     "UOI0045E", "Could not read ", ": Too many levels of symbolic links\n"},
    {"UnreadableFile",
     [](const std::string& path) {
       std::fclose(std::fopen(path.c_str(), "w"));
       EXPECT_EQ(::chmod(path.c_str(), 0), 0);
       return -1;
     },
     "UOI0045E", "Could not read ", ": Permission denied\n"},
};

class NotAControlFileTest : public ControlFilesTest,
                            public ::testing::WithParamInterface<NotAControlFile> {};

TEST_P(NotAControlFileTest, IsReportedWithItsReasonAndTheSearchGoesOn) {
  if (std::string(GetParam().name) == "UnreadableFile" && geteuid() == 0)
    GTEST_SKIP() << "this user reads every file";
  testing::LogCapture log;
  const std::string first = (dir() / "home/ORCL/xpacoll.ctl").string();
  std::filesystem::create_directories(dir() / "home/ORCL");
  const int held = GetParam().make(first);
  write_file("ctl/xpacoll.ctl", "x");
  EXPECT_EQ(opened("coll"), "ctl/xpacoll.ctl");
  const std::string text = log.text();
  const size_t at = text.find(std::string(GetParam().id) + " (");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_EQ(text.substr(at + 18, text.find('\n', at) + 1 - (at + 18)),
            GetParam().before + first + GetParam().after);
  EXPECT_EQ(text.find("Could not find"), std::string::npos) << text;
  if (held >= 0) ::close(held);
}

INSTANTIATE_TEST_SUITE_P(Kinds, NotAControlFileTest, ::testing::ValuesIn(kNotControlFiles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qrx
