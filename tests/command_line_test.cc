#include "base/command_line.h"

#include <gtest/gtest.h>

#include "base/settings.h"
#include "base/trace.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

// Argument words with a C-style argv over them.
class Words {
 public:
  Words(std::initializer_list<std::string> words) : words_(words) {
    for (std::string& w : words_) argv_.push_back(w.data());
    argv_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return argv_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

class CommandLineTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    env_vars = EnvVars{};
    ddb_options = DdbOptions{};
  }

  void first_pass(Words words) { parse_argv(words.argc(), words.argv()); }

  std::vector<std::string> expand(Words words) {
    return parseCmdline(words.argc(), words.argv());
  }

  std::string dict(const char* name) {
    const std::string* value = search_dict_parm(name);
    return value ? *value : "<none>";
  }
};

struct FirstPassCase {
  std::initializer_list<std::string> words;
  std::string EnvVars::*field;
  const char* expected;
};

TEST_F(CommandLineTest, FirstPassOptionTable) {
  const FirstPassCase cases[] = {
      {{"qrxcoll", "-rdbmsORCL"}, &EnvVars::serverid, "ORCL"},
      {{"qrxcoll", "-rdbms", "ORCL"}, &EnvVars::serverid, "ORCL"},
      {{"qrxcoll", "-RDB", "ORCL"}, &EnvVars::serverid, "ORCL"},
      {{"qrxcoll", "-rd", "ORCL"}, &EnvVars::serverid, ""},
      {{"qrxcoll", "-dbtype", "xpa"}, &EnvVars::db_type, "xpa"},
      {{"qrxcoll", "-temp", "/t"}, &EnvVars::tmpdir, "/t"},
      {{"qrxcoll", "-tem", "/t"}, &EnvVars::tmpdir, ""},
      {{"qrxcoll", "-logonid", "scott"}, &EnvVars::logonid, "scott"},
      {{"qrxcoll", "-logsdir", "/logs"}, &EnvVars::coll_home, "/logs"},
      {{"qrxcoll", "-ctldir", "/ctl"}, &EnvVars::ctl_home, "/ctl"},
      {{"qrxcoll", "-errlog", "/e.log"}, &EnvVars::errorlog, "/e.log"},
      {{"qrxcoll", "-pas", "tiger"}, &EnvVars::password, "tiger"},
      {{"qrxcoll", "-dbhome", "/u01"}, &EnvVars::db_home, "/u01"},
      {{"qrxcoll", "-dbversion", "19"}, &EnvVars::db_version, "19"},
      {{"qrxcoll", "-version", "-a", "-rdbms", "X"}, &EnvVars::serverid, ""},
      {{"qrxcoll", "-version", "-a", "plain", "-rdbms", "X"}, &EnvVars::serverid, "X"},
      {{"qrxcoll", "plain", "-rdbms"}, &EnvVars::serverid, ""},
  };
  for (const FirstPassCase& c : cases) {
    SCOPED_TRACE(*(c.words.begin() + 1));
    env_vars = EnvVars{};
    first_pass(c.words);
    EXPECT_EQ(env_vars.*c.field, c.expected);
    EXPECT_EQ(trace_all, 0);
  }
}

TEST_F(CommandLineTest, FirstPassUnknownOptionsBecomeDictionaryParameters) {
  first_pass({"qrxcoll", "-rd", "ORCL", "-myparm", "-5", "-last"});
  EXPECT_EQ(dict("rd"), "ORCL");
  EXPECT_EQ(dict("myparm"), "-5");
  EXPECT_EQ(dict("last"), "");
}

TEST_F(CommandLineTest, FirstPassDebugAndEchoSetTraceSlotsByD) {
  testing::LogCapture log;
  first_pass({"qrxcoll", "-db"});
  EXPECT_EQ(trace_all, 1);
  EXPECT_EQ(trace_something, 1);
  EXPECT_EQ(my_trace_all[0], 1);
  EXPECT_EQ(my_trace_all[1], 0);
  reset_trace_state();
  first_pass({"qrxcoll", "-vdxdxxxxxxd", "-rdbms", "S"});
  EXPECT_EQ(trace_all, 0);
  EXPECT_EQ(my_trace_all[1], 1);
  EXPECT_EQ(my_trace_all[3], 1);
  EXPECT_EQ(my_trace_all[9], 0);  // the eleventh character is past the slots
  EXPECT_NE(log.text().find("CPA1532T"), std::string::npos) << log.text();
  EXPECT_NE(log.text().find("rdbms=S.\n"), std::string::npos);
}

TEST_F(CommandLineTest, EchoMasksThePasswordAndScrubbingBlanksItInTheArgumentWords) {
  for (const char* glued : {"", "tiger"}) {
    SCOPED_TRACE(glued);
    testing::LogCapture log;
    std::string words[] = {"qrxcoll", "-v", std::string("-password") + glued, "tiger"};
    char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data()};
    parse_argv(*glued ? 3 : 4, argv);
    EXPECT_EQ(env_vars.password, "tiger");
    EXPECT_NE(log.text().find("password=***.\n"), std::string::npos) << log.text();
    EXPECT_EQ(log.text().find("tiger"), std::string::npos) << log.text();
    EXPECT_EQ(scrub_command_line_password(), 1);
    EXPECT_EQ(words[2] + (*glued ? "" : words[3]), "-password*****");
    EXPECT_EQ(scrub_command_line_password(), 0);
    reset_trace_state();
  }
}

struct SecondPassCase {
  std::initializer_list<std::string> words;
  std::string EnvVars::*field;
  const char* expected;
  int consumed;
};

TEST_F(CommandLineTest, SecondPassOptionTable) {
  const SecondPassCase cases[] = {
      {{"qrxcoll", "-logsdir", "/out"}, &EnvVars::coll_out, "/out", 2},
      {{"qrxcoll", "-logonidscott"}, &EnvVars::logonid, "scott", 1},
      {{"qrxcoll", "-login", "scott"}, &EnvVars::logonid, "scott", 2},
      {{"qrxcoll", "-passw", "tiger"}, &EnvVars::password, "tiger", 2},
      {{"qrxcoll", "-serverid", "S"}, &EnvVars::serverid, "S", 2},
      {{"qrxcoll", "-rdb", "S"}, &EnvVars::serverid, "S", 2},
      {{"qrxcoll", "-log", "e.log"}, &EnvVars::errorlog, "e.log", 2},
      {{"qrxcoll", "-ltempdir", "/l"}, &EnvVars::localtmpdir, "/l", 2},
      {{"qrxcoll", "-ltem", "/l"}, &EnvVars::localtmpdir, "", 0},
      {{"qrxcoll", "-tempdir", "/t"}, &EnvVars::tmpdir, "/t", 2},
      {{"qrxcoll", "-dbhome", "/h"}, &EnvVars::db_home, "/h", 2},
      {{"qrxcoll", "-dbver", "19"}, &EnvVars::db_version, "19", 2},
      {{"qrxcoll", "-rdbms", "A", "plain", "-dbtype", "x"}, &EnvVars::serverid, "A", 2},
      {{"qrxcoll", "-zzz", "-rdbms", "A"}, &EnvVars::serverid, "", 0},
      {{"qrxcoll", "-rdbms", "-dbtype", "x"}, &EnvVars::db_type, "x", 3},
      {{"qc", "-rdbms", "A"}, &EnvVars::serverid, "", 0},
      {{"-rdbms", "A"}, &EnvVars::serverid, "A", 2},
  };
  for (const SecondPassCase& c : cases) {
    SCOPED_TRACE(*(c.words.begin() + 1));
    env_vars = EnvVars{};
    std::vector<std::string> words(c.words);
    EXPECT_EQ(parseDDBCmdline(words), c.consumed);
    EXPECT_EQ(env_vars.*c.field, c.expected);
  }
}

TEST_F(CommandLineTest, SecondPassNumbersFlagsAndDebug) {
  EXPECT_EQ(parseDDBCmdline({"qrxcoll", "-maxread", "123", "-console", "-initfile", "i.ini"}), 5);
  EXPECT_EQ(env_vars.maxread, 123u);
  EXPECT_TRUE(ddb_options.console);
  EXPECT_EQ(ddb_options.initfile, "i.ini");
  parseDDBCmdline({"qrxcoll", "-maxread", "12x"});
  EXPECT_EQ(env_vars.maxread, 123u);  // not a number: unchanged
  parseDDBCmdline({"qrxcoll", "-d"});
  EXPECT_EQ(trace_all, 0);
  EXPECT_EQ(my_trace_all[0], 23);
  EXPECT_EQ(my_trace_all[8], 23);
  EXPECT_EQ(my_trace_all[9], 0);
}

TEST_F(CommandLineTest, LogsdirSetsHomeInFirstPassAndOutputInSecond) {
  Words words{"qrxcoll", "-logsdir", "/logs"};
  parse_argv(words.argc(), words.argv());
  EXPECT_EQ(env_vars.coll_home, "/logs");
  EXPECT_EQ(env_vars.coll_out, "");
  parseDDBCmdline(parseCmdline(words.argc(), words.argv()));
  EXPECT_EQ(env_vars.coll_out, "/logs");
}

TEST_F(CommandLineTest, VersionOptionListsAndExits) {
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        parseDDBCmdline({"qrxcoll", "-version", "-qrxcoll"});
      },
      ::testing::ExitedWithCode(0), "USH0100I.*program            vv check_in_date_time.*qrxcoll");
}

TEST_F(CommandLineTest, ExpansionRemovesDebugAndTestWords) {
  EXPECT_EQ(expand({"qrxcoll", "-DDDz", "-testI32Cap", "-rdbms", "-testI64Capx", "A"}),
            (std::vector<std::string>{"qrxcoll", "-rdbms", "A"}));
  EXPECT_EQ(trace_all, 1);
  EXPECT_TRUE(ddb_options.test_i32_cap);
  EXPECT_TRUE(ddb_options.test_i64_cap);
}

TEST_F(CommandLineTest, ArgumentFilesAreSplitWithQuotesAndNested) {
  std::string inner = write_file("inner.args", "-dbtype xpa\n").string();
  std::string outer = write_file("outer.args", "-rdbms \"ORCL X\"\t'a b'\r\n@" + inner + " last")
                          .string();
  std::string empty = write_file("empty.args", "").string();
  EXPECT_EQ(expand({"qrxcoll", "-filein", outer, "-logonid", "@" + empty, "s"}),
            (std::vector<std::string>{"qrxcoll", "-rdbms", "ORCL X", "a b", "-dbtype", "xpa",
                                      "last", "-logonid", "s"}));
}

class ArgumentFileChainTest : public CommandLineTest {
 protected:
  std::string chain(int count) {
    std::string next = "-rdbms END";
    for (int i = count; i >= 1; --i)
      next = "-filein " + write_file("chain" + std::to_string(i), next).string();
    return next.substr(std::string("-filein ").size());
  }
};

TEST_F(ArgumentFileChainTest, TenNestedFilesAreAccepted) {
  EXPECT_EQ(expand({"qrxcoll", "@" + chain(10)}),
            (std::vector<std::string>{"qrxcoll", "-rdbms", "END"}));
}

TEST_F(ArgumentFileChainTest, ElevenNestedFilesEndWithStatus15) {
  std::string first = chain(11);
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        expand({"qrxcoll", "-filein", first});
      },
      ::testing::ExitedWithCode(15),
              "UTF0015E.*Nested file .*chain11 exceded max of 10 files");
}

TEST_F(CommandLineTest, UnreadableArgumentFileEndsWithStatus95) {
  std::string missing = (dir() / "missing.args").string();
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        expand({"qrxcoll", "@" + missing});
      },
      ::testing::ExitedWithCode(95),
              "UTF0010E.*Include file \"" + missing + "\" errno=2 No such file or directory");
  EXPECT_EXIT(
      {
        stdout_to_stderr();
        expand({"qrxcoll", "-filein"});
      },
      ::testing::ExitedWithCode(95), "UTF0010E");
}

TEST_F(CommandLineTest, AbsurdlyLongOptionsDoNotCrash) {
  std::string huge = "-" + std::string(100000, 'r');
  std::string glued = "-rdbms" + std::string(100000, 'X');
  first_pass({"qrxcoll", huge, "v", glued});
  EXPECT_EQ(env_vars.serverid.size(), 100000u);
  EXPECT_EQ(parseDDBCmdline({"qrxcoll", glued, huge}), 1);
  std::string d_option = "-" + std::string(100000, 'd');
  first_pass({"qrxcoll", d_option});
  EXPECT_EQ(my_trace_all[9], 1);
}

// The settings a probe option may touch, as one comparable value.
std::vector<std::string> probe_settings() {
  return {env_vars.serverid, env_vars.db_type,     env_vars.tmpdir,  env_vars.localtmpdir,
          env_vars.coll_home, env_vars.coll_out, env_vars.ctl_home};
}

TEST_F(CommandLineTest, ProbeTakesEverySettingFormTheCollectorTakesWithTheSameMeaning) {
  const std::initializer_list<std::string> forms[] = {
      {"-rdbms", "ORCL"}, {"-rdbmsORCL"},      {"-RDB", "ORCL"},     {"-serverid", "S1"},
      {"-dbt", "xpa"},    {"-dbtype", "xpa"},  {"-temp", "/tmp"},    {"-tempdir", "/t"},
      {"-ltemp", "/lt"},  {"-ltempdir", "/l"}, {"-logsdir", "/lg"},  {"-logs", "/lg"},
      {"-ctl", "/c"},     {"-ctldir", "/c"},
  };
  for (const auto& form : forms) {
    std::vector<std::string> words = {"qrxcoll"};
    words.insert(words.end(), form);
    SCOPED_TRACE(words[1]);
    env_vars = EnvVars{};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    parse_argv(static_cast<int>(argv.size()), argv.data());
    parseDDBCmdline(parseCmdline(static_cast<int>(argv.size()), argv.data()));
    const std::vector<std::string> collector = probe_settings();
    EXPECT_NE(collector, std::vector<std::string>(collector.size()));  // the form set something

    env_vars = EnvVars{};
    EXPECT_EQ(take_probe_option(argv, 1), static_cast<int>(form.size()));
    EXPECT_EQ(probe_settings(), collector);
  }
}

TEST_F(CommandLineTest, ProbeRefusesOptionsThatAreNotItsSettingsOrLackAValue) {
  struct Case {
    std::vector<std::string> words;
    int expected;
  };
  Case cases[] = {
      {{"-password", "tiger"}, 0},  // a setting the probe has no use for
      {{"-log", "/x"}, 0},          // also names the error log in the collector's second pass
      {{"-rd", "ORCL"}, 0},         // too short for any option
      {{"-rdbms"}, -1},
      {{"-rdbms", "-dbtype"}, -1},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.words[0]);
    std::vector<char*> argv;
    for (std::string& w : c.words) argv.push_back(w.data());
    EXPECT_EQ(take_probe_option(argv, 0), c.expected);
  }
}

}  // namespace
}  // namespace qrx
