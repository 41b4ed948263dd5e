// Start-up over the control files: the real collector binary on files in a
// temporary directory, and the machine identity a distributor file names.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/env_vars.h"
#include "collector/startup.h"
#include "ctl/control_parse.h"
#include "qrx/distributor.h"
#include "support/collector_process.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProc =
    "process collector;\ntype local;\nlogon_id demo;\npassword hush-hush;\ninterval 10;\n"
    "process rqs;\ntype local;\ninterval 1;\nend;\n";
constexpr const char* kDict = "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n";
constexpr const char* kColl =
    "cursor STATS;\ninterval 10;\nINSERT INTO stats (name, busy) VALUES (:name, :INT!busy);\nend;\n";

class ControlFileRunTest : public testing::StartupTest {
 protected:
  // Runs qrxcoll in dir() with `args` and stops it with SIGTERM once it logs
  // that it is collecting (or when it ends by itself); returns its exit
  // status, or -1.
  int run(const std::string& args = "-rdbms DEMO -dbtype qrx") {
    testing::CollectorProcess collector;
    if (!collector.start(dir(), args, "COLL_SHUTDOWN_WAIT=0")) return -1;
    testing::wait_until(
        [&] { return collector.ended() || log_text().find("Start collecting.") != std::string::npos; });
    const int status = collector.stop(SIGTERM);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Runs qrxcoll with `args` to its end; its exit status, and everything it
  // printed in `out`.
  int run_to_end(const std::string& args, std::string& out) {
    const std::string d = dir().string();
    const std::string command = "cd '" + d + "' && env -i PATH=/usr/bin:/bin HOME='" + d +
                                "' USER=tester COLL_HOME='" + d + "' COLL_CTL_HOME='" + d +
                                "' COLL_OUT='" + d + "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d + "' timeout 20 '" QRX_BINARY_DIR "/qrxcoll' " +
                                args + " >out.txt 2>&1";
    const int status = std::system(command.c_str());
    out = testing::file_text(dir() / "out.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The message log the run wrote.
  std::string log_text() {
    for (const auto& entry : fs::directory_iterator(dir()))
      if (entry.path().string().ends_with("col.out")) return testing::file_text(entry.path());
    return {};
  }
  void write_files(const char* proc, const char* dict = kDict, const char* coll = kColl) {
    if (proc) write_file("qrxproc.ctl", proc);
    if (dict) write_file("qrxdict.ctl", dict);
    if (coll) write_file("qrxcoll.ctl", coll);
  }
  // Runs --check on the cursors `coll` ("end;" added) with the usual process
  // and dictionary files and expects `status`; what it printed.
  std::string check_cursors(const std::string& coll, int status) {
    write_files(kProc, kDict, (coll + "end;\n").c_str());
    std::string out;
    EXPECT_EQ(run_to_end("--check -rdbms DEMO -dbtype qrx", out), status) << out;
    return out;
  }
};

TEST_F(ControlFileRunTest, ReadsEveryControlFileAndStartsCollecting) {
  write_files(kProc);
  // No -logonid: the collector distributor supplies it.
  EXPECT_EQ(run(), 0);
  const std::string log = log_text();
  EXPECT_NE(log.find("Starting parse of PROCESS.CTL"), std::string::npos) << log;
  EXPECT_NE(log.find("Starting parse of DICT.CTL"), std::string::npos) << log;
  EXPECT_NE(log.find("Starting parse of COLLECT.CTL"), std::string::npos) << log;
  EXPECT_NE(log.find("CML1530I"), std::string::npos) << log;
  EXPECT_NE(log.find("Start collecting."), std::string::npos) << log;
  EXPECT_EQ(log.find("hush-hush"), std::string::npos) << log;
}

TEST_F(ControlFileRunTest, PasswordOnTheCommandLineIsScrubbedFromTheProcessArguments) {
  write_files(kProc);
  const std::string d = dir().string();
  // The collector's own argument area, read from /proc once it is collecting
  // (within 30 seconds: a loaded machine starts it slowly).
  const std::string command =
      "cd '" + d + "' && env -i PATH=/usr/bin:/bin HOME='" + d + "' USER=tester COLL_HOME='" +
      d + "' COLL_CTL_HOME='" + d + "' COLL_OUT='" + d + "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d + "' COLL_SHUTDOWN_WAIT=0 sh -c '\"" +
      QRX_BINARY_DIR "/qrxcoll\" -rdbms DEMO -dbtype qrx -password s3cret-word >/dev/null 2>&1 & "
      "pid=$!; i=0; until grep -qs \"Start collecting\" *col.out || [ $i -ge 60 ]; do "
      "sleep 0.5; i=$((i + 1)); done; tr \"\\0\" \" \" </proc/$pid/cmdline >cmdline.txt; kill -TERM $pid; "
      "wait $pid'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string cmdline = testing::file_text(dir() / "cmdline.txt");
  EXPECT_NE(cmdline.find("-password ***********"), std::string::npos) << cmdline;
  EXPECT_EQ(cmdline.find("s3cret"), std::string::npos) << cmdline;
  const std::string log = log_text();
  EXPECT_NE(log.find("CML1535W"), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
}

TEST_F(ControlFileRunTest, DemoControlFilesStartCollecting) {
  for (const char* name : {"qrxproc.ctl", "qrxdict.ctl", "qrxcoll.ctl", "qrxeval.ctl"})
    fs::copy_file(fs::path(QRX_SOURCE_DIR) / "examples/demo" / name, dir() / name);
  EXPECT_EQ(run("-rdbms DEMO -logonid demo -dbtype qrx -d"), 0);
  const std::string log = log_text();
  EXPECT_NE(log.find("Start collecting."), std::string::npos) << log;
  EXPECT_NE(log.find("Process name:collector"), std::string::npos) << log;
}

TEST_F(ControlFileRunTest, ControlFileFailuresStopStartUpWithTheirOwnStatusAndSayWhere) {
  const struct {
    const char* what;
    const char* proc;
    const char* dict;
    const char* coll;
    const char* eval;
    const char* message;
    int status;
    const char* location;  // the line after the message; null: none
  } cases[] = {
      {"no collector", "process rqs;\ntype local;\ninterval 1;\nend;\n", kDict, kColl, nullptr,
       "PPC1230E", 20, nullptr},
      {"no process file", nullptr, kDict, kColl, nullptr, "PPC1230E", 20, nullptr},
      {"bad process", "process collector;\ntype local;\nlogon_id demo;\ninterval ten;\nend;\n",
       kDict, kColl, nullptr, "PPC", 20, "  at qrxproc.ctl:4, process collector\n"},
      {"bad dictionary", kProc, "name X;\nend;\n", kColl, nullptr, "PDC2115E", 21, "  at qrxdict.ctl:"},
      {"bad cursor file", kProc, kDict, "cursor ;\nend;\n", nullptr, "PCC0445E", 22,
       "  at qrxcoll.ctl:1\n"},
      {"missing semicolon", kProc, kDict,
       "cursor STATS;\ninterval 10\nlimit 5;\n"
       "INSERT INTO stats (name, busy) VALUES (:name, :INT!busy);\nend;\n",
       nullptr, "PCC", 22, "  at qrxcoll.ctl:2, cursor STATS\n"},
      {"math naming a missing column", kProc, kDict,
       "cursor STATS;\ninterval 10;\n"
       "INSERT INTO stats (name, busy, pct) VALUES (:name, :INT!busy, :pct);\n"
       "math pct busy * 100 / nosuch;\nend;\n",
       nullptr, "PMA3480E", 22, "In math, variable (nosuch) not matched\n  at qrxcoll.ctl:4, cursor STATS\n"},
      {"condition that does not compile", kProc, kDict,
       "cursor STATS;\ninterval 10;\nif ( busy > ;\nlimit 5;\nendif;\n"
       "INSERT INTO stats (name, busy) VALUES (:name, :INT!busy);\nend;\n",
       nullptr, "LEX0130E", 22, "  at qrxcoll.ctl:3, cursor STATS\n"},
      {"evaluation of an unknown cursor",
       "process collector;\ntype local;\nlogon_id demo;\ninterval 10;\n"
       "process evaluator;\ntype local;\ninterval 60;\nend;\n",
       kDict, kColl, "eval E1;\ncursor NOSUCH;\ncolumn busy;\noperator >;\nvalue 80;\nend;\n",
       "PEV1230E", 23, "  at qrxeval.ctl:"},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir());
    fs::create_directories(dir());
    write_files(c.proc, c.dict, c.coll);
    if (c.eval) write_file("qrxeval.ctl", c.eval);
    EXPECT_EQ(run("-rdbms DEMO -logonid demo -dbtype qrx"), c.status) << c.what;
    const std::string log = log_text();
    const size_t message = log.find(c.message);
    EXPECT_NE(message, std::string::npos) << c.what << "\n" << log;
    if (c.location) {
      const size_t at = log.find(c.location);
      EXPECT_NE(at, std::string::npos) << c.what << "\n" << log;
      EXPECT_LT(message, at) << c.what << "\n" << log;
    } else {
      EXPECT_EQ(log.find("  at "), std::string::npos) << c.what << "\n" << log;
    }
    EXPECT_NE(log.find("Collector ended"), std::string::npos) << c.what << "\n" << log;
    EXPECT_EQ(log.find("Start collecting."), std::string::npos) << c.what << "\n" << log;
  }
}

TEST_F(ControlFileRunTest, HelpAndCheckNeitherStartCollectingNorWriteALog) {
  std::string out;
  EXPECT_EQ(run_to_end("--help", out), 0);
  EXPECT_EQ(out.rfind("usage: qrxcoll [options]", 0), 0u) << out;
  EXPECT_NE(out.find("qrxcoll --check"), std::string::npos) << out;

  write_files(kProc);
  EXPECT_EQ(run_to_end("--check -rdbms DEMO -dbtype qrx", out), 0) << out;
  EXPECT_NE(out.find("qrxcoll --check: the control files are good\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Start collecting"), std::string::npos) << out;

  write_files(kProc, kDict, "cursor STATS;\ninterval 10\nlimit 5;\nend;\n");
  EXPECT_EQ(run_to_end("--check -rdbms DEMO -dbtype qrx", out), 22) << out;
  EXPECT_NE(out.find("Missing ';' after the interval statement on line 2: line 3 begins with limit\n"
                     "  at qrxcoll.ctl:2, cursor STATS\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("qrxcoll --check: the control files have faults (exit status 22)\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(log_text(), "");  // no log file was written
  for (const auto& entry : fs::directory_iterator(dir()))
    EXPECT_FALSE(entry.path().string().ends_with("_qrx_host")) << "a channel was made";
}

// --check reports what must be mended and one summary line: sound files
// print the summary alone (every notice only with -v), and a file that
// names no logon is sound, since checking makes none.
TEST_F(ControlFileRunTest, CheckPrintsOnlyFaultsAndASummaryAndNeedsNoLogon) {
  // A row limit, or the default one would be worth a warning.
  const std::string coll = "cursor STATS;\ninterval 10;\nlimit 5;\n"
                           "INSERT INTO stats (name, busy) VALUES (:name, :INT!busy);\nend;\n";
  write_files(kProc, kDict, coll.c_str());
  std::string out;
  EXPECT_EQ(run_to_end("--check -rdbms DEMO -dbtype qrx", out), 0) << out;
  EXPECT_EQ(out, "qrxcoll --check: the control files are good\n");

  EXPECT_EQ(run_to_end("--check -v -rdbms DEMO -dbtype qrx", out), 0) << out;
  EXPECT_NE(out.find("I ("), std::string::npos) << "no notice with -v\n" << out;
  EXPECT_TRUE(out.ends_with("qrxcoll --check: the control files are good\n")) << out;

  write_files("process collector;\ntype local;\ninterval 10;\nend;\n", kDict, coll.c_str());
  EXPECT_EQ(run_to_end("--check -rdbms DEMO -dbtype qrx", out), 0) << out;
  EXPECT_EQ(out, "qrxcoll --check: the control files are good\n");
  // Starting still needs the logon.
  EXPECT_EQ(run("-rdbms DEMO -dbtype qrx"), 24);

  write_files(kProc, kDict, "cursor STATS;\ninterval 10\nlimit 5;\nend;\n");
  EXPECT_EQ(run_to_end("--check -rdbms DEMO -dbtype qrx", out), 22) << out;
  EXPECT_EQ(out.find("I ("), std::string::npos) << out;
}

// A statement that lacks its ';' is named with its line, with the line of the
// keyword it would swallow, instead of failing with a misleading message about
// its value or about a later cursor. SQL lines that begin with a keyword
// ("LIMIT", "END") are no such fault.
TEST_F(ControlFileRunTest, CheckNamesTheStatementThatLacksItsSemicolon) {
  const std::string insert = "INSERT INTO stats (name, busy) VALUES (:name, :INT!busy);\n";
  const struct {
    std::string coll;
    int status;
    const char* fault;  // with its location; null when the files are good
  } cases[] = {
      {"cursor STATS;\ninterval 10;\nlimit 1\n" + insert,
       22, "Missing ';' after the limit statement on line 3: line 4 begins with INSERT\n"
           "  at qrxcoll.ctl:3, cursor STATS\n"},
      {"cursor A;\ninterval 10;\ninsert_select SELECT name, busy\n  FROM stats\n" + insert +
           "cursor B;\ninterval 10;\n" + insert,
       22, "Missing ';' after the insert_select statement on line 3: line 5 begins with INSERT\n"
           "  at qrxcoll.ctl:3, cursor A\n"},
      {"cursor A;\nhistory\ninterval 10;\n" + insert,
       22, "Missing ';' after the history statement on line 2: line 3 begins with interval\n"
           "  at qrxcoll.ctl:2, cursor A\n"},
      {"cursor A;\ninterval 10;\ninsert_select SELECT name,\n CASE WHEN busy > 1 THEN busy\n"
       " ELSE 0\nEND AS busy FROM stats\nLIMIT 5;\n" + insert,
       0, nullptr},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.coll);
    const std::string out = check_cursors(k.coll, k.status);
    if (k.fault) {
      EXPECT_NE(out.find(k.fault), std::string::npos) << out;
      EXPECT_EQ(out.find("PCC0625E"), std::string::npos) << out;
      EXPECT_EQ(out.find("PCC0360E"), std::string::npos) << out;
    }
  }
}

// A temporary directory where others could plant or swap the collector's
// files is refused before anything is made in it (no lock, no channel), with
// the exit status of a channel that cannot be built.
TEST_F(ControlFileRunTest, TemporaryDirectoryOthersControlIsRefusedBeforeAnythingIsMadeInIt) {
  const struct {
    const char* what;
    mode_t mode;
    uid_t owner;  // 0: this user
    const char* fault;
  } cases[] = {
      {"another user's", 0700, 4321, " is owned by uid 4321, not by this user"},
      {"world-writable", 0777, 0, " is writable by others without the sticky bit: refused\n"},
  };
  write_files(kProc);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path tmp = dir() / "tmp";
    fs::remove_all(tmp);
    ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(tmp.c_str(), c.mode), 0);
    if (c.owner != 0) {
      if (geteuid() != 0) continue;  // giving a directory away needs root
      ASSERT_EQ(::chown(tmp.c_str(), c.owner, c.owner), 0);
    }
    std::string out;
    EXPECT_EQ(run_to_end("-rdbms DEMO -dbtype qrx -tempdir " + tmp.string(), out), 25) << out;
    EXPECT_NE(out.find("Directory " + tmp.string() + c.fault), std::string::npos) << out;
    EXPECT_NE(out.find("Temporary directory " + tmp.string() + " cannot hold the agent channel\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(fs::is_empty(tmp)) << "a file was made in the refused directory";
    EXPECT_EQ(log_text(), "");
  }
}

// --check finds what the passes after the file is read find, each fault
// placed at its statement, and refuses conditions that would fail at every
// pass: naming no cursor or no column of one, or an operator short of its
// arguments (a minus is unary only after "(").
TEST_F(ControlFileRunTest, CheckPlacesLaterFaultsAndRefusesConditionsThatCannotBeEvaluated) {
  const std::string c1 = "cursor C1;\ninterval 1;\nINSERT INTO t (a) VALUES (:a^4);\n";
  const std::string b = "cursor B;\ninterval 1;\nINSERT INTO t (a, b) VALUES (:a^4, :b^4);\n";
  const auto section = [](const std::string& condition) {
    return "cursor V;\ninterval 1;\nif " + condition + ";\nINSERT INTO t (a) VALUES (:a^4);\n" +
           "else;\nINSERT INTO t (b) VALUES (:b^4);\nendif;\n";
  };
  const struct {
    std::string coll;
    int status;
    const char* fault;  // with its location; null when the files are good
  } cases[] = {
      {c1 + b + "base B on a -> b;\n", 22, "Can't use yourself as base cursor(B)\n  at qrxcoll.ctl:7, cursor B\n"},
      {c1 + b + "math X 1e400 * 2;\n", 22, "In math, variable (1E400) not matched\n  at qrxcoll.ctl:7, cursor B\n"},
      {c1 + section("NOSUCH.a > 1"), 22, "Cursor NOSUCH not found for column a\n  at qrxcoll.ctl:6, cursor V\n"},
      {c1 + section("C1.z > 1"), 22, "Column z not found for cursor C1\n  at qrxcoll.ctl:6, cursor V\n"},
      {c1 + section("C1.a > -1"), 22, "operation > should have 2 arguments\n  at qrxcoll.ctl:6, cursor V\n"},
      {c1 + section("C1.a > (-1) AND SERVER = 'X.Y'"), 0, nullptr},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.coll);
    const std::string out = check_cursors(k.coll, k.status);
    if (k.fault) {
      EXPECT_NE(out.find(k.fault), std::string::npos) << out;
    }
  }
}

TEST_F(ControlFileRunTest, SecondCollectorForTheSameServerRefusesToStartAndNamesTheFirst) {
  write_files(kProc);
  testing::CollectorProcess first;
  ASSERT_TRUE(first.start(dir(), "-rdbms DEMO -dbtype qrx"));
  ASSERT_TRUE(testing::wait_until([&] { return log_text().find("Start collecting.") != std::string::npos; }))
      << log_text();
  const std::string d = dir().string();
  const std::string command = "cd '" + d + "' && env -i PATH=/usr/bin:/bin HOME='" + d +
                              "' USER=tester COLL_HOME='" + d + "' COLL_CTL_HOME='" + d +
                              "' COLL_OUT='" + d + "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d +
                              "' timeout 20 '" QRX_BINARY_DIR "/qrxcoll' -rdbms DEMO -dbtype qrx "
                              ">/dev/null 2>second.txt";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 27);
  const std::string said = testing::file_text(dir() / "second.txt");
  EXPECT_NE(said.find("CML1536S"), std::string::npos) << said;
  EXPECT_NE(said.find("Another collector (pid " + std::to_string(first.pid()) +
                      ") is running for server DEMO with temporary directory " + d + "\n"),
            std::string::npos)
      << said;
  // The first collector's log was neither rotated nor written by the second.
  EXPECT_EQ(testing::occurrences(log_text(), "CAT2015I"), 1) << log_text();
  const int first_status = first.stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(first_status) && WEXITSTATUS(first_status) == 0) << first_status;
}

TEST_F(ControlFileRunTest, MissingSettingsAreNamedWithWhatSetsThemAndEndWithTheirStatus) {
  write_files("process collector;\ntype local;\ninterval 10;\nend;\n");
  EXPECT_EQ(run("-rdbms DEMO -dbtype qrx"), 24);
  const std::string log = log_text();
  EXPECT_NE(log.find("CML1528S"), std::string::npos) << log;
  EXPECT_NE(log.find("  logon id: set COLL_LOGON, COLL_LOGONID, -logonid or the collector "
                     "process's logon_id\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("server id: set"), std::string::npos) << log;
}

TEST_F(ControlFileRunTest, EvaluatorFileIsReadWhenAnEvaluatorIsDefined) {
  write_files("process collector;\ntype local;\nlogon_id demo;\ninterval 10;\n"
              "process evaluator;\ntype local;\ninterval 60;\nend;\n");
  write_file("qrxeval.ctl", "eval E1;\ncursor STATS;\ncolumn MAX!busy;\noperator >=;\nvalue 80;\nend;\n");
  EXPECT_EQ(run(), 0);
  const std::string log = log_text();
  EXPECT_NE(log.find("qrxeval.ctl opened"), std::string::npos) << log;
  EXPECT_NE(log.find("Start collecting."), std::string::npos) << log;
}

using MachineIdTest = testing::StartupTest;

TEST_F(MachineIdTest, MachineIdFromTheProcessFileIsKept) {
  env_vars.hostname = "realhost";
  env_vars.serverid = "DB";
  std::memset(machine_id.hostname, 'x', sizeof machine_id.hostname);
  Definitions defs;
  defs.machine_id_from_control = true;
  fill_machine_id(defs);
  EXPECT_EQ(std::string(machine_id.hostname, 3), "xxx");
  defs.machine_id_from_control = false;
  fill_machine_id(defs);
  EXPECT_EQ(std::string(machine_id.hostname, 9), "realhost ");
  EXPECT_EQ(std::string(machine_id.serverid, 3), "DB ");
}

}  // namespace
}  // namespace qrx
