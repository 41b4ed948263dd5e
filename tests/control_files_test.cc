#include "base/control_files.h"

#include <gtest/gtest.h>

#include <filesystem>

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

}  // namespace
}  // namespace qrx
