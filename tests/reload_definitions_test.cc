// Reloading the definitions within the process: new definitions built from
// the control files and the environment file replace those in use only when
// sound; a refused reload leaves every setting, dictionary parameter,
// environment variable and process-wide hook as it found them; unchanged cursors and the
// distributors keep their run state, changed ones start afresh.

#include "collector/reload.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "base/settings.h"
#include "collector/startup.h"
#include "exits/fetch_exit.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

constexpr char kProcess[] =
    "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
    "process historian;\ntype local;\ninterval 5;\nend;\n";
constexpr char kKept[] =
    "cursor KEPT;\ninterval 1;\nINSERT INTO stats (name, val) VALUES (:name, :val);\n";
constexpr char kChanged[] =
    "cursor CHANGED;\ninterval 1;\nINSERT INTO stats (name, val) VALUES (:name, :val);\n";

class ReloadDefinitionsTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    saved_procedure_ = script_procedure();
    for (const char* name : {"COLL_ENV_FILE", "COLL_DBHOME", "COLL_SERVERID", "COLL_PREFIX"})
      set_env(name, nullptr);
    write_file("qrxproc.ctl", kProcess);
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'DEMO';\nend;\n");
    write_file("qrxcoll.ctl", std::string(kKept) + kChanged + "end;\n");
    in_use_.command_line.serverid = "DEMO";
    in_use_.command_line.db_type = "qrx";
    in_use_.command_line.hostname = "host";
    in_use_.command_line.hostlogonid = "tester";
    in_use_.command_line.ctl_home = dir().string();
    in_use_.command_line.coll_home = dir().string();
    in_use_.command_line_parms = {{"site", "north"}};
    env_vars = in_use_.command_line;
    restore_dict_parms(in_use_.command_line_parms);
    get_envs(env_vars);
    in_use_.defs = std::make_unique<Definitions>();
    ASSERT_EQ(build_definitions(*in_use_.defs), 0) << log_.text();
  }

  void TearDown() override {
    script_procedure() = saved_procedure_;
    StartupTest::TearDown();
  }

  // Uses an environment file with `text` (mode 0600).
  void use_env_file(const std::string& text) {
    const auto file = write_file("DEMO.env", text);
    ::chmod(file.c_str(), 0600);
    set_env("COLL_ENV_FILE", file.c_str());
  }

  DefinitionsInUse in_use_;
  testing::LogCapture log_;
  ScriptProcedure saved_procedure_;
};

TEST_F(ReloadDefinitionsTest, ARefusedReloadPutsBackSettingsParametersAndEnvironment) {
  use_env_file("COLL_DBHOME=/new/home\n");
  write_file("qrxcoll.ctl", std::string(kKept) + "bogus 3;\nend;\n");
  const Definitions* const old = in_use_.defs.get();
  const EnvVars settings = env_vars;
  const std::vector<DictParm> parms = saved_dict_parms();
  ASSERT_NE(search_dict_parm("rdbms"), nullptr);
  // The script procedures stay with the definitions in use, not with the
  // refused ones (which are gone).
  script_procedure() = [](curs&, const std::string&) {
    return std::optional<std::vector<std::string>>({"in use"});
  };

  EXPECT_EQ(reload_definitions(in_use_), nullptr);
  curs any;
  const auto lines = script_procedure()(any, "");
  ASSERT_TRUE(lines.has_value());
  EXPECT_EQ(lines->front(), "in use");
  EXPECT_EQ(in_use_.defs.get(), old);
  EXPECT_NE(old->find_cursor("CHANGED"), nullptr);
  EXPECT_NE(log_.text().find("Unknown keyword (bogus)\n  at qrxcoll.ctl:4, cursor KEPT\n"),
            std::string::npos)
      << log_.text();
  EXPECT_TRUE(log_.has("cml1561", 'e',
                       "Reload refused (the definitions have faults, exit status 22, the first "
                       "at qrxcoll.ctl:4, cursor KEPT): going on with the definitions in use"));
  EXPECT_EQ(std::getenv("COLL_DBHOME"), nullptr) << "the file's setting is not taken";
  EXPECT_EQ(env_vars.db_home, settings.db_home);
  EXPECT_EQ(env_vars.serverid, "DEMO");
  ASSERT_EQ(saved_dict_parms().size(), parms.size());
  for (std::size_t i = 0; i < parms.size(); ++i)
    EXPECT_EQ(saved_dict_parms()[i].name, parms[i].name);
  EXPECT_EQ(log_.count("cgn1561"), 0);
}

TEST_F(ReloadDefinitionsTest, ASoundReloadTakesTheFileAndKeepsTheRunStateOfWhatItLeavesUnchanged) {
  Definitions& old = *in_use_.defs;
  curs& kept = *old.find_cursor("KEPT");
  kept.rows = 2;
  kept.sample_no = 7;
  kept.last_time = "20261214100000";
  kept.layout_fixed = 1;
  kept.row_length = 12;
  kept.cols[1]->mark = "99";
  kept.cols[1]->stored_offset = 5;
  old.find_cursor("CHANGED")->rows = 3;
  old.collector_at->next_time = 4242;
  old.collector_at->last_run = "20261214100001";
  use_env_file("COLL_DBHOME=/new/home\n");
  write_file("qrxcoll.ctl",
             std::string(kKept) +
                 "cursor CHANGED;\ninterval 2;\nINSERT INTO stats (name, val) VALUES (:name, :val);\n"
                 "cursor ADDED;\ninterval 1;\nINSERT INTO stats (name) VALUES (:name);\nend;\n");

  Definitions* const taken = reload_definitions(in_use_);
  ASSERT_NE(taken, nullptr) << log_.text();
  EXPECT_EQ(in_use_.defs.get(), taken);
  EXPECT_TRUE(log_.has("cgn1561", 'I', "Definitions reloaded: 3 cursors, 1 kept their rows"))
      << log_.text();
  const curs& now = *taken->find_cursor("KEPT");
  EXPECT_EQ(now.rows, 2);
  EXPECT_EQ(now.sample_no, 7);
  EXPECT_EQ(now.last_time, "20261214100000");
  EXPECT_EQ(now.layout_fixed, 1);
  EXPECT_EQ(now.row_length, 12u);
  EXPECT_EQ(now.cols[1]->mark, "99");
  EXPECT_EQ(now.cols[1]->stored_offset, 5);
  EXPECT_EQ(now.owning_set, taken);
  EXPECT_EQ(taken->find_cursor("CHANGED")->rows, 0) << "a changed cursor starts afresh";
  EXPECT_EQ(taken->find_cursor("CHANGED")->interval, 2);
  EXPECT_EQ(taken->find_cursor("ADDED")->rows, 0);
  EXPECT_EQ(taken->collector_at->next_time, 4242) << "no collection run is added or skipped";
  EXPECT_EQ(taken->collector_at->last_run, "20261214100001");

  // The file's setting is taken, and the dictionary parameters are those of
  // the command line and the new settings, each once.
  EXPECT_STREQ(std::getenv("COLL_DBHOME"), "/new/home");
  EXPECT_EQ(env_vars.db_home, "/new/home");
  ASSERT_NE(search_dict_parm("dbhome"), nullptr);
  EXPECT_EQ(*search_dict_parm("dbhome"), "/new/home");
  int rdbms = 0;
  for (const DictParm& p : saved_dict_parms()) rdbms += p.name == "rdbms";
  EXPECT_EQ(rdbms, 1);
  EXPECT_EQ(*search_dict_parm("site"), "north");
  EXPECT_EQ(log_.count("cml1561"), 0);
}

TEST_F(ReloadDefinitionsTest, AChangedIdentitySettingRefusesTheReload) {
  struct Case {
    const char* file;
    const char* variable;
  };
  in_use_.command_line.serverid.clear();
  set_env("COLL_SERVERID", "DEMO");
  for (const Case& k : {Case{"COLL_SERVERID=OTHER\n", "COLL_SERVERID"},
                        Case{"COLL_PREFIX=/elsewhere\n", "COLL_PREFIX"}}) {
    use_env_file(k.file);
    const EnvVars settings = env_vars;
    EXPECT_EQ(reload_definitions(in_use_), nullptr) << k.variable;
    EXPECT_TRUE(log_.has("cml1561", 'e',
                         std::string("Reload refused (the setting ") + k.variable +
                             " changes: a restart is needed for that setting): going on with "
                             "the definitions in use"))
        << log_.text();
    EXPECT_EQ(env_vars.serverid, settings.serverid);
    EXPECT_EQ(env_vars.tmpdir, settings.tmpdir);
  }
  EXPECT_STREQ(std::getenv("COLL_SERVERID"), "DEMO");
  EXPECT_EQ(std::getenv("COLL_PREFIX"), nullptr);
}

// A cursor that takes its rows' layout from another (age_to) keeps its rows
// only when that one keeps its own.
TEST_F(ReloadDefinitionsTest, ACursorKeepsItsRowsOnlyWithTheCursorItIsLaidOutAfter) {
  Definitions from;
  Definitions to;
  for (Definitions* d : {&from, &to}) {
    for (const char* name : {"SOURCE", "TARGET"}) {
      auto c = std::make_unique<curs>();
      c->name = name;
      c->source = std::string(name) + " text\n";
      d->add(std::move(c));
    }
    d->find_cursor("TARGET")->age_source = d->find_cursor("SOURCE");
    d->find_cursor("SOURCE")->age_target = d->find_cursor("TARGET");
  }
  from.find_cursor("SOURCE")->rows = 1;
  from.find_cursor("TARGET")->rows = 2;
  to.find_cursor("SOURCE")->source = "SOURCE changed\n";
  EXPECT_EQ(carry_over(from, to), 0);
  EXPECT_EQ(to.find_cursor("TARGET")->rows, 0);
  to.find_cursor("SOURCE")->source = "SOURCE text\n";
  EXPECT_EQ(carry_over(from, to), 2);
  EXPECT_EQ(to.find_cursor("SOURCE")->rows, 1);
  EXPECT_EQ(to.find_cursor("TARGET")->rows, 2);
}

}  // namespace
}  // namespace qrx
