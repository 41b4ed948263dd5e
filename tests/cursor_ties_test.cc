// Clauses that tie one cursor's rows to another's, run on SQLite: in-lists
// built after each run and merged into other cursors' SQL, bases joining each
// fetched row to another cursor's row, and age_to keeping the previous sample.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl/control_parse.h"
#include "exec/age_to.h"
#include "exec/bases.h"
#include "exec/clusters.h"
#include "exec/cursor_links.h"
#include "exec/cursor_run.h"
#include "exec/dynamic_fetch.h"
#include "exec/in_lists.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "support/database_fixture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

constexpr const char* kTime = "20260105090000";

using testing::query;

class CursorTiesTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    fetch_hooks() = FetchHooks{};
    collector_.server_id = db_.file("MON.db");
    setup_sql(
        "CREATE TABLE users (name VARCHAR(12), busy NUMBER(3));"
        "INSERT INTO users VALUES ('ann', 90), ('bob', 10), ('O''Brien', 80);"
        "CREATE TABLE sessions (sid NUMBER(3), username VARCHAR(12));"
        "INSERT INTO sessions VALUES (1, 'ann'), (2, 'bob'), (3, 'ann'), (4, 'O''Brien'), (5, 'carl');"
        "CREATE TABLE owners (id NUMBER(3), oname CHAR(6));"
        "INSERT INTO owners VALUES (1, 'one'), (2, 'two');"
        "CREATE TABLE things (owner NUMBER(3), what CHAR(4));"
        "INSERT INTO things VALUES (2, 'pen'), (1, 'cup'), (9, 'hat');");
  }

  // Parses the cursors and runs the start-up passes these clauses need.
  void define(const std::string& text) {
    testing::parse_cursors(text, defs_);
    ASSERT_EQ(edit_age_to(defs_), 0) << log_.text();
    ASSERT_EQ(edit_in_lists(defs_), 0) << log_.text();
    ASSERT_EQ(edit_bases(defs_), 0) << log_.text();
    ASSERT_EQ(set_qualifieds(defs_), 0) << log_.text();
  }

  curs& cur(const std::string& name) {
    curs* c = defs_.find_cursor(name);
    EXPECT_NE(c, nullptr) << name;
    return *c;
  }

  int run(const std::string& name) { return run_cursor(cur(name), kTime); }

  // The trimmed values of column `col` over the rows of the cursor's current sample.
  std::vector<std::string> values(const std::string& name, int col = 0) {
    curs& c = cur(name);
    std::vector<std::string> out;
    const columns& column = *c.cols[static_cast<size_t>(col)];
    for (const row_data* row = c.stored.first(); row; row = row->next) {
      if (row->sample != c.sample_no) continue;
      std::string v(row->data() + column.stored_offset, static_cast<size_t>(column.stored_length));
      v.erase(0, v.find_first_not_of(' '));
      v.erase(v.find_last_not_of(' ') + 1);
      out.push_back(v);
    }
    return out;
  }

  using Names = std::vector<std::string>;
  testing::TempDir db_;
};

// The busiest users' sessions: SESS selects with IN over BUSY's list.
std::string busy_and_sessions(const std::string& threshold = "50") {
  return query("BUSY", {"name"}, "SELECT name FROM users WHERE busy > " + threshold,
               "samples 1;\nin_list name using NAMES;") +
         query("SESS", {"sid", "username"},
               "SELECT sid, username FROM sessions WHERE username IN [BUSY.NAMES ORDER BY sid", "samples 1;");
}

TEST_F(CursorTiesTest, InListIsBuiltAfterEachRunAndFeedsTheOtherCursorsSql) {
  define(busy_and_sessions());
  ASSERT_EQ(run("BUSY"), 0);
  EXPECT_EQ(cur("BUSY").in_lists[0].list, "( 'ann' , 'O''Brien' )");
  ASSERT_EQ(run("SESS"), 0) << log_.text();
  EXPECT_EQ(cur("SESS").hold, 0);
  EXPECT_EQ(values("SESS"), (Names{"1", "3", "4"}));

  // The list follows its cursor's rows from run to run.
  setup_sql("UPDATE users SET busy = 5 WHERE name = 'ann'; UPDATE users SET busy = 99 WHERE name = 'bob';");
  ASSERT_EQ(run("BUSY"), 0);
  EXPECT_EQ(cur("BUSY").in_lists[0].list, "( 'bob' , 'O''Brien' )");
  ASSERT_EQ(run("SESS"), 0);
  EXPECT_EQ(values("SESS"), (Names{"2", "4"}));
}

TEST_F(CursorTiesTest, QuoteInAValueIsMatchedExactlyAndRunsNoOtherSql) {
  setup_sql("INSERT INTO users VALUES ('x'') OR (''1''=''1', 95);"
            "INSERT INTO sessions VALUES (6, 'x'') OR (''1''=''1');");
  define(busy_and_sessions("94"));
  ASSERT_EQ(run("BUSY"), 0);
  EXPECT_EQ(cur("BUSY").in_lists[0].list, "( 'x'') OR (''1''=''1' )");
  ASSERT_EQ(run("SESS"), 0) << log_.text();
  EXPECT_EQ(values("SESS"), Names{"6"});
  EXPECT_EQ(values("SESS", 1), Names{"x') OR ('1'='1"});
}

TEST_F(CursorTiesTest, SourceWithoutRowsGivesTheListThatMatchesNothing) {
  define(busy_and_sessions("1000"));
  ASSERT_EQ(run("BUSY"), 0);
  EXPECT_EQ(cur("BUSY").in_lists[0].list, "( 'ZIP' )");
  EXPECT_EQ(run("SESS"), 0) << log_.text();
  EXPECT_EQ(cur("SESS").hold, 0);
  EXPECT_TRUE(cur("SESS").stored.empty());
}

TEST_F(CursorTiesTest, InListElementsKeepWholeCharactersAndNumbers) {
  testing::parse_cursors(testing::cursor_text("L", {"T", "N"}, "in_list T using TS;\nin_list N using NS;"), defs_);
  ASSERT_EQ(edit_in_lists(defs_), 0);
  curs& c = cur("L");
  c.sample_no = 1;
  // "Zoë" cut inside the ë by a 3-byte column, and a quote at the end.
  merge_text(c, testing::FetchedRow{{"T", "Zo\xC3", 3}, {"N", "7", 3, true}}.view(), kTime);
  merge_text(c, testing::FetchedRow{{"T", "a'", 3}, {"N", "-12", 3, true}}.view(), kTime);
  merge_text(c, testing::FetchedRow{{"T", "", 3}, {"N", "", 3, true}}.view(), kTime);
  build_in_list(c);
  EXPECT_EQ(c.in_lists[0].list, "( 'Zo' , 'a''' , '' )");
  EXPECT_EQ(c.in_lists[1].list, "(   7 , -12 , 0 )");
}

TEST_F(CursorTiesTest, InListColumnMustExist) {
  testing::parse_cursors(testing::cursor_text("L", {"T"}, "in_list Q using QS;"), defs_);
  EXPECT_EQ(edit_in_lists(defs_), 1);
  EXPECT_TRUE(log_.has("pin3260", 'E', "Referenced column(Q) not found for in_list QS, Cursor L")) << log_.text();
  EXPECT_TRUE(log_.has("pin3270", 'E', "In_list editing failed"));
  defs_.del_curs();
  testing::parse_cursors(testing::cursor_text("L", {"T"}, "in_list T using TS;"), defs_);
  EXPECT_EQ(edit_in_lists(defs_), 0);
  EXPECT_TRUE(log_.has("pin3265", 'I', "In_list editing successful"));
}

TEST_F(CursorTiesTest, BaseJoinsEachRowAndFallsBackToTheLastRow) {
  define(query("OWN", {"id", "oname"}, "SELECT id, oname FROM owners ORDER BY id") +
         query("THING", {"what", "OWN.oname"}, "SELECT owner, what FROM things", "base OWN on owner -> id;"));
  ASSERT_EQ(run("OWN"), 0);
  ASSERT_EQ(run("THING"), 0) << log_.text();
  EXPECT_EQ(values("THING"), (Names{"pen", "cup", "hat"}));
  // Owner 9 is missing: the base cursor's last row stands in, with one warning.
  EXPECT_EQ(values("THING", 1), (Names{"two", "one", "two"}));
  EXPECT_TRUE(log_.has("cba3350", 'W', "Failed to find source row matching owner. Using 'last_row'"));
  ASSERT_EQ(run("THING"), 0);
  EXPECT_EQ(log_.count("cba3350"), 1);
}

TEST_F(CursorTiesTest, BaseFallsBackToTheDummyRowOrForAMissingItemToTheLastRow) {
  define(query("OWN", {"id", "oname"}, "SELECT id, oname FROM owners ORDER BY id", "dummy_last_row;") +
         query("THING", {"what", "OWN.oname"}, "SELECT owner, what FROM things", "base OWN on owner -> id;") +
         query("ODD", {"what", "OWN.oname"}, "SELECT owner, what FROM things", "base OWN on nope -> id;"));
  ASSERT_EQ(run("OWN"), 0);
  ASSERT_EQ(run("THING"), 0) << log_.text();
  EXPECT_EQ(values("THING", 1), (Names{"two", "one", "N/A"}));
  EXPECT_TRUE(log_.has("cba3345", 'I', "Using dummy last row in OWN to match owner")) << log_.text();
  EXPECT_EQ(log_.count("cba3350"), 0);
  ASSERT_EQ(run("ODD"), 0) << log_.text();
  EXPECT_EQ(values("ODD", 1), (Names{"N/A", "N/A", "N/A"}));
  EXPECT_TRUE(log_.has("cba3330", 'W', "Failed to find SQLDA name nope. Using 'last_row'"));
}

TEST_F(CursorTiesTest, BaseWithoutAnyRowBuildsNoRow) {
  define(query("OWN", {"id", "oname"}, "SELECT id, oname FROM owners WHERE id > 5") +
         query("THING", {"what"}, "SELECT owner, what FROM things", "base OWN on owner -> id;"));
  ASSERT_EQ(run("OWN"), 0);
  EXPECT_NE(run("THING"), 0);
  EXPECT_TRUE(cur("THING").stored.empty());
  EXPECT_TRUE(log_.has("cba3365", 'E', "Have no base row in cursor OWN")) << log_.text();
}

struct EditCase {
  std::string text;
  const char* id;
  char severity;
  std::string message;
};

TEST_F(CursorTiesTest, BaseReferencesAreCheckedAtStartUp) {
  const std::string own = query("OWN", {"id"}, "SELECT id FROM owners");
  const EditCase cases[] = {
      {query("T", {"what"}, "SELECT what FROM things", "base NONE on owner -> id;"), "pba3300", 'E',
       "Base cursor (NONE) not found, cursor T"},
      {query("T", {"what"}, "SELECT what FROM things", "base T on owner -> id;"), "pba3295", 'E',
       "Can't use yourself as base cursor(T)"},
      {query("T", {"what"}, "SELECT what FROM things", "base OWN on owner -> nope;"), "pba3310", 'E',
       "Referenced column(nope) not found for base OWN, cursor T"},
      {query("T", {"what"}, "SELECT what FROM things", "base V on owner -> id;") +
           testing::cursor_text("V", {"id"}, "virtual;"),
       "pba3305", 'E', "Base cursor (V) cannot be a virtual table, cursor T"},
  };
  for (const EditCase& k : cases) {
    SCOPED_TRACE(k.message);
    testing::parse_cursors(own + k.text, defs_);
    EXPECT_EQ(edit_bases(defs_), 1);
    EXPECT_TRUE(log_.has(k.id, k.severity, k.message)) << log_.text();
    defs_.del_curs();
  }
  EXPECT_TRUE(log_.has("pba3325", 'S', "Base references editing failed"));
  testing::parse_cursors(own + query("T", {"what"}, "SELECT what FROM things", "base OWN on owner -> id;"), defs_);
  EXPECT_EQ(edit_bases(defs_), 0);
  EXPECT_TRUE(log_.has("pba3320", 'I', "Base references editing successful"));
}

TEST_F(CursorTiesTest, AgeToKeepsThePreviousSampleInItsTarget) {
  define(query("NOW", {"name", "busy"}, "SELECT name, busy FROM users ORDER BY name", "age_to PREV;") +
         query("PREV", {"x"}, "SELECT 1 AS x"));
  curs& prev = cur("PREV");
  EXPECT_EQ(prev.cols.size(), 2u);  // the source's definition
  EXPECT_TRUE(prev.demand);
  ASSERT_EQ(run("NOW"), 0);
  EXPECT_TRUE(log_.has("cag3715", 'I', "PostCopying 0 records from NOW to PREV")) << log_.text();
  EXPECT_TRUE(prev.stored.empty());
  setup_sql("UPDATE users SET busy = busy + 1;");
  ASSERT_EQ(run("NOW"), 0);
  EXPECT_TRUE(log_.has("cag3710", 'I', "PreCopying 3 records from NOW to PREV"));
  // The target holds the first sample, the source only the second.
  EXPECT_EQ(values("PREV", 1), (Names{"80", "90", "10"}));
  EXPECT_EQ(values("NOW", 1), (Names{"81", "91", "11"}));
  // A request for the target reads those rows and runs no SQL of its own.
  prev.stale_time = 0;
  cluster* cl = open_cursor(prev);
  ASSERT_NE(cl, nullptr);
  EXPECT_EQ(cl->count, 3);
  close_cur(prev, cl);
  EXPECT_EQ(prev.last_start, 0);
}

// A source run once per row of another cursor ages its rows as a plain one does.
TEST_F(CursorTiesTest, IteratedAgeToSourceKeepsThePreviousSampleInItsTarget) {
  define(query("ONE", {"k"}, "SELECT 1 AS k") +
         query("NOW", {"name", "busy"}, "SELECT name, busy FROM users ORDER BY name", "iterate ONE;\nage_to PREV;") +
         query("PREV", {"x"}, "SELECT 1 AS x"));
  ASSERT_EQ(edit_iterates(defs_), 0) << log_.text();
  ASSERT_EQ(run("ONE"), 0);
  ASSERT_EQ(run("NOW"), 0);
  setup_sql("UPDATE users SET busy = busy + 1;");
  ASSERT_EQ(run("NOW"), 0);
  EXPECT_TRUE(log_.has("cag3710", 'I', "PreCopying 3 records from NOW to PREV")) << log_.text();
  EXPECT_EQ(values("PREV", 1), (Names{"80", "90", "10"}));
  EXPECT_EQ(values("NOW", 1), (Names{"81", "91", "11"}));
}

TEST_F(CursorTiesTest, AgeToTargetsAreCheckedAtStartUp) {
  const EditCase cases[] = {
      {query("A", {"k"}, "SELECT 1 AS k", "age_to ZZ;"), "pag3690", 'E', "Age-to Cursor (ZZ) not found"},
      {query("A", {"k"}, "SELECT 1 AS k", "age_to B;") + query("C", {"k"}, "SELECT 1 AS k", "age_to B;") +
           query("B", {"k"}, "SELECT 1 AS k"),
       "pag3685", 'E', "Duplicate attempts to 'age_to' the same cursor B"},
      {testing::cursor_text("A", {"k"}, "virtual;\nage_to B;") + query("B", {"k"}, "SELECT 1 AS k"), "pag3680",
       'E', "Can't copy from a virtual table"},
      {query("A", {"k"}, "SELECT 1 AS k", "age_to B;") + testing::cursor_text("B", {"k"}, "virtual;"), "pag3675",
       'E', "Can't copy to virtual table"},
  };
  for (const EditCase& k : cases) {
    SCOPED_TRACE(k.message);
    testing::parse_cursors(k.text, defs_);
    EXPECT_EQ(edit_age_to(defs_), 1);
    EXPECT_TRUE(log_.has(k.id, k.severity, k.message)) << log_.text();
    defs_.del_curs();
  }
  EXPECT_TRUE(log_.has("pag3700", 'E', "Age_to editing failed"));
}

}  // namespace
}  // namespace qrx
