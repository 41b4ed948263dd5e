// The check a reload runs before it restarts: a run of the program with
// --check under the environment file's settings, whose faults reach the log
// with their locations and whose exit status alone decides; programs that
// stand in for the collector answer with what a real check prints.

#include "collector/reload.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "collector/scheduler.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

// Prints a notice and a fault with its location, as --check does, unless
// the environment holds the new setting; checks that it was run with --check.
constexpr char kStandIn[] =
    "#!/bin/sh\n"
    "[ \"$1\" = --check ] && [ \"$2\" = -rdbms ] || exit 3\n"
    "[ \"$QRX_RELOAD_SETTING\" = new ] && exit 0\n"
    "echo 'PCC0301I (120000) -- Starting parse of COLLECT.CTL' >&2\n"
    "echo 'PCC0315E (120000) Unknown keyword (bogus)' >&2\n"
    "echo '  at qrxcoll.ctl:6, cursor STATS' >&2\n"
    "exit 22\n";

class ReloadCheckTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    const auto program = write_file("qrxcoll", kStandIn);
    ::chmod(program.c_str(), 0700);
    program_words = {program.string(), "-rdbms", "DEMO"};
    set_env("QRX_RELOAD_SETTING", "old");
    set_env("COLL_ENV_FILE", nullptr);
  }
  void TearDown() override {
    program_words.clear();
    signal(SIGCHLD, SIG_DFL);
    StartupTest::TearDown();
  }
  void use_env_file(const std::string& text) {
    const auto file = write_file("DEMO.env", text);
    ::chmod(file.c_str(), 0600);
    set_env("COLL_ENV_FILE", file.c_str());
  }
  testing::LogCapture log;
};

TEST_F(ReloadCheckTest, FaultsAreLoggedWithTheirLocationsAndTheEnvironmentStays) {
  EXPECT_EQ(check_reload(), 1);
  const std::string text = log.text();
  EXPECT_NE(text.find("PCC0315E (120000) Unknown keyword (bogus)\n  at qrxcoll.ctl:6, cursor STATS\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("PCC0301I"), std::string::npos) << "the check's notices stay out";
  EXPECT_TRUE(log.has("cml1561", 'e',
                      "Reload refused (the check found faults, exit status 22): going on with the "
                      "definitions in use"));
  EXPECT_STREQ(std::getenv("QRX_RELOAD_SETTING"), "old");
}

TEST_F(ReloadCheckTest, SoundDefinitionsUnderTheEnvironmentFileTakeItsSettings) {
  use_env_file("QRX_RELOAD_SETTING=new\n");
  EXPECT_EQ(check_reload(), 0) << log.text();
  EXPECT_STREQ(std::getenv("QRX_RELOAD_SETTING"), "new");
  EXPECT_EQ(log.count("cml1561"), 0);
}

// A collector started with SIGCHLD ignored still learns the check's status:
// faults are never taken for success, and sound files are still taken.
TEST_F(ReloadCheckTest, AnIgnoredSigchldNeitherHidesFaultsNorRefusesSoundFiles) {
  signal(SIGCHLD, SIG_IGN);
  EXPECT_EQ(check_reload(), 1);
  EXPECT_EQ(log.count("cml1561"), 1);
  use_env_file("QRX_RELOAD_SETTING=new\n");
  EXPECT_EQ(check_reload(), 0) << log.text();
  struct sigaction now {};
  sigaction(SIGCHLD, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN) << "the disposition is given back";
}

TEST_F(ReloadCheckTest, AProgramThatCannotRunRefusesTheReload) {
  program_words = {(dir() / "missing").string(), "-rdbms", "DEMO"};
  EXPECT_EQ(check_reload(), 1);
  EXPECT_TRUE(log.has("cml1561", 'e',
                      "Reload refused (the check could not be run: " + (dir() / "missing").string() +
                          "): going on with the definitions in use"));
}

}  // namespace
}  // namespace qrx
