// The environment file that a reload reads again: its NAME=value lines, the
// faults that refuse the whole file, and the checks on who may read it.

#include "base/env_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace qrx {
namespace {

using Assignments = std::vector<EnvAssignment>;

TEST(EnvFileTest, LinesBecomeAssignmentsInFileOrder) {
  testing::LogCapture log;
  const auto got = parse_env_text(
      "# collector ORCL\n"
      "\n"
      "COLL_SERVERID=ORCL\n"
      "  COLL_LOGON = monitor  \n"
      "; a comment\n"
      "COLL_PASSWORD=\"{scrambled} x=y\"\n"
      "COLL_HOME='/var/lib/qrxcoll'\n"
      "COLL_DEBUG=\n"
      "LAST=no newline",
      "orcl.env");
  ASSERT_TRUE(got.has_value()) << log.text();
  EXPECT_EQ(*got, (Assignments{{"COLL_SERVERID", "ORCL"},
                               {"COLL_LOGON", "monitor"},
                               {"COLL_PASSWORD", "{scrambled} x=y"},
                               {"COLL_HOME", "/var/lib/qrxcoll"},
                               {"COLL_DEBUG", ""},
                               {"LAST", "no newline"}}));
}

TEST(EnvFileTest, AnyFaultyLineRefusesTheWholeFileAndNamesEachLine) {
  const struct {
    const char* line;
  } cases[] = {{"no equals sign"}, {"=hunter2"}, {"1NAME=x"}, {"NA-ME=x"},
               {"Q=\"open"},       {"Q='a'b'"}};
  for (const auto& k : cases) {
    testing::LogCapture log;
    const std::string text = std::string("GOOD=1\n") + k.line + "\nALSO=2\n";
    EXPECT_FALSE(parse_env_text(text, "s.env").has_value()) << k.line;
    EXPECT_TRUE(log.has("uen0062", 'e', "s.env:2: not a NAME=value line")) << k.line << log.text();
    EXPECT_EQ(log.text().find(k.line), std::string::npos) << "a line may hold the password";
  }
}

TEST(EnvFileTest, OnlyAPrivateRegularFileOfThisUserIsRead) {
  testing::TempDir dir;
  const std::string path = dir.file("s.env");
  std::ofstream(path) << "COLL_PASSWORD=secret\n";
  const struct {
    mode_t mode;
    bool read;
  } cases[] = {{0600, true}, {0400, true}, {0640, false}, {0604, false}, {0620, false}};
  for (const auto& k : cases) {
    testing::LogCapture log;
    ASSERT_EQ(::chmod(path.c_str(), k.mode), 0);
    const auto got = read_env_file(path);
    EXPECT_EQ(got.has_value(), k.read) << std::oct << k.mode;
    if (k.read) {
      EXPECT_EQ(*got, (Assignments{{"COLL_PASSWORD", "secret"}}));
    } else {
      EXPECT_EQ(log.count("uen0061"), 1) << log.text();
    }
  }
  // A symbolic link is never followed, and a missing file is a fault.
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(::symlink(path.c_str(), dir.file("link.env").c_str()), 0);
  for (const std::string& name : {std::string("link.env"), std::string("missing.env")}) {
    testing::LogCapture log;
    EXPECT_FALSE(read_env_file(dir.file(name)).has_value()) << name;
    EXPECT_EQ(log.count("uen0060"), 1) << name << log.text();
  }
}

TEST(EnvFileTest, AssignmentsReachTheEnvironment) {
  ASSERT_EQ(apply_env_assignments({{"QRX_ENV_FILE_TEST", "two words"}}), 0);
  EXPECT_STREQ(std::getenv("QRX_ENV_FILE_TEST"), "two words");
  ::unsetenv("QRX_ENV_FILE_TEST");
}

}  // namespace
}  // namespace qrx
