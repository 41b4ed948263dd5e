#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/settings.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "qrx/dict.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

class DictParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_dict_parms();
    trace_all = trace_something = 0;
  }
  void TearDown() override {
    clear_dict_parms();
    unsetenv("QRX_DICT_TEST_VAR");
  }
  const dict_element& element(const std::string& name) {
    const dict_element* e = defs.find_dict_element(name);
    EXPECT_NE(e, nullptr) << name;
    static const dict_element none;
    return e ? *e : none;
  }
  Definitions defs;
  testing::LogCapture log;
};

TEST_F(DictParserTest, TypesLengthsAndInitialValues) {
  ASSERT_EQ(parse_dict_text(defs, ";; values\n"
                            "name SERVER;\ntype char(10);\ninitial 'AB';\n"
                            "NAME MAXROWS;\nTYPE INTEGER;\nINITIAL 500;\n"
                            "name BIG;\ntype int64;\ninitial '42' trailing;\n"
                            "name RATIO;\ntype float;\ninitial 0.5;\n"
                            "name FLAG;\ntype char(1);\n"
                            "end;\n"),
            0)
      << log.text();
  ASSERT_EQ(defs.dict_anchor.size(), 5u);
  EXPECT_EQ(defs.dict_anchor[0]->name, "SERVER");
  EXPECT_EQ(element("SERVER").numeric, 0);
  EXPECT_EQ(element("SERVER").length, 10);
  EXPECT_EQ(element("SERVER").initial, "        AB");
  EXPECT_EQ(element("MAXROWS").numeric, 2);
  EXPECT_EQ(element("MAXROWS").length, 21);
  EXPECT_EQ(element("MAXROWS").initial, "500");
  EXPECT_EQ(element("BIG").initial, "42");
  EXPECT_EQ(element("RATIO").initial, "0.5");
  EXPECT_FALSE(element("FLAG").initial.has_value());
  EXPECT_TRUE(log.has("pdc2125", 'i', "No Initial value, using default"));
  EXPECT_TRUE(log.has("pdc2001", 'i', "-- Starting parse of DICT.CTL -- Time: " +
                                          log.lines()[1].substr(log.lines()[1].find("Time: ") + 6)));
  EXPECT_EQ(log.count("pdc2201"), 1);
}

TEST_F(DictParserTest, CharValueIsRightAlignedFirstToken) {
  ASSERT_EQ(parse_dict_text(defs, "name A;\ntype char(6);\ninitial \"x y\";\n"), 0);
  EXPECT_EQ(element("A").initial, "     x");
}

TEST_F(DictParserTest, OverlongCharValueIsCutWithWarning) {
  ASSERT_EQ(parse_dict_text(defs, "name A;\ntype char(3);\ninitial ABCDEF;\n"), 0);
  EXPECT_EQ(element("A").initial, "ABC");
  EXPECT_EQ(log.count("pdc2160"), 1);
}

TEST_F(DictParserTest, InitialBeforeTypeStillFitsTheField) {
  ASSERT_EQ(parse_dict_text(defs, "name A;\ninitial XY;\ntype char(4);\n"), 0);
  EXPECT_EQ(element("A").initial, "  XY");
}

struct InitialCase {
  const char* initial;
  const char* expected;  // null: no value
};

TEST_F(DictParserTest, InitialValuesFromParametersAndEnvironment) {
  add_dict_parm("rdbms", "ORCL");
  setenv("QRX_DICT_TEST_VAR", "envvalue", 1);
  const InitialCase cases[] = {
      {"-rdbms DEMO", "ORCL"},
      {"-RDBMS", "ORCL"},
      {"-nosuch 'fallback',", "fallback"},
      {"-nosuch", "-nosuch"},
      {"-nosuch ,''", "-nosuch"},
      {"%QRX_DICT_TEST_VAR other", "envvalue"},
      {"%QRX_DICT_UNSET_VAR other", "other"},
      {"%QRX_DICT_UNSET_VAR", nullptr},
  };
  for (const InitialCase& c : cases) {
    SCOPED_TRACE(c.initial);
    const std::string file = std::string("name A;\ntype char(12);\ninitial ") + c.initial + ";";
    ASSERT_EQ(parse_dict_text(defs, file), 0) << log.text();
    if (c.expected) {
      std::string want(12 - std::string(c.expected).size(), ' ');
      EXPECT_EQ(element("A").initial, want + c.expected);
    } else {
      EXPECT_FALSE(element("A").initial.has_value());
    }
  }
  EXPECT_TRUE(log.has("pdc2150", 'w', "Environmental variable QRX_DICT_UNSET_VAR not found"));
}

struct BadDict {
  const char* file;
  const char* id;
  const char* message;
};

const BadDict kBadDicts[] = {
    {"name ABCDEFGHIJKLMNOPQRSTUVWXYZ123456;\ntype integer;", "pdc2100",
     "Dictionary element name is exceeds 29 characters"},
    {"name A;\ntype integer;\nname A;\ntype integer;", "pdc2105", "Name previously used"},
    {"name A;\ntype integer;\ntype float;", "pdc2130", "Duplicate data type"},
    {"name A;\ntype char(3000);", "pdc2135", "ERR Length of 3000 exceeds maximum(2048)"},
    {"name A;\ntype char;", "pdc2140", "CHAR requires a length in parentheses"},
    {"name A;\ntype Char(3);", "pdc2145", "Invalid data type"},
    {"name;\ntype integer;", "pdc2110", "No  name"},
    {"name A;\ninitial 5;", "pdc2115", "No data type"},
    {"name A;\nnumber;", "pdc2115", "No data type"},
    {"name A;\ntype char(0);", "pdc2120", "No Length specified"},
    {"type integer;", "pdc2020", "First word must be 'name'"},
    {"name A;\nsize 5;", "pdc2015", "Unknown keyword (size)"},
    {"name A;\nType integer;", "pdc2015", "Unknown keyword (Type)"},
    {"name A;\ntype ) integer;", "pdc2010",
     "Parsing failed : Syntax error - Position = 6 Right parenthesis without preceeding Left "
     "parenthesis, Text = )"},
};

TEST_F(DictParserTest, EveryFaultHasItsMessage) {
  for (const BadDict& bad : kBadDicts) {
    SCOPED_TRACE(bad.file);
    testing::LogCapture one;
    EXPECT_EQ(parse_dict_text(defs, bad.file), 1);
    EXPECT_TRUE(one.has(bad.id, 'e', bad.message)) << one.text();
    EXPECT_TRUE(one.has("pdc2205", 'e', "Parsing ended with errors"));
  }
}

TEST_F(DictParserTest, OneRunListsEveryClauseFault) {
  EXPECT_EQ(parse_dict_text(defs, "name A;\ntype float;\ntype integer;\n"
                            "name B;\ntype bogus;\ntype char(9999);\ntype integer;\n"
                            "end;"),
            1);
  EXPECT_TRUE(log.has("pdc2130", 'e', "Duplicate data type"));
  EXPECT_TRUE(log.has("pdc2145", 'e', "Invalid data type"));
  EXPECT_TRUE(log.has("pdc2135", 'e', "ERR Length of 9999 exceeds maximum(2048)"));
  EXPECT_EQ(defs.dict_anchor.size(), 2u);
}

TEST_F(DictParserTest, KeywordLookupAcceptsTwoSpellings) {
  EXPECT_EQ(test_dict_word("initial", 7), 3);
  EXPECT_EQ(test_dict_word("INITIAL", 7), 3);
  EXPECT_EQ(test_dict_word("Initial", 7), 0);
  EXPECT_EQ(test_dict_word("end", 3), 5);
}

TEST_F(DictParserTest, TraceAllListsElements) {
  trace_all = 1;
  ASSERT_EQ(parse_dict_text(defs, "name A;\ntype integer;\ninitial 7;"), 0);
  trace_all = 0;
  EXPECT_TRUE(log.has("pdc2210", 't', "Name = A, Type = 2, len = 21, Initial = 7."));
}

}  // namespace
}  // namespace qrx
