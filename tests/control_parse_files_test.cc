// The control-file parsers reading their files through the control-file search.

#include <gtest/gtest.h>

#include "base/settings.h"
#include "collector/startup.h"
#include "ctl/control_parse.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"
#include "qrx/dict.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

class ControlParseFilesTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    env_vars.coll_home = dir().string();
    env_vars.ctl_home.clear();
    env_vars.serverid = "ORCL";
    env_vars.db_type = "xpa";
    reset_db_type_cache();
  }
  Definitions defs_;
  testing::LogCapture log;
};

TEST_F(ControlParseFilesTest, DefinitionFilesAreFoundAndParsed) {
  add_dict_parm("rdbms", "ORCL");
  write_file("xpadict.ctl", "name SERVER;\n  type char(8);\n  initial -rdbms DEMO;\nend;\n");
  write_file("xpacoll.ctl", "cursor C1;\n  interval 30;\n  limit 10;\n"
                            "  INSERT INTO T (A) VALUES (:A);\nend;\n");
  write_file("xpatrac.ctl", "trace C1;\n");
  EXPECT_EQ(parse_dict(defs_), 0) << log.text();
  EXPECT_EQ(defs_.find_dict_element("SERVER")->initial, "    ORCL");
  EXPECT_EQ(init_cursors(defs_), 0) << log.text();
  ASSERT_NE(defs_.find_cursor("C1"), nullptr);
  // The percent cursor follows the file's cursors and covers them.
  ASSERT_EQ(defs_.cur_anchor.back().get(), defs_.percent_cursor);
  EXPECT_NE(find_pcnt_col(defs_, "%sqlcode_C1"), nullptr);
  EXPECT_EQ(parse_trace(defs_), 0) << log.text();
  EXPECT_EQ(defs_.find_cursor("C1")->trace, 1);
  EXPECT_NE(log.text().find("-- Starting parse of DICT.CTL"), std::string::npos);
  EXPECT_NE(log.text().find("-- Starting parse of COLLECT.CTL"), std::string::npos);
  EXPECT_NE(log.text().find("-- Starting parse of TRACE.CTL"), std::string::npos);
}

TEST_F(ControlParseFilesTest, FailingCollectFileDeletesCursorsAndGivesTheStopCode) {
  write_file("xpacoll.ctl", "cursor C1;\n  INSERT INTO T (A) VALUES (:A);\n"
                            "cursor C2;\n  class 99;\n  INSERT INTO T (A) VALUES (:A);\nend;\n");
  EXPECT_EQ(init_cursors(defs_), kParseFailureCode);
  EXPECT_TRUE(defs_.cur_anchor.empty());
  EXPECT_TRUE(log.has("pcc0700", 'e', "Excessive Class value"));
}

TEST_F(ControlParseFilesTest, MissingFiles) {
  EXPECT_EQ(parse_dict(defs_), 1);
  EXPECT_EQ(parse_curs(defs_), 1);
  EXPECT_EQ(init_cursors(defs_), kParseFailureCode);
  EXPECT_EQ(parse_trace(defs_), 0);
  EXPECT_EQ(log.text().find("TRACE.CTL"), std::string::npos);
}

}  // namespace
}  // namespace qrx
