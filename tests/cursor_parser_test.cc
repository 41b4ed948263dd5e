#include "ctl/cursor_parser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <span>
#include <sstream>
#include <string>

#include "base/clock.h"
#include "base/relative_time.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "ctl/versions.h"
#include "exec/percent_cursor.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

std::string read_data(const char* name) {
  std::ifstream in(std::string(QRX_SOURCE_DIR) + "/tests/data/" + name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct BadClause {
  const char* statements;
  const char* id;
  const char* message;
};

class CursParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_all_ = trace_all;
    saved_something_ = trace_something;
    trace_all = trace_something = 0;
    unsetenv("COLL_XPA_LIMIT");
    // The result columns a fetch exit's insert_select names.
    for (const char* name : {"A", "B"}) {
      auto e = std::make_unique<dict_element>();
      e->name = name;
      e->length = 12;
      e->numeric = name[0] == 'B' ? 2 : 0;
      defs_.dict_anchor.push_back(std::move(e));
    }
  }
  void TearDown() override {
    trace_all = saved_all_;
    trace_something = saved_something_;
    unsetenv("COLL_XPA_LIMIT");
  }
  // One cursor C with a one-column INSERT and the given statements.
  static std::string block(const std::string& statements) {
    return "cursor C;\nINSERT INTO T (A) VALUES (:A);\n" + statements + "\nend;\n";
  }
  static std::string as_is(const std::string& statements) { return statements; }
  static std::string in_cursor(const std::string& statements) {
    return "cursor C;\n" + statements + "\nend;\n";
  }
  // Parses each row's statements as `file` makes them into a file, expects
  // the row's message and a failed parse. With `linked`, a clause fault must
  // leave the record linked and let reading go on to "end".
  void expect_faults(std::span<const BadClause> rows, std::string (*file)(const std::string&),
                     bool linked = false) {
    for (const BadClause& bad : rows) {
      SCOPED_TRACE(bad.statements);
      testing::LogCapture one;
      EXPECT_EQ(parse_curs_text(defs_, file(bad.statements)), 1);
      EXPECT_TRUE(one.has(bad.id, 'e', bad.message)) << one.text();
      EXPECT_TRUE(one.has("pcc0755", 'e', "Parsing ended with errors"));
      if (linked) {
        EXPECT_EQ(defs_.cur_anchor.size(), 1u);
        EXPECT_EQ(one.count("pcc0730"), 0);
      }
      defs_.del_curs();
    }
  }
  const curs& cursor(const char* name) {
    const curs* c = defs_.find_cursor(name);
    EXPECT_NE(c, nullptr) << name;
    static const curs none;
    return c ? *c : none;
  }
  Definitions defs_;
  testing::LogCapture log;

 private:
  int16_t saved_all_ = 0, saved_something_ = 0;
};

// find_cursor answers from a name index beside the chain; the chain is
// changed directly in several places, and the answers must follow it.
TEST_F(CursParserTest, FindCursorFollowsTheChainHoweverItChanges) {
  const std::string two = "cursor A;\nINSERT INTO T (X) VALUES (:X);\n"
                          "cursor B;\nINSERT INTO T (X) VALUES (:X);\nend;\n";
  ASSERT_EQ(parse_curs_text(defs_, two), 0);
  ASSERT_EQ(defs_.find_cursor("B"), defs_.cur_anchor[1].get());
  EXPECT_EQ(defs_.find_cursor("Z"), nullptr);

  // Appended behind the parser's back, then a second cursor of the same name:
  // the first one is found.
  auto z = std::make_unique<curs>();
  z->name = "Z";
  curs* first_z = z.get();
  defs_.cur_anchor.push_back(std::move(z));
  auto z2 = std::make_unique<curs>();
  z2->name = "Z";
  defs_.cur_anchor.push_back(std::move(z2));
  EXPECT_EQ(defs_.find_cursor("Z"), first_z);

  // Removed from the middle: gone; the others are still found.
  defs_.cur_anchor.erase(defs_.cur_anchor.begin() + 1);
  EXPECT_EQ(defs_.find_cursor("B"), nullptr);
  EXPECT_EQ(defs_.find_cursor("A"), defs_.cur_anchor[0].get());
  EXPECT_EQ(defs_.find_cursor("Z"), defs_.cur_anchor[1].get());

  // Renamed after a look-up: found by its new name only.
  defs_.cur_anchor[0]->name = "Q";
  EXPECT_EQ(defs_.find_cursor("Q"), defs_.cur_anchor[0].get());
  EXPECT_EQ(defs_.find_cursor("A"), nullptr);

  // A new parse with as many cursors: only the new names are found.
  ASSERT_EQ(parse_curs_text(defs_, "cursor C;\nINSERT INTO T (X) VALUES (:X);\n"
                            "cursor D;\nINSERT INTO T (X) VALUES (:X);\n"
                            "cursor E;\nINSERT INTO T (X) VALUES (:X);\nend;\n"),
            0);
  EXPECT_EQ(defs_.find_cursor("Q"), nullptr);
  EXPECT_EQ(defs_.find_cursor("Z"), nullptr);
  EXPECT_EQ(defs_.find_cursor("D"), defs_.cur_anchor[1].get());
}

TEST_F(CursParserTest, DuplicateNameIsFoundAmongManyCursors) {
  std::string text;
  for (int i = 0; i < 2000; ++i)
    text += "cursor N" + std::to_string(i) + ";\nINSERT INTO T (X) VALUES (:X);\n";
  text += "cursor N1234;\nINSERT INTO T (X) VALUES (:X);\nend;\n";
  EXPECT_EQ(parse_curs_text(defs_, text), 1);
  EXPECT_TRUE(log.has("pcc0455", 'e', "Duplicate cursor name N1234")) << log.text();
  EXPECT_EQ(defs_.find_cursor("N1999"), defs_.cur_anchor[1999].get());
}

TEST_F(CursParserTest, RealisticFileBuildsRecordsAndSelects) {
  ASSERT_EQ(parse_curs_text(defs_, read_data("collect_realistic.ctl")), 0) << log.text();
  ASSERT_EQ(defs_.cur_anchor.size(), 4u);
  EXPECT_EQ(defs_.cur_anchor[0]->name, "SESSION");
  EXPECT_EQ(defs_.cur_anchor[3]->name, "SCRIPTED");

  const curs& s = cursor("SESSION");
  EXPECT_EQ(s.last_time, "19900101010101");
  EXPECT_EQ(s.interval, 60);
  EXPECT_EQ(s.limit, 500);
  EXPECT_EQ(s.history, 1);
  EXPECT_EQ(s.class_, 3);
  EXPECT_EQ(s.table_name, "SYS.V_SESSION");
  EXPECT_EQ(s.insert_table, "SYS.V_SESSION");
  EXPECT_EQ(s.insert, "INSERT INTO SYS.V_SESSION (SID, USERNAME, STATUS, CPU) VALUES (?,?,?,?)");
  EXPECT_EQ(s.sql_text, "SELECT sid,username,status,cpu FROM SYS.V_SESSION WHERE STATUS = 'ACTIVE'");
  ASSERT_EQ(s.cols.size(), 4u);
  EXPECT_EQ(s.host_variables, 4);
  EXPECT_EQ(s.insert_columns, 4);
  ASSERT_EQ(s.host_cols.size(), 4u);
  EXPECT_EQ(s.host_cols[3].name, "CPU");
  EXPECT_EQ(s.cols[0]->send_conversion, kSendInt);
  EXPECT_EQ(s.cols[3]->name, "cpu");
  EXPECT_EQ(s.cols[3]->send_conversion, kSendFloat);
  EXPECT_EQ(s.cols[3]->function, kFnAvg);
  EXPECT_EQ(s.cols[3]->output_length, 10);
  EXPECT_EQ(s.has_col_functions, 1);
  EXPECT_EQ(s.has_min_max, 0);
  ASSERT_EQ(s.windows[kMonFri].size(), 2u);
  EXPECT_EQ(s.windows[kMonFri][0].start, 28800);
  EXPECT_EQ(s.windows[kMonFri][0].end, 64800);
  EXPECT_EQ(s.windows[kMonFri][1].start, 79200);
  EXPECT_EQ(s.windows[kMonFri][1].end, 108000);
  ASSERT_EQ(s.windows[kSaturday].size(), 1u);
  EXPECT_EQ(s.windows[kSaturday][0].end, 86400);
  EXPECT_EQ(s.uuidbase, "12345678-1234-1234-1234-123456789012");
  ASSERT_EQ(s.loads.size(), 1u);
  EXPECT_EQ(s.loads[0], "SUM cpu -> TOTALS.TOTAL");
  ASSERT_EQ(s.clauses.size(), 2u);
  EXPECT_EQ(s.clauses[0].text, "STATUS = 'A', 'ACTIVE'");
  EXPECT_EQ(s.clauses[1].text, "decimal 1 PCT ( cpu * 100 ) / 60");
  EXPECT_EQ(s.status, std::string(16, ' '));

  const curs& t = cursor("TOTALS");
  EXPECT_EQ(t.is_virtual, 1);
  EXPECT_EQ(t.interval, 0);
  EXPECT_EQ(t.limit, 0);
  EXPECT_EQ(t.sql_text, "SELECT total FROM TOTALS");

  const curs& p = cursor("PARMS");
  EXPECT_EQ(p.demand, 1);
  EXPECT_EQ(p.stale, 300);
  EXPECT_EQ(p.insert_table, "V_PARAMETER");
  EXPECT_EQ(p.sql_text, "SELECT name,value FROM V$PARAMETER");

  const curs& x = cursor("SCRIPTED");
  ASSERT_TRUE(x.fetch_exit.has_value());
  EXPECT_EQ(x.fetch_exit->name, "fetchx1");
  EXPECT_EQ(x.fetch_exit->mode, 1u);
  EXPECT_EQ(x.fetch_exit->mode_value, 60u);
  EXPECT_EQ(x.script, "/usr/bin/probe [name");
  // The script's result columns are the dictionary elements it selects.
  ASSERT_EQ(x.script_items.size(), 2u);
  EXPECT_EQ(x.script_items[0].name, "A");
  EXPECT_EQ(x.script_items[0].length, 12);
  EXPECT_EQ(x.script_items[0].type, 1);
  EXPECT_EQ(x.script_items[1].name, "B");
  EXPECT_EQ(x.script_items[1].type, 2);
  EXPECT_EQ(x.sql_text, "SELECT A, B FROM X");
  EXPECT_EQ(x.interval, 10);
  EXPECT_EQ(x.limit, 0);
  EXPECT_EQ(x.time_limit, 30);
  EXPECT_EQ(x.windows[kSaturday][0].start, 32400);
  EXPECT_TRUE(log.has("pcc0345", 'w', "Using default interval of 10 seconds for cursor SCRIPTED"));
  EXPECT_NE(log.text().find("PCC0301I"), std::string::npos);
  EXPECT_NE(log.text().find(") -- Starting parse of COLLECT.CTL -- Time = "), std::string::npos);
  EXPECT_NE(log.text().find(") --  Collector Parsing ended at "), std::string::npos);
  EXPECT_EQ(log.count("pcc0755"), 0);
}

TEST_F(CursParserTest, DemoFileParses) {
  // Its fetch exits name dictionary elements.
  std::ifstream dict(std::string(QRX_SOURCE_DIR) + "/examples/demo/qrxdict.ctl");
  std::stringstream dict_text;
  dict_text << dict.rdbuf();
  ASSERT_EQ(parse_dict_text(defs_, dict_text.str()), 0) << log.text();
  std::ifstream in(std::string(QRX_SOURCE_DIR) + "/examples/demo/qrxcoll.ctl");
  std::stringstream text;
  text << in.rdbuf();
  ASSERT_EQ(parse_curs_text(defs_, text.str()), 0) << log.text();
  ASSERT_EQ(defs_.cur_anchor.size(), 14u);
  EXPECT_EQ(cursor("DISKS").script_items.size(), 3u);
  // The computed COMMITPCT is not fetched.
  EXPECT_EQ(cursor("DBSTATS").sql_text,
            "SELECT name,version,uptime_s,commits,rollbacks FROM db_stats");
  ASSERT_NE(cursor("WATCH").versions, nullptr);
  EXPECT_EQ(cursor("WATCH").sql_text, "SELECT sid,username,status FROM sessions");
  EXPECT_EQ(cursor("WATCH").versions->records[1]->sql_text,
            "SELECT sid,username,status,cpu_s FROM sessions WHERE status = 'ACTIVE'");
  EXPECT_EQ(cursor("PARAMS").sql_text, "SELECT name,value FROM settings");
}

const BadClause kValueRuleErrors[] = {
    {"interval 1234567;", "pcc0565", "Invalid interval length (5)"},
    {"interval 10 20;", "pcc0560", "Duplicate interval"},
    {"interval abc;", "pcc0506", "Invalid number (abc) for interval"},
    {"limit 123456;", "pcc0625", "Invalid Limit length (6)"},
    {"limit 5 6;", "pcc0620", "Duplicate Limit"},
    {"time 12345;", "pcc0685", "Invalid Time Limit length (5)"},
    {"time 1;\ntime 2;", "pcc0680", "Duplicate Time Limit"},
    {"class 12345;", "pcc0695", "Invalid Class length (5)"},
    {"class 1 2;", "pcc0690", "Duplicate Class Specified"},
    {"class 51;", "pcc0700", "Excessive Class value"},
    {"demand;\nstale 1234567;", "pcc0645", "Invalid interval length (5)"},
    {"demand;\nstale 1 2;", "pcc0640", "Duplicate Stale time"},
    {"objid 1234567;", "pcc0615", "Invalid set length (7)"},
    {"objid 1 2;", "pcc0610", "Duplicate objid"},
    {"set 12345;", "pcc0595", "Invalid Set length (5)"},
    {"set 1 2;", "pcc0590", "Duplicate set"},
    {"rpc_version 12345;", "pcc0605", "Invalid Rpc_version length (5)"},
    {"rpc_version 1 2;", "pcc0600", "Duplicate rpc_version"},
    {"samples 12345;", "pcc0635", "Invalid Sample (5)"},
    {"start_after 1234;", "pcc0575", "Invalid start_after (4)"},
    {"start_after 1 2;", "pcc0570", "Duplicate start_after"},
    {"stop_after 1234;", "pcc0585", "Invalid stop_after (4)"},
    {"stop_after 1 2;", "pcc0580", "Duplicate stop_after"},
    {"go_home 12345;", "pcc0630", "Invalid Go_home length (5)"},
    {"age_to ABCDEFGHI;", "pcc0710", "Excessive length on age_to name"},
    {"age_to A B;", "pcc0705", "Duplicate age_to entry"},
    {"uuidbase 12345678-1234-1234-1234-1234567890123;", "pcc0655", "Invalid Uuidbase length (36)"},
    {"uuidbase a-b c-d;", "pcc0650", "Duplicate Uuidbase"},
    {"uuidpavc 12345678-1234-1234-1234-1234567890123;", "pcc0665", "Invalid Uuidpavc length (36)"},
    {"uuidpavc a-b c-d;", "pcc0660", "Duplicate Uuidpavc"},
    {"uuidpcvc 12345678-1234-1234-1234-1234567890123;", "pcc0675", "Invalid Uuidpcvc length (36)"},
    {"uuidpcvc a-b c-d;", "pcc0670", "Duplicate Uuidpcvc"},
    {"saturday_start 800;", "pcc0555", "Incorrect length for saturday_start (4)"},
    {"saturday_start 0800 0900;", "pcc0550", "Duplicate saturday_start specification"},
    {"saturday_end 08000;", "pcc0565", "Incorrect length for saturday_end (4)"},
    {"saturday_end 0800 0900;", "pcc0560", "Duplicate saturday_end specification"},
    {"sunday_start 1;", "pcc0535", "Incorrect length for sunday_start (4)"},
    {"sunday_start 0800 0900;", "pcc0530", "Duplicate sunday_start specification"},
    {"sunday_end 1;", "pcc0545", "Incorrect length for sunday_end (4)"},
    {"sunday_end 0800 0900;", "pcc0540", "Duplicate sunday_end specification"},
    {"mon_fri_start 1;", "pcc0515", "Incorrect length for mon_fri_start (4)"},
    {"mon_fri_start 0800 0900;", "pcc0510", "Duplicate mon_fri_start specification"},
    {"mon_fri_end 1;", "pcc0525", "Incorrect length for mon_fri_end (4)"},
    {"mon_fri_end 0800 0900;", "pcc0520", "Duplicate mon_fri_end specification"},
    {"fetch_exit nosuch;", "pcc0485", "Fetch exit routine not known"},
    {"fetch_exit fetchx2 fetchx3;\nscript x;\ninsert_select SELECT A FROM T;", "pcc0480", "Duplicate fetch_exit entry"},
    {"insert_where A = 1;\ninsert_where B = 2;", "pcc0495", "Duplicate insert_where entry"},
    {"insert_select SELECT 1 FROM D;\ninsert_select SELECT 2 FROM D;", "pcc0500",
     "Duplicate insert_select entry"},
    {"script a;\nscript b;", "pcc0490", "Duplicate script entry"},
    {"INSERT INTO T (A) VALUES (:A);", "pcc0465", "Duplicate INSERT entry"},
};

TEST_F(CursParserTest, EveryValueRuleErrorHasItsMessage) {
  expect_faults(kValueRuleErrors, block, /*linked=*/true);
}

TEST_F(CursParserTest, FirstValueIsKeptAfterDuplicate) {
  EXPECT_EQ(parse_curs_text(defs_, block("interval 10 20;\nsamples 5 6;")), 1);
  EXPECT_EQ(cursor("C").interval, 10);
  EXPECT_EQ(cursor("C").samples, 6);
}

TEST_F(CursParserTest, OneRunListsEveryFault) {
  EXPECT_EQ(parse_curs_text(defs_, block("interval 1234567;\nclass 51;\nfetch_exit nosuch;")), 1);
  EXPECT_EQ(log.count("pcc0565"), 1);
  EXPECT_EQ(log.count("pcc0700"), 1);
  EXPECT_EQ(log.count("pcc0485"), 1);
}

TEST_F(CursParserTest, AcceptedBoundaryValues) {
  ASSERT_EQ(parse_curs_text(defs_, block("class 50;\ninterval 123456;\nMixed_Case_Ignored;")), 1);
  EXPECT_TRUE(log.has("pcc0315", 'e', "Unknown keyword (Mixed_Case_Ignored)"));
  defs_.del_curs();
  ASSERT_EQ(parse_curs_text(defs_, block("class 50;\nInterval 123456;\nLIMIT 99999;")), 0) << log.text();
  EXPECT_EQ(cursor("C").class_, 50);
  EXPECT_EQ(cursor("C").interval, 123456);
  EXPECT_EQ(cursor("C").limit, 99999);
}

const BadClause kInsertErrors[] = {
    {"INSERT INTO T (A, B) VALUES (:X);", "pcc0470", "On INSERT, num of cols (2) is not num HVs (1)"},
    {"INSERT INTO T (A, B) VALUES (:X);", "pcc0475", "Col #1 = B"},
    {"INSERT INTO .TAB (A) VALUES (:A);", "pcc0720", "Invalid table name format"},
    {"INSERT INTO a. (A) VALUES (:A);", "pcc0715", "Invalid table name format"},
};

TEST_F(CursParserTest, InsertFaultsHaveTheirMessages) {
  expect_faults(kInsertErrors, in_cursor);
}

TEST_F(CursParserTest, InsertWithoutHostVariablesOrBalancedGroupWarns) {
  EXPECT_EQ(parse_curs_text(defs_, "cursor C;\nINSERT INTO T (A) VALUES (A);\nend;\n"), 1);
  EXPECT_TRUE(log.has("cev1820", 'w', "No host variables in INSERT"));
  defs_.del_curs();
  EXPECT_EQ(parse_curs_text(defs_, "cursor C;\nINSERT INTO T VALUES :A;\nend;\n"), 1);
  EXPECT_TRUE(log.has("cev1825", 'w', "Insert parentheses dont match-up"));
}

TEST_F(CursParserTest, InsertIsRewrittenWithPlaceholders) {
  ASSERT_EQ(parse_curs_text(defs_, "cursor C;\nINSERT INTO T (A, B) VALUES (:X, :Y);\nend;\n"), 0)
      << log.text();
  const curs& c = cursor("C");
  EXPECT_EQ(c.insert, "INSERT INTO T (A, B) VALUES (?,?)");
  ASSERT_EQ(c.cols.size(), 2u);
  EXPECT_EQ(c.cols[0]->name, "X");
  EXPECT_EQ(c.cols[1]->name, "Y");
  ASSERT_EQ(c.host_cols.size(), 2u);
  EXPECT_EQ(c.host_cols[0].name, "A");
  EXPECT_EQ(c.host_cols[1].name, "B");
  EXPECT_EQ(c.table_name, "T");
}

const BadClause kBlockErrors[] = {
    {"cursor;\nend;", "pcc0445", "No Cursor name supplied"},
    {"cursor ABCDEFGHI;\nend;", "pcc0450", "Cursor name exceeeds 8 characters"},
    {"cursor C;\nINSERT INTO T (A) VALUES (:A);\ncursor C;\nend;", "pcc0455",
     "Duplicate cursor name C"},
    {"cursor C;\nfrobnicate 1;\nend;", "pcc0315", "Unknown keyword (frobnicate)"},
    {"interval 5;\nend;", "pcc0320", "First word must be 'cursor'"},
    {"Cursor C;\nend;", "pcc0320", "First word must be 'cursor'"},
    {"cursor C;\ninterval (5;\nend;", "pcc0725", "Parentheses do not balance"},
    {"cursor C;\ninterval 5);\nend;", "pcc0460",
     "Parsing failed : Syntax error - Position = 11 Right parenthesis without preceeding Left "
     "parenthesis, Text = )"},
    {") x;\nend;", "pcc0310",
     "Parsing failed : Syntax error - Right parenthesis without preceeding Left parenthesis, "
     "Text = )"},
    {"cursor C;\nINSERT INTO T (A) VALUES (:A);\n", "pcc0730", "Missing end statement"},
};

TEST_F(CursParserTest, BlockFaultsStopTheParse) {
  expect_faults(kBlockErrors, as_is);
}

TEST_F(CursParserTest, OverlongStatementIsAnError) {
  const std::string text = "cursor C;\ninsert_where " + std::string(20000, 'x') + ";\nend;\n";
  EXPECT_EQ(parse_curs_text(defs_, text), 1);
  EXPECT_TRUE(log.has("pcc0303", 'e', "Statement ending on line 2 exceeds 15995 characters"));
}

const BadClause kBlockChecks[] = {
    {"stale 5;", "pcc0340", "Error - Stale only valid with demand cursor"},
    {"dummy_last_row;\nconditional_dummy_last_row;", "pcc0350",
     "Conditional_dummy_last_row and dummy_last_row are exclusive"},
    {"empty;\nonce;", "pcc0390", "Empty and Once are incompatable"},
    {"no_sql;\ninsert_select SELECT A FROM T;", "pcc0400",
     "NO_SQL and INSERT_SELECT are incompatable"},
    {"no_sql;\nvirtual;", "pcc0405", "NO_SQL and VIRTUAL are incompatable"},
    {"no_sql;\nbase B1 on A -> X;", "pcc0410", "NO_SQL and BASE are incompatable"},
    {"iterate_where A = 1;", "pcc0415", "ITERATE_WHERE requires ITERATE"},
    {"fetch_exit fetchx1;\nscript x;", "pcc0440", "Fetch exit fetchx1 requires 'script' and 'select'"},
    {"fetch_exit fetchx2;\nscript x;\ninsert_select VALUES (A);", "pcc3990", "Invalid insert_select"},
    {"fetch_exit fetchx2;\nscript x;\ninsert_select SELECT A, B;", "pcc4000", "Bad insert_select text"},
    {"fetch_exit fetchx2;\nscript x;\ninsert_select SELECT A, NOSUCH FROM T;", "pcc4005",
     "No dictionary entry found for NOSUCH"},
    {"virtual;\nif X = 1;\nendif;", "pcc0443", "A virtual cursor (C) can't be conditional"},
};

TEST_F(CursParserTest, BlockChecksReportTheirFaults) {
  expect_faults(kBlockChecks, block);
}

TEST_F(CursParserTest, BlockWithoutColumnsInsertOrTable) {
  EXPECT_EQ(parse_curs_text(defs_, "cursor C;\ninterval 5;\nend;\n"), 1);
  EXPECT_TRUE(log.has("pcc0355", 'e', "No local columns to fetch for insert"));
  EXPECT_TRUE(log.has("pcc0360", 'e', "Cursor (C). No model INSERT statement"));
  EXPECT_TRUE(log.has("pcc0365", 'e', "Cursor (C). No table name found"));
}

TEST_F(CursParserTest, CheckWithoutNameUsesShortMessages) {
  testing::LogCapture one;
  curs c;
  EXPECT_EQ(edit_cursor_block(defs_, c), 1);
  EXPECT_TRUE(one.has("pcc0327", 'e', "No cursor name"));
  EXPECT_TRUE(one.has("pcc0360", 'e', "No model INSERT statement"));
  EXPECT_TRUE(one.has("pcc0365", 'e', "No table name found"));
  EXPECT_TRUE(one.has("pcc0370", 'w', "Warning, No cursor row limit, using default 1024 rows"));
}

TEST_F(CursParserTest, DefaultIntervalAndRowLimit) {
  ASSERT_EQ(parse_curs_text(defs_, block("")), 0) << log.text();
  EXPECT_EQ(cursor("C").interval, 10);
  EXPECT_EQ(cursor("C").limit, 1024);
  EXPECT_TRUE(log.has("pcc0345", 'w', "Using default interval of 10 seconds for cursor C"));
  EXPECT_TRUE(log.has("pcc0370", 'w',
                      "Warning, Cursor (C) No cursor row limit, using default 1024 rows"));
}

TEST_F(CursParserTest, RowLimitFromEnvironment) {
  struct {
    const char* value;
    int32_t limit;
  } const cases[] = {{"50", 50}, {"0", 1024}, {"-3", 1024}, {"junk", 1024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    testing::LogCapture one;
    setenv("COLL_XPA_LIMIT", c.value, 1);
    ASSERT_EQ(parse_curs_text(defs_, block("")), 0);
    EXPECT_EQ(cursor("C").limit, c.limit);
    EXPECT_TRUE(one.has("pcc0371", 'i',
                        "Warning, Cursor (C) No cursor row limit, using (" +
                            std::to_string(c.limit) + ") rows"));
  }
}

TEST_F(CursParserTest, NoDefaultsForDemandOrVirtualOrTimeLimit) {
  for (const char* s : {"demand;", "virtual;", "time 5;"}) {
    SCOPED_TRACE(s);
    ASSERT_EQ(parse_curs_text(defs_, block(s)), 0);
    EXPECT_EQ(cursor("C").limit, 0);
  }
}

TEST_F(CursParserTest, DayWindows) {
  ASSERT_EQ(parse_curs_text(defs_, block("mon_fri_start 2200;\nmon_fri_end 0600;\n"
                                  "saturday_start 0100;\nsaturday_end 0200;\n"
                                  "saturday_start 0300;\nsaturday_end 0400;\n"
                                  "sunday_end 1000;\nsunday_start 0900;")),
            0)
      << log.text();
  const curs& c = cursor("C");
  ASSERT_EQ(c.windows[kMonFri].size(), 1u);
  EXPECT_EQ(c.windows[kMonFri][0].start, 79200);
  EXPECT_EQ(c.windows[kMonFri][0].end, 108000);
  ASSERT_EQ(c.windows[kSaturday].size(), 2u);
  EXPECT_EQ(c.windows[kSaturday][1].start, 10800);
  EXPECT_EQ(c.windows[kSaturday][1].end, 14400);
  ASSERT_EQ(c.windows[kSunday].size(), 1u);
  EXPECT_EQ(c.windows[kSunday][0].start, 32400);
}

TEST_F(CursParserTest, UnpairedWindowStartIsReported) {
  ASSERT_EQ(parse_curs_text(defs_, block("mon_fri_start 0800;")), 0);
  EXPECT_EQ(log.count("pcc0380"), 1);
  ASSERT_EQ(cursor("C").windows[kMonFri].size(), 1u);
  EXPECT_EQ(cursor("C").windows[kMonFri][0].end, 86400);
}

struct ColumnCase {
  const char* word;
  const char* name;
  uint16_t send;
  uint16_t function;
  uint16_t occurrence;
  uint16_t output_length;
  uint16_t qualified;
};

const ColumnCase kColumnCases[] = {
    {"INT!AVG!busy^8", "busy", kSendInt, kFnAvg, 0, 8, 0},
    {"AVG!INT!busy", "busy", kSendInt, kFnAvg, 0, 0, 0},
    {"3", "3", kSendText, kFnNone, 3, 0, 0},
    {"0", "0", kSendText, kFnNone, 1, 0, 0},
    {"INT!2x", "2x", kSendInt, kFnNone, 2, 0, 0},
    {"ns!HW!val", "val", kSendNone, kFnHighWater, 0, 0, 0},
    {"int64!n", "n", kSendInt64, kFnNone, 0, 0, 0},
    {"TS!when", "when", kSendTimestamp, kFnNone, 0, 0, 0},
    {"float!count!x", "x", kSendFloat, kFnCount, 0, 0, 0},
    {"Int!n", "Int!n", kSendText, kFnNone, 0, 0, 0},
    {"C2.col", "C2.col", kSendText, kFnNone, 0, 0, 1},
    {"MAX!trend!x", "trend!x", kSendText, kFnMax, 0, 0, 0},
};

TEST(AddColumn, PrefixesAsTabled) {
  for (const ColumnCase& c : kColumnCases) {
    SCOPED_TRACE(c.word);
    curs cur;
    add_column(c.word, cur);
    ASSERT_EQ(cur.cols.size(), 1u);
    const columns& col = *cur.cols[0];
    EXPECT_EQ(col.name, c.name);
    EXPECT_EQ(col.send_conversion, c.send);
    EXPECT_EQ(col.function, c.function);
    EXPECT_EQ(col.occurrence, c.occurrence);
    EXPECT_EQ(col.output_length, c.output_length);
    EXPECT_EQ(col.qualified, c.qualified);
  }
}

TEST(AddColumn, FunctionFlagsOfTheCursor) {
  curs a, b, c;
  add_column("HW!x", a);
  EXPECT_EQ(a.has_col_functions, 0);
  add_column("SUM!x", b);
  EXPECT_EQ(b.has_col_functions, 1);
  EXPECT_EQ(b.has_min_max, 0);
  add_column("min!x", c);
  EXPECT_EQ(c.has_col_functions, 1);
  EXPECT_EQ(c.has_min_max, 1);
}

TEST(AddColumn, LongNameIsCutWithWarning) {
  testing::LogCapture log;
  curs cur;
  const std::string word = "INT!" + std::string(60, 'n');
  add_column(word, cur);
  EXPECT_EQ(cur.cols[0]->name, std::string(49, 'n'));
  EXPECT_TRUE(log.has("pcc0025", 'w', "Warning, truncating col_name " + word));
}

TEST(SetSelects, WritesEachColumnOnceAndSkipsVirtualVariables) {
  curs c;
  c.table_name = "T";
  for (const char* w : {"X", "Y", "X", "%rowno", "%NOW_TIME", "%sqlcode_1", "%Me"})
    add_column(w, c);
  ASSERT_EQ(set_selects(c), 0);
  EXPECT_EQ(c.sql_text, "SELECT X,Y,%Me FROM T");
}

TEST(SetSelects, NothingToFetchIsAnError) {
  testing::LogCapture log;
  curs c;
  c.table_name = "T";
  add_column("%machine", c);
  EXPECT_EQ(set_selects(c), 1);
  EXPECT_TRUE(log.has("PCC0020", 'E', "Error - No columns to fetch"));
}

struct ExitCase {
  const char* written;
  const char* name;
  uint16_t routine;
  uint32_t mode;
  uint32_t mode_value;
};

TEST_F(CursParserTest, FetchExitNamesAndModes) {
  const ExitCase cases[] = {
      {"FETCHX2", "fetchx2", 2, 0, 0},     {"fetchx1t60", "fetchx1", 1, 1, 60},
      {"fetchxit", "fetchxi", 9, 1, 30},  {"fetchxi1", "fetchxi1", 9, 7, 0},
      {"fetchx3p", "fetchx3", 3, 2, 0},   {"fetchxt", "fetchxt", 1, 0, 0},
  };
  for (const ExitCase& e : cases) {
    SCOPED_TRACE(e.written);
    ASSERT_EQ(parse_curs_text(defs_, block(std::string("fetch_exit ") + e.written +
                                    ";\nscript x;\ninsert_select SELECT A FROM T;")),
              0)
        << log.text();
    const fetch_ex& f = *cursor("C").fetch_exit;
    EXPECT_EQ(f.name, e.name);
    EXPECT_EQ(f.routine, e.routine);
    EXPECT_EQ(f.mode, e.mode);
    EXPECT_EQ(f.mode_value, e.mode_value);
  }
  // The shared list keeps its own values.
  EXPECT_EQ(known_exits()[0].mode, 0u);
}

TEST_F(CursParserTest, ConditionalSectionsBuildOneVersionPerBranch) {
  ASSERT_EQ(parse_curs_text(defs_, block("if DBVERSION >= 9;\ninterval 30;\nelse;\ninterval 60;\nendif;\n"
                                  "limit 5;")),
            0)
      << log.text();
  const curs& c = cursor("C");
  EXPECT_EQ(c.has_if, 1);
  EXPECT_EQ(c.limit, 5);
  EXPECT_EQ(c.interval, 30);  // the slot holds the first (THEN) version
  ASSERT_NE(c.versions, nullptr);
  ASSERT_EQ(c.versions->records.size(), 2u);
  EXPECT_EQ(c.versions->records[1]->interval, 60);
  EXPECT_EQ(c.versions->records[1]->limit, 5);
}

TEST_F(CursParserTest, UnmatchedConditionalStatements) {
  EXPECT_EQ(parse_curs_text(defs_, block("endif;")), 1);
  EXPECT_TRUE(log.has("PIF0070", 'e', "ENDIF has no matching IF for cursor C"));
  defs_.del_curs();
  EXPECT_EQ(parse_curs_text(defs_, block("else;")), 1);
  EXPECT_TRUE(log.has("PIF0050", 'e', "ELSE has no matching IF for cursor C"));
  defs_.del_curs();
  EXPECT_EQ(parse_curs_text(defs_, block("if A = 1;")), 1);
  EXPECT_TRUE(log.has("PIF0100", 'e', "Cursor C end encountered before expected ENDIF"));
}

TEST_F(CursParserTest, TraceClausesSwitchTracingOn) {
  ASSERT_EQ(parse_curs_text(defs_, block("trace;\ntracem;")), 0);
  EXPECT_EQ(cursor("C").trace, 1);
  EXPECT_EQ(cursor("C").tracem, 1);
  EXPECT_EQ(cursor("C").traced, 0);
  EXPECT_EQ(trace_something, 1);
  EXPECT_EQ(trace_all, 0);
  defs_.del_curs();
  ASSERT_EQ(parse_curs_text(defs_, block("trace_all;")), 0);
  EXPECT_EQ(trace_all, 1);
  EXPECT_EQ(cursor("C").trace, 1);
}

class FixedClock : public Clock {
 public:
  std::time_t now() override { return 1'000'000'000; }
  void sleep_seconds(unsigned) override {}
};

TEST_F(CursParserTest, GoHomeSetsTheProcessGoHomeTime) {
  FixedClock clock;
  set_clock(&clock);
  ASSERT_EQ(parse_curs_text(defs_, block("go_home 600;")), 0);
  set_clock(nullptr);
  EXPECT_EQ(defs_.go_home_time, relative_now(1'000'000'000) + 600);
}

TEST_F(CursParserTest, KeywordLookupIgnoresCase) {
  EXPECT_EQ(test_word("Interval", 8), 12);
  EXPECT_EQ(test_word("UUIDPCVC", 8), 27);
  EXPECT_EQ(test_word("conditional_dummy_last_row", 26), 51);
  EXPECT_EQ(test_word("intervals", 9), 0);
}

TEST_F(CursParserTest, ReparseReplacesCursors) {
  ASSERT_EQ(parse_curs_text(defs_, block("")), 0);
  ASSERT_EQ(parse_curs_text(defs_, block("")), 0);
  EXPECT_EQ(defs_.cur_anchor.size(), 1u);
}

}  // namespace
}  // namespace qrx
