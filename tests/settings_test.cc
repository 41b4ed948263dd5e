#include "base/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/trace.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

using SettingsTest = testing::StartupTest;

struct DbTypeCase {
  const char* db_type;
  const char* code;
  const char* aliases[3];
};

TEST_F(SettingsTest, DatabaseTypeCodesAndAliases) {
  const DbTypeCase cases[] = {
      {"", "und", {}},
      {"ORACLE", "xpa", {}},
      {"xpa09abc", "xpa09", {}},
      {"XPA09", "xpa", {}},  // only the exact lower-case prefix keeps five characters
      {"Syb", "xmb", {}},
      {"informix", "xcn", {}},
      {"sqlserver", "xvt", {}},
      {"db2v9", "xjl", {"db2"}},
      {"abc", "unk", {}},
      {"qrx", "qrx", {}},
      {"xpa11", "xpa11", {}},
      {"xfw", "xfw", {"xpa"}},
      {"xhh", "xhh", {"xxx", "yyy", "zzz"}},
  };
  for (const DbTypeCase& c : cases) {
    SCOPED_TRACE(c.db_type);
    env_vars.db_type = c.db_type;
    reset_db_type_cache();
    EXPECT_STREQ(u_db_type(0), c.code);
    for (int which = 1; which <= 3; ++which) {
      if (c.aliases[which - 1])
        EXPECT_STREQ(u_db_type(which), c.aliases[which - 1]);
      else
        EXPECT_EQ(u_db_type(which), nullptr);
    }
  }
}

TEST_F(SettingsTest, DatabaseTypeCodeIsCachedUntilReset) {
  env_vars.db_type = "ora";
  EXPECT_STREQ(u_db_type(0), "xpa");
  env_vars.db_type = "syb";
  EXPECT_STREQ(u_db_type(0), "xpa");
  reset_db_type_cache();
  EXPECT_STREQ(u_db_type(0), "xmb");
}

struct FallbackCase {
  const char* db_type;
  const char* name;
  const char* variable;
};

TEST_F(SettingsTest, RetrieveEnvVarFallsBackToTheServersOwnVariables) {
  const FallbackCase cases[] = {
      {"xpa10", "COLL_SERVERID", "ORACLE_SID"}, {"xfw", "coll_serverid", "ORACLE_SID"},
      {"syb", "COLL_SERVERID", "DSQUERY"},      {"inf", "COLL_SERVERID", "INFORMIXSERVER"},
      {"xvt", "COLL_SERVERID", "MSSQL"},        {"xpa", "COLL_DBHOME", "ORACLE_HOME"},
      {"xmb", "COLL_DBHOME", "SYBASE"},         {"xcn", "COLL_DBHOME", "INFORMIXDIR"},
      {"xvt", "COLL_DBHOME", "MSSQL_HOME"},
  };
  set_env("COLL_SERVERID", nullptr);
  set_env("COLL_DBHOME", nullptr);
  for (const FallbackCase& c : cases) {
    SCOPED_TRACE(std::string(c.db_type) + " " + c.name);
    env_vars.db_type = c.db_type;
    env_vars.serverid.clear();
    env_vars.db_home.clear();
    reset_db_type_cache();
    set_env(c.variable, "FROMSERVER");
    EXPECT_EQ(u_retrieveEnvVar(c.name), "FROMSERVER");
    set_env(c.variable, nullptr);
  }
  EXPECT_EQ(env_vars.db_home, "FROMSERVER");  // the field keeps what was found
}

TEST_F(SettingsTest, RetrieveEnvVarPrefersFieldThenOwnVariable) {
  env_vars.db_type = "xpa";
  set_env("ORACLE_SID", "SID");
  set_env("COLL_SERVERID", "ENVSERVER");
  env_vars.serverid = "FIELD";
  EXPECT_EQ(u_retrieveEnvVar("COLL_SERVERID"), "FIELD");
  env_vars.serverid.clear();
  EXPECT_EQ(u_retrieveEnvVar("COLL_SERVERID"), "ENVSERVER");
}

TEST_F(SettingsTest, RetrieveEnvVarUnknownOrUnsetGivesNothing) {
  env_vars.db_type = "xmb";
  env_vars.password.clear();
  set_env("COLL_PASSWORD", nullptr);
  EXPECT_EQ(u_retrieveEnvVar("COLL_PASSWORD"), std::nullopt);  // kind 0: no fallback
  EXPECT_EQ(u_retrieveEnvVar("NOT_A_SETTING"), std::nullopt);
  EXPECT_EQ(u_retrieveEnvVar(std::string(200, 'C').c_str()), std::nullopt);
  set_env("HUBAG_CELL_NAME", "cell7");
  EXPECT_EQ(u_retrieveEnvVar("hubag_cell_name"), "cell7");
}

TEST_F(SettingsTest, GetenvTreatsEmptyAsUnsetAndReportsInModeOne) {
  testing::LogCapture log;
  set_env("QRX_T_EMPTY", "");
  set_env("QRX_T_UNSET", nullptr);
  EXPECT_EQ(u_getenv("QRX_T_EMPTY", 1, nullptr), std::nullopt);
  EXPECT_EQ(u_getenv("QRX_T_UNSET", 1, "dflt"), "dflt");
  EXPECT_EQ(u_getenv("QRX_T_UNSET", 1, ""), std::nullopt);  // an empty default is no default
  std::string text = log.text();
  EXPECT_NE(text.find("UEN0010W"), std::string::npos) << text;
  EXPECT_NE(text.find("Environment variable \"QRX_T_EMPTY\" is not available\n"),
            std::string::npos);
  EXPECT_NE(text.find("UEN0015I"), std::string::npos) << text;
  EXPECT_NE(text.find("Environment variable \"QRX_T_UNSET\" not set\n"), std::string::npos);
  EXPECT_NE(text.find("Using default of dflt\n"), std::string::npos);
}

TEST_F(SettingsTest, GetenvModeMinusOnePutsTheDefaultIntoTheEnvironment) {
  set_env("QRX_T_PUT", nullptr);
  EXPECT_EQ(u_getenv("QRX_T_PUT", -1, "42"), "42");
  ASSERT_NE(std::getenv("QRX_T_PUT"), nullptr);
  EXPECT_STREQ(std::getenv("QRX_T_PUT"), "42");
  set_env("QRX_T_PUT", "set");
  EXPECT_EQ(u_getenv("QRX_T_PUT", -1, "42"), "set");
}

TEST_F(SettingsTest, PutenvSetsUnsetsAndReportsFailure) {
  testing::LogCapture log;
  set_env("QRX_T_SET", nullptr);
  trace_set("ad");
  EXPECT_EQ(u_putenv("QRX_T_SET", "v"), "v");
  EXPECT_STREQ(std::getenv("QRX_T_SET"), "v");
  EXPECT_TRUE(log.has("uen0046", 'T', "Set environment variable \"QRX_T_SET\"."));
  EXPECT_EQ(u_putenv("QRX_T_SET", nullptr), "");
  EXPECT_EQ(std::getenv("QRX_T_SET"), nullptr);
  EXPECT_EQ(u_putenv("BAD=NAME", "v"), std::nullopt);
  EXPECT_TRUE(log.has("uen0045", 'E', "Environment variable \"BAD=NAME\" could not be set."))
      << log.text();
}

TEST_F(SettingsTest, GetenvTracesLookupsOnlyWithSlotThree) {
  testing::LogCapture log;
  set_env("QRX_T_SEEN", "v");
  u_getenv("QRX_T_SEEN", 0, nullptr);
  EXPECT_EQ(log.text(), "");
  trace_set("a000d");
  u_getenv("QRX_T_SEEN", 0, nullptr);
  u_getenv("QRX_T_SEEN", -2, nullptr);
  u_getenv("QRX_T_NONE", 0, nullptr);
  std::string text = log.text();
  EXPECT_NE(text.find("Env var QRX_T_SEEN=v.\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Env var QRX_T_NONE was not set.\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("QRX_T_SEEN=v.\n"), text.rfind("QRX_T_SEEN=v.\n"));  // mode -2 silent
}

class GetEnvsTest : public SettingsTest {
 protected:
  void SetUp() override {
    SettingsTest::SetUp();
    env_vars = EnvVars{};
    for (const char* name :
         {"COLL_HOME", "COLL_CTL_HOME", "COLL_BINPATH", "COLL_OUT", "COLL_HOSTNAME",
          "COLL_SERVERID", "COLL_LOGON", "COLL_LOGONID", "COLL_PASSWORD", "COLL_ERRORLOG",
          "COLL_VERSION", "COLL_VERSION_HOME", "COLL_PREFIX", "COLL_PREFIX_LOCAL", "QRXLOGDIR",
          "MAXREADSZ_ERRORLOG", "COLL_USESHM", "COLL_NOSIGNALS", "QRXCFGDIR", "COLL_DBHOME",
          "COLL_DBVERSION", "COLL_DISABLE_CURSORS", "COLL_DEBUG"})
      set_env(name, nullptr);
    set_env("USER", "tester");
    set_env("PWD", "/work/here");
  }
};

TEST_F(GetEnvsTest, DefaultsWhenNothingIsSet) {
  get_envs(env_vars);
  EXPECT_EQ(env_vars.coll_home, "/work/here");
  EXPECT_EQ(env_vars.ctl_home, "/work/here");
  EXPECT_EQ(env_vars.cfgdir, "/work/here");
  EXPECT_EQ(env_vars.hostlogonid, "tester");
  EXPECT_EQ(env_vars.tmpdir, "/tmp/tester");
  EXPECT_EQ(env_vars.localtmpdir, "/tmp/tester");
  EXPECT_EQ(env_vars.coll_out, "/work/here");
  EXPECT_EQ(env_vars.db_type, "qrx");
  EXPECT_EQ(env_vars.maxread, 20480000u);
  EXPECT_EQ(env_vars.nosignals, 0);
  EXPECT_FALSE(env_vars.hostname.empty());  // "uname -n"
  EXPECT_TRUE(env_vars.serverid.empty());
  EXPECT_TRUE(coll_disable_cursors.empty());
}

TEST_F(GetEnvsTest, ShellFallbacksWhenPwdAndUserAreUnset) {
  set_env("PWD", nullptr);
  set_env("USER", nullptr);
  get_envs(env_vars);
  EXPECT_EQ(env_vars.coll_home, std::filesystem::current_path().string());
  EXPECT_FALSE(env_vars.hostlogonid.empty());  // "whoami"
  EXPECT_EQ(env_vars.tmpdir, "/tmp/" + env_vars.hostlogonid);
}

TEST_F(GetEnvsTest, EnvironmentFillsOnlyEmptyFields) {
  set_env("COLL_SERVERID", "ENV");
  set_env("COLL_LOGONID", "second");
  set_env("COLL_VERSION_HOME", "xpa09");
  set_env("QRXLOGDIR", "/logs");
  set_env("COLL_PREFIX_LOCAL", "/local");
  set_env("MAXREADSZ_ERRORLOG", "4096");
  set_env("COLL_NOSIGNALS", "3");
  set_env("COLL_DISABLE_CURSORS", "kf1");
  env_vars.serverid = "CMDLINE";
  get_envs(env_vars);
  EXPECT_EQ(env_vars.serverid, "CMDLINE");
  EXPECT_EQ(env_vars.logonid, "second");
  EXPECT_EQ(env_vars.db_type, "xpa09");
  EXPECT_EQ(env_vars.tmpdir, "/logs/tester");
  EXPECT_EQ(env_vars.localtmpdir, "/local");
  EXPECT_EQ(env_vars.coll_out, "/local");  // localtmpdir differs from tmpdir
  EXPECT_EQ(env_vars.maxread, 4096u);
  EXPECT_EQ(env_vars.nosignals, 3);
  EXPECT_EQ(coll_disable_cursors, "kf1");
}

TEST_F(GetEnvsTest, MalformedNumbersAreReportedAndIgnored) {
  testing::LogCapture log;
  set_env("MAXREADSZ_ERRORLOG", "12abc");
  set_env("COLL_NOSIGNALS", "70000");
  get_envs(env_vars);
  EXPECT_EQ(env_vars.maxread, 20480000u);
  EXPECT_EQ(env_vars.nosignals, 0);
  EXPECT_NE(log.text().find("UEN0022W"), std::string::npos) << log.text();
}

TEST_F(SettingsTest, DisableCursorsBecomeEnvironmentVariables) {
  testing::LogCapture log;
  for (const char* name : {"COLL_DISABLE_CURSOR_KF1", "COLL_DISABLE_CURSOR_KF4",
                           "COLL_DISABLE_CURSOR_XX"})
    set_env(name, nullptr);
  coll_disable_cursors = " kf1, xx ,,kf4 ";
  set_disable_cursors();
  EXPECT_EQ(coll_disable_cursors, "KF1,XX,,KF4");
  EXPECT_STREQ(std::getenv("COLL_DISABLE_CURSOR_KF1"), "AND FIL.FILE_ID < 128");
  EXPECT_STREQ(std::getenv("COLL_DISABLE_CURSOR_XX"), "1");
  EXPECT_STREQ(std::getenv("COLL_DISABLE_CURSOR_KF4"), "0");
  std::string text = log.text();
  EXPECT_NE(text.find("Disable Cursors Environment Settings:\n"), std::string::npos);
  EXPECT_NE(text.find("\t COLL_DISABLE_CURSORS=KF1,XX,,KF4\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\t COLL_DISABLE_CURSOR_KF1=AND FIL.FILE_ID < 128\n"), std::string::npos);
}

TEST_F(SettingsTest, DisableCursorsUnsetOnlyTraces) {
  testing::LogCapture log;
  coll_disable_cursors.clear();
  set_disable_cursors();
  EXPECT_NE(log.text().find("CML1526T"), std::string::npos) << log.text();
  EXPECT_NE(log.text().find("Disable Cursors Environment is not set...\n"), std::string::npos);
}

TEST_F(SettingsTest, DictionaryParametersMatchFirstNameIgnoringCase) {
  add_dict_parm("rdbms", "ORCL");
  add_dict_parm("RDBMS", "other");
  add_dict_parm("dbtype", "xpa");
  const std::string* first = search_dict_parm("Rdbms");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(*first, "ORCL");
  for (int i = 0; i < 100; ++i) add_dict_parm("p" + std::to_string(i), "v");
  EXPECT_EQ(*first, "ORCL");  // values stay in place as the list grows
  EXPECT_EQ(search_dict_parm("missing"), nullptr);
}

}  // namespace
}  // namespace qrx
