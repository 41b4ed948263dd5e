#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "base/trace.h"
#include "ctl/control_parse.h"
#include "qrx/curs.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

constexpr const char* kInterface =
    "  [ uuidbase(6a1f-22)\n"
    "uuidpavc (7b2e)\n"
    "uuidpcvc(8c3d) version (3)\n"
    "INTERFACE ds_space extra words\n"
    "OBJID (42)\n"
    "set(7)\n"
    "COLUMN (SystemName, C\n"
    "column Timestamp c\n"
    "COLUMN used_mb,, i\n"
    "COLUMN ratio F\n"
    "COLUMN SampleNo U\n";

class RqsParserTest : public ::testing::Test {
 protected:
  void TearDown() override {
    defs_.cur_anchor.clear();
    reset_trace_state();
  }
  // Writes NAME.RQS into the temporary directory; returns the INSERT's word.
  std::string write(const std::string& name, const std::string& content) {
    std::ofstream(dir.file(name + ".RQS")) << content;
    return "!" + dir.file(name);
  }
  testing::TempDir dir;
  testing::LogCapture log;
  curs c;
  std::string statement = "INSERT !X";
  Definitions defs_;
};

TEST_F(RqsParserTest, InterfaceFileDeducesTheInsert) {
  c.trace = 1;
  ASSERT_EQ(parse_rqs(write("SPACE", kInterface), statement, c), 0) << log.text();
  const std::string expected =
      "INSERT INTO DS_SPACE (SYSTEMNAME,TIMESTAMP,USED_MB,RATIO,SAMPLENO) VALUES "
      "(:%machine,:%now_time,:INT!USED_MB,:FLOAT!RATIO,:INT!%sampleno) ";
  EXPECT_EQ(statement, expected);
  EXPECT_TRUE(log.has("cat1970", 'i', "Deduced insert: " + expected));
  EXPECT_TRUE(log.has("cat1940", 'i', "OBJID (42)"));
  EXPECT_EQ(c.host_variables, 5);
  ASSERT_EQ(c.cols.size(), 5u);
  EXPECT_EQ(c.cols[0]->name, "%machine");
  EXPECT_EQ(c.cols[2]->name, "USED_MB");
  EXPECT_EQ(c.cols[2]->send_conversion, kSendInt);
  EXPECT_EQ(c.cols[3]->send_conversion, kSendFloat);
  EXPECT_EQ(c.insert_table, "DS_SPACE");
  EXPECT_EQ(c.table_name, "DS_SPACE");
  EXPECT_EQ(c.uuidbase, "6a1f-22");
  EXPECT_EQ(c.uuidpavc, "7b2e");
  EXPECT_EQ(c.uuidpcvc, "8c3d");
  EXPECT_EQ(c.rpc_version, 3);
  EXPECT_EQ(c.objid, 42);
  EXPECT_EQ(c.set, 7);
  EXPECT_TRUE(log.has("cat1975", 't', "Objid = 42, set = 7, rpc_version = 3"));
  EXPECT_TRUE(log.has("cat1980", 't', "Uuidbase = 6a1f-22"));
}

TEST_F(RqsParserTest, LinesOutOfOrderAreIgnored) {
  // INTERFACE before the uuids: never taken, so no table name.
  EXPECT_EQ(parse_rqs(write("A", "INTERFACE t\n[uuidbase(1)\nuuidpavc(2)\nuuidpcvc(3)(1)\n"
                                  "objid(1)\nset(1)\ncolumn a c\n"),
                      statement, c),
            1);
  EXPECT_TRUE(log.has("cat1955", 'e', "Did not find DS table name"));
  // Columns before OBJID and SET: never taken.
  EXPECT_EQ(parse_rqs(write("B", "[uuidbase(1)\nuuidpavc(2)\nuuidpcvc(3)(1)\ninterface t\n"
                                  "column a c\nobjid(1)\nset(1)\n"),
                      statement, c),
            1);
  EXPECT_TRUE(log.has("cat1960", 'e', "Did not find DS column(s)"));
}

TEST_F(RqsParserTest, FaultsAreReported) {
  const struct {
    const char* content;
    const char* id;
    const char* message;
  } cases[] = {
      {"[uuidbase(1)\nuuidpavc(2)\nuuidpcvc(3)\n", "cat1945", "No rpc_version"},
      {"[uuidbase(1)\nuuidpavc(2)\nuuidpcvc(3)()\n", "cat1945", "No rpc_version"},
      {"[uuidbase(1)\nuuidpavc(2)\nuuidpcvc(3)(1)\ninterface t\nobjid(1)\nset(1)\ncolumn a x\n",
       "cat1950", "Unknown column type for A"},
      {"[uuidbase(1)\nuuidpavc(2)\nuuidpcvc(3)(1)\ninterface t\nobjid(one)\n", "cat1965",
       "Invalid number (one)"},
      {"[uuidbase 1\n", "cat1925", "No opening parenthesis"},
      {"[uuidbase(1\n", "cat1930", "No ending parenthesis"},
  };
  for (const auto& t : cases) {
    EXPECT_EQ(parse_rqs(write("F", t.content), statement, c), 1) << t.content;
    EXPECT_TRUE(log.has(t.id, 'e', t.message)) << t.content << log.text();
  }
  EXPECT_EQ(parse_rqs("!" + dir.file("NONE"), statement, c), 1);
  EXPECT_TRUE(log.has("cat1935", 'e', "Can NOT open " + dir.file("NONE") + ".RQS"));
}

TEST_F(RqsParserTest, CursorInsertReadsTheInterfaceFile) {
  const std::string word = write("SPACE", kInterface);
  ASSERT_EQ(parse_curs_text(defs_, "cursor SPACE;\ninterval 60;\nINSERT " + word + ";\nend;\n"), 0) << log.text();
  const curs* space = defs_.find_cursor("SPACE");
  ASSERT_NE(space, nullptr);
  EXPECT_EQ(space->insert,
            "INSERT INTO DS_SPACE (SYSTEMNAME,TIMESTAMP,USED_MB,RATIO,SAMPLENO) VALUES (?,?,?,?,?)");
  EXPECT_EQ(space->insert_columns, 5);
  EXPECT_EQ(space->table_name, "DS_SPACE");
}

}  // namespace
}  // namespace qrx
