// Running cursors end to end on SQLite: host-variable merges, pre- and
// post-cursors, iteration, pruning and the start-up linking of cursor
// references.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "base/trace.h"
#include "ctl/control_parse.h"
#include "ctl/cursor_clauses.h"
#include "exec/cursor_links.h"
#include "exec/cursor_run.h"
#include "exec/dynamic_fetch.h"
#include "exec/host_merge.h"
#include "exec/percent_cursor.h"
#include "support/database_fixture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

constexpr const char* kTime = "20260105090000";

using testing::query;

class CursorRunTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    fetch_hooks() = FetchHooks{};  // the real row builder and after-run steps
    collector_.server_id = db_.file("MON.db");
    setup_sql("CREATE TABLE one (x NUMBER(1)); INSERT INTO one VALUES (1);"
        "CREATE TABLE other (name CHAR(4), num NUMBER(5), sts CHAR(2), q CHAR(3));"
        "INSERT INTO other VALUES ('AB', 42, 'OK', 'O''');"
        "CREATE TABLE items (k NUMBER(2)); INSERT INTO items VALUES (1), (2), (3);"
        "CREATE TABLE vacant (k NUMBER(2));"
        "CREATE TABLE states (s CHAR(4)); INSERT INTO states VALUES ('OPEN'), ('SHUT'), ('OPEN');");
  }

  // Parses the cursors and links them as start-up does.
  void define(const std::string& text) {
    testing::parse_cursors(text, defs_);
    ASSERT_EQ(edit_pre_cursors(defs_), 0);
    ASSERT_EQ(edit_iterates(defs_), 0);
    ASSERT_EQ(set_qualifieds(defs_), 0);
  }

  curs& cur(const std::string& name) {
    curs* c = defs_.find_cursor(name);
    EXPECT_NE(c, nullptr) << name;
    return *c;
  }

  int run(const std::string& name) { return run_cursor(cur(name), kTime); }

  // The trimmed values of column `col` over the cursor's stored rows.
  std::vector<std::string> values(const std::string& name, int col = 0) {
    curs& c = cur(name);
    std::vector<std::string> out;
    const columns& column = *c.cols[static_cast<size_t>(col)];
    for (const row_data* row = c.stored.first(); row; row = row->next) {
      std::string v(row->data() + column.stored_offset, static_cast<size_t>(column.stored_length));
      v.erase(0, v.find_first_not_of(' '));
      v.erase(v.find_last_not_of(' ') + 1);
      out.push_back(v);
    }
    return out;
  }

  // "sample/ordinal" of every stored row.
  std::vector<std::string> numbering(const std::string& name) {
    std::vector<std::string> out;
    for (const row_data* row = cur(name).stored.first(); row; row = row->next)
      out.push_back(std::to_string(row->sample) + "/" + std::to_string(row->ordinal));
    return out;
  }

  // The merge of `text` as the SQL of cursor `name`, from a fresh segment chain.
  std::string merged(const std::string& name, const std::string& text, size_t* length = nullptr) {
    curs& c = cur(name);
    c.sql_text = text;
    c.hv_segments.clear();
    c.hv_built = 0;
    std::string out;
    const size_t n = set_hvs_in_sel(c, out);
    if (length) *length = n;
    return n ? out : std::string("<failed>");
  }

  // OTHER with its one row, and MERGED whose SQL the tests set, then `more` cursors.
  void define_other_and_merged(const std::string& other_statements = "", const std::string& more = "") {
    define(query("OTHER", {"name", "num", "sts", "q", "DISABLE_F"},
                 "SELECT name, num, sts, q, sts AS DISABLE_F FROM other", other_statements) +
           query("MERGED", {"x"}, "SELECT x FROM one") + query("EMPTY", {"k"}, "SELECT k FROM vacant") + more);
    ASSERT_EQ(run("OTHER"), 0);
  }

  testing::TempDir db_;
};

struct MergeCase {
  std::string sql;
  std::string expected;
};

TEST_F(CursorRunTest, ReferencesTakeTheOtherCursorsLastRow) {
  define_other_and_merged();
  const std::string disable_field = std::string("OK") + std::string(static_cast<size_t>(cur("OTHER").cols[4]->stored_length) - 2, ' ');
  const std::string numeric_field = "     42";  // NUMBER(5) is fetched 7 wide
  const MergeCase cases[] = {
      {"SELECT [OTHER.name FROM one", "SELECT 'AB' FROM one"},
      {"SELECT '![OTHER.name' FROM one", "SELECT 'AB' FROM one"},
      {"SELECT ![OTHER.num FROM one", "SELECT      42 FROM one"},  // bare keeps leading blanks
      {"SELECT [OTHER.num FROM one", "SELECT      42 FROM one"},
      {"SELECT [OTHER.2 FROM one", "SELECT      42 FROM one"},
      {"SELECT [OTHER.0, [OTHER.1 FROM one", "SELECT 'AB', 'AB' FROM one"},
      {"SELECT [ OTHER. sts ||'x'", "SELECT 'OK' ||'x'"},
      {"SELECT x[1] [OTHER.sts", "SELECT x[1] 'OK'"},
      {"SELECT [OTHER.q", "SELECT 'O'' '"},  // the kept blank stays inside the quotes
      {"SELECT '[OTHER.DISABLE_F'", "SELECT '" + disable_field + "'"},
      {"SELECT 1 FROM one", "SELECT 1 FROM one"},
  };
  for (const MergeCase& k : cases) {
    SCOPED_TRACE(k.sql);
    EXPECT_EQ(merged("MERGED", k.sql), k.expected);
  }
  EXPECT_EQ(numeric_field.size(), static_cast<size_t>(cur("OTHER").cols[1]->stored_length));
}

struct MergeFailure {
  const char* sql;
  const char* id;
  const char* message;
};

TEST_F(CursorRunTest, UnresolvableReferencesFailTheMerge) {
  define_other_and_merged();
  const MergeFailure cases[] = {
      {"SELECT [NOPE.name", "cmg3205", "Cursor NOPE not found for NOPE.name in sql for MERGED"},
      {"SELECT [OTHER.nope", "cmg3230", "Column nope not found for OTHER.nope in sql for MERGED"},
      {"SELECT [OTHER.name] FROM one", "cmg3230", "Column name] not found for OTHER.name] in sql for MERGED"},
      {"SELECT [OTHER.9", "cmg3230", "Column 9 not found for OTHER.9 in sql for MERGED"},
      {"SELECT [%NOPE", "cmg3232", "Column %NOPE not found, cursor MERGED "},
      {"SELECT [EMPTY.k", "cmg3235", "No last row for EMPTY.k, cursor MERGED"},
  };
  for (const MergeFailure& k : cases) {
    SCOPED_TRACE(k.sql);
    size_t length = 1;
    merged("MERGED", k.sql, &length);
    EXPECT_EQ(length, 0u);
    EXPECT_TRUE(log_.has(k.id, 'E', k.message)) << log_.text();
    EXPECT_TRUE(cur("MERGED").hv_segments.empty());
  }
}

// One merge with request parameter `param` in "%parm0": the merged text, or
// (with `id`) the message that refused it.
struct ValueCase {
  std::string param;
  std::string sql;
  std::string expected;
  const char* id = "";
};

class ValueMergeTest : public CursorRunTest {
 protected:
  // OTHER (with the in-list STATES filled), SAID holding `said`'s one text,
  // MERGED, and the percent cursor.
  void SetUp() override {
    CursorRunTest::SetUp();
    setup_sql("CREATE TABLE said (t VARCHAR(80)); INSERT INTO said VALUES ('x');");
    define_other_and_merged("in_list sts using STATES;", query("SAID", {"t"}, "SELECT t FROM said"));
    ASSERT_EQ(create_percent_cursor(defs_), 0);
    cur("OTHER").in_lists[0].list = "( 'OK' , 'O''K' , -4.5 )";
  }

  // `value` as SAID's text and as request parameter 0.
  void set_value(const std::string& value) {
    std::string literal;
    for (char ch : value) literal += ch == '\'' ? std::string("''") : std::string(1, ch);
    setup_sql("UPDATE said SET t = '" + literal + "';");
    ASSERT_EQ(run("SAID"), 0) << log_.text();
    set_request_parameters(defs_, std::vector<std::string>{value});
  }

  // Each case merges into MERGED as it expects.
  void expect_merges(std::span<const ValueCase> cases) {
    for (const ValueCase& k : cases) {
      SCOPED_TRACE(k.sql);
      set_value(k.param);
      EXPECT_EQ(merged("MERGED", k.sql), k.expected) << log_.text();
    }
  }
};

// Values that never needed escaping: the merged text is byte for byte what
// it always was, in every place a value can stand.
TEST_F(ValueMergeTest, ValidValuesMergeAsBefore) {
  const ValueCase cases[] = {
      {"", "SELECT [OTHER.name FROM one", "SELECT 'AB' FROM one"},
      {"", "WHERE n = '![OTHER.name' AND m = \"![OTHER.sts x\"", "WHERE n = 'AB' AND m = \"OK x\""},
      {"x", "WHERE n = [SAID.t", "WHERE n = 'x'"},
      {"", "SELECT 'a' || [OTHER.name ||'b'", "SELECT 'a' || 'AB' ||'b'"},
      {"", "SELECT 'it''s' ,[OTHER.sts", "SELECT 'it''s' ,'OK'"},
      {"", "WHERE x = [OTHER.num", "WHERE x =      42"},
      {"", "WHERE x = ![OTHER.num-1", "WHERE x =      42-1"},
      {"", "SELECT 1 -- was [OTHER.name \nFROM one", "SELECT 1 -- was 'AB' \nFROM one"},
      {"", "SELECT /* [OTHER.name, ![OTHER.sts */ 1", "SELECT /* 'AB', OK */ 1"},
      {"", "WHERE s IN [OTHER.STATES", "WHERE s IN ( 'OK' , 'O''K' , -4.5 )"},
      {"max_conn", "WHERE n LIKE '%' || '![%parm0' || '%'", "WHERE n LIKE '%' || 'max_conn' || '%'"},
      {"alpha", "WHERE n IN ('[%parm0', 'b')", "WHERE n IN ('alpha', 'b')"},
      {"a b", "WHERE n = E'![%parm0' OR n = $$![%parm0 $$", "WHERE n = E'a b' OR n = $$a b $$"},
      {"col", "SELECT `![%parm0 ` FROM one", "SELECT `col ` FROM one"},
      {" 12", "LIMIT ![%parm0", "LIMIT  12"},
      {"-1.5e+3", "WHERE x > [%parm0", "WHERE x > -1.5e+3"},
      {"+.5E2", "WHERE x > -![%parm0", "WHERE x > -+.5E2"},
      {"7.", "WHERE x > [%parm0 AND y[1] = 0", "WHERE x > 7. AND y[1] = 0"},
  };
  expect_merges(cases);
}

// Quotes in a value are doubled for the quotes around it, so a hostile value
// stays one quoted text.
TEST_F(ValueMergeTest, QuotesInAValueAreDoubledForTheQuotesAroundIt) {
  const ValueCase cases[] = {
      {"x' UNION SELECT name, sql FROM sqlite_master --", "WHERE n = '![%parm0'",
       "WHERE n = 'x'' UNION SELECT name, sql FROM sqlite_master --'"},
      {"';DROP TABLE v;--", "WHERE n = '[%parm0' AND 1", "WHERE n = ''';DROP TABLE v;--' AND 1"},
      {"a\" OR \"1\"=\"1", "WHERE \"![%parm0 \" = 1", "WHERE \"a\"\" OR \"\"1\"\"=\"\"1 \" = 1"},
      {"\\' OR 1=1 --", "WHERE n = E'![%parm0'", "WHERE n = E'\\\\'' OR 1=1 --'"},
      {"\\' OR 1=1 --", "WHERE n = '![%parm0'", "WHERE n = '\\'' OR 1=1 --'"},
      {"a` UNION SELECT 1 --", "SELECT `![%parm0 `", "SELECT `a`` UNION SELECT 1 -- `"},
      {"x' OR '1'='1", "WHERE n = [SAID.t", "WHERE n = 'x'' OR ''1''=''1'"},
      {"x\\' OR 1=1 --", "WHERE n = E[SAID.t", "WHERE n = E'x\\\\'' OR 1=1 --'"},
      {"' UNION SELECT 1 --", "WHERE n = 'a'[SAID.t", "WHERE n = 'a'''' UNION SELECT 1 --'"},
  };
  expect_merges(cases);
}

// A value outside quotes must be a number, and no value may end the quotes
// or comment it stands in: the merge fails, naming the variable and cursor.
TEST_F(ValueMergeTest, ValueThatWouldLeaveItsPlaceFailsTheMerge) {
  const std::string not_number = "Value of %CURSOR.%parm0 is not a number outside quotes, cursor MERGED";
  const std::string changes = "Value of %CURSOR.%parm0 would change the sql around it, cursor MERGED";
  const ValueCase cases[] = {
      {"1 UNION SELECT name, sql FROM sqlite_master", "LIMIT ![%parm0", not_number, "cmg3265"},
      {"1;DROP TABLE one", "LIMIT [%parm0", not_number, "cmg3265"},
      {"1 --", "LIMIT [%parm0", not_number, "cmg3265"},
      {"--", "LIMIT [%parm0", not_number, "cmg3265"},
      {"", "LIMIT [%parm0", not_number, "cmg3265"},
      {"1.2.3", "LIMIT [%parm0", not_number, "cmg3265"},
      {"1e", "LIMIT [%parm0", not_number, "cmg3265"},
      {"0x10", "LIMIT [%parm0", not_number, "cmg3265"},
      {"1 2", "LIMIT [%parm0", not_number, "cmg3265"},
      {"x", "SELECT q'[![%parm0 ]' FROM one", not_number, "cmg3265"},
      {"x", "SELECT x /* a /* b */ ![%parm0 */", not_number, "cmg3265"},
      {"-1", "WHERE x = 1 -![%parm0", changes, "cmg3270"},
      {"a\nUNION SELECT 1", "SELECT 1 -- ![%parm0 \nFROM one", changes, "cmg3270"},
      {"a\rUNION SELECT 1", "SELECT 1 -- ![%parm0 \nFROM one", changes, "cmg3270"},
      {"*/ UNION SELECT 1 /*", "SELECT 1 /* ![%parm0 */", changes, "cmg3270"},
      {"$$ UNION SELECT 1 --", "SELECT $$![%parm0 $$", changes, "cmg3270"},
      {"'; DROP TABLE one; --", "WHERE n = E'\\![%parm0'", changes, "cmg3270"},
      {"", "SELECT [OTHER.DISABLE_F)", "Value of OTHER.DISABLE_F is not a number outside quotes, cursor MERGED",
       "cmg3265"},
      {"x", "WHERE n = '[SAID.t'", "Value of SAID.t would change the sql around it, cursor MERGED", "cmg3270"},
  };
  for (const ValueCase& k : cases) {
    SCOPED_TRACE(k.sql);
    set_value(k.param);
    const int before = log_.count(k.id);
    size_t length = 1;
    EXPECT_EQ(merged("MERGED", k.sql, &length), "<failed>");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(log_.count(k.id), before + 1);
    EXPECT_TRUE(log_.has(k.id, 'E', k.expected)) << log_.text();
  }
  // An in-list text is written as it is only when it is a plain list of values.
  cur("OTHER").in_lists[0].list = "( 'OK' ) UNION SELECT name FROM sqlite_master --";
  EXPECT_EQ(merged("MERGED", "WHERE s IN [OTHER.STATES"), "<failed>");
  EXPECT_TRUE(log_.has("cmg3270", 'E', "Value of OTHER.STATES would change the sql around it, cursor MERGED"))
      << log_.text();
}

// A refused value fails the run before any SQL, on a replayed merge as well;
// the next valid value runs again.
TEST_F(ValueMergeTest, RefusedValueFailsTheRunAndRunsNoSql) {
  curs& c = cur("MERGED");
  c.sql_text = "SELECT x FROM one WHERE x = ![%parm0";
  c.trace = 1;
  set_value("1");
  ASSERT_EQ(run("MERGED"), 0) << log_.text();
  ASSERT_EQ(values("MERGED"), std::vector<std::string>{"1"});
  for (const char* hostile : {"1 UNION SELECT 5", "1; DELETE FROM one"}) {
    SCOPED_TRACE(hostile);
    set_value(hostile);
    const int refused = log_.count("cmg3265"), replayed = log_.count("cmg3255");
    EXPECT_EQ(run("MERGED"), 1);
    EXPECT_EQ(log_.count("cmg3265"), refused + 1);
    EXPECT_TRUE(log_.has("cmg3265", 'E', "Value of %CURSOR.%parm0 is not a number outside quotes, cursor MERGED"))
        << log_.text();
    EXPECT_EQ(log_.count("cmg3255"), replayed);  // no merged text, so no statement
    EXPECT_EQ(values("MERGED"), std::vector<std::string>{"1"});
  }
  set_value("1");
  EXPECT_EQ(run("MERGED"), 0) << log_.text();
  EXPECT_EQ(values("MERGED"), (std::vector<std::string>{"1", "1"}));
}

TEST_F(CursorRunTest, MergeStaysWithinTheSqlBuffer) {
  define_other_and_merged();
  // 'AB' takes four bytes; the terminating zero needs one more.
  size_t length = 1;
  EXPECT_EQ(merged("MERGED", std::string(kSqlBufferSize - 4, 'x') + "[OTHER.name", &length), "<failed>");
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(log_.has("cmg3260", 'E', "Merged sql for cursor MERGED exceeds 15999 bytes"));
  EXPECT_EQ(merged("MERGED", std::string(kSqlBufferSize - 5, 'x') + "[OTHER.name").size(), kSqlBufferSize - 1);
}

TEST_F(CursorRunTest, RunMergesAndLaterRunsReplayWithCurrentValues) {
  define(query("OTHER", {"num"}, "SELECT num FROM other") +
         query("USER", {"v"}, "SELECT ![OTHER.num + 1 AS v\nFROM one", "trace;"));
  ASSERT_EQ(run("OTHER"), 0);
  ASSERT_EQ(run("USER"), 0);
  EXPECT_EQ(values("USER"), std::vector<std::string>{"43"});
  EXPECT_TRUE(log_.has("cmg3242", 'T', "HV merge produced: SELECT      42 + 1 AS v FROM one"));

  setup_sql("UPDATE other SET num = 7;");
  ASSERT_EQ(run("OTHER"), 0);
  ASSERT_EQ(run("USER"), 0);
  EXPECT_EQ(values("USER"), (std::vector<std::string>{"43", "8"}));
  EXPECT_TRUE(log_.has("cmg3255", 'T', "HV merge produced: SELECT       7 + 1 AS v FROM one"));
}

TEST_F(CursorRunTest, FailedMergeRunsNoSqlAndIsTriedAgain) {
  define(query("EMPTY", {"k"}, "SELECT k FROM vacant") + query("USER", {"v"}, "SELECT [EMPTY.k AS v FROM one"));
  EXPECT_EQ(run("USER"), 1);
  EXPECT_TRUE(cur("USER").stored.empty());
  EXPECT_EQ(cur("USER").hold, 0);

  setup_sql("INSERT INTO vacant VALUES (5);");
  ASSERT_EQ(run("EMPTY"), 0);
  EXPECT_EQ(run("USER"), 0);
  EXPECT_EQ(values("USER"), std::vector<std::string>{"5"});
}

TEST_F(CursorRunTest, UnfilledInListHoldsTheReferencingCursor) {
  define_other_and_merged("in_list sts using STATES;");
  // As before OTHER's first run: its run built the list.
  cur("OTHER").in_lists[0] = in_list{"sts", std::string(kInListDefault), "STATES"};
  curs& c = cur("MERGED");
  c.sql_text = "SELECT x FROM one WHERE 'OK' IN [OTHER.STATES";
  EXPECT_EQ(run("MERGED"), 1);
  EXPECT_EQ(c.hold, 'Y');
  EXPECT_TRUE(log_.has("cmg3210", 'I', "Merging STATES for sel in MERGED, in_list not initialized"));
  EXPECT_TRUE(log_.has("cmg3215", 'W', "Cursor OTHER not yet executed"));
  EXPECT_TRUE(log_.has("cmg3220", 'W', "Holding cursor MERGED"));
  EXPECT_EQ(run("MERGED"), 0);  // held: it never runs
  EXPECT_TRUE(c.stored.empty());

  // Once its cursor filled it, the list text goes in verbatim.
  cur("OTHER").in_lists[0].list = "( 'OK', 'NO' )";
  EXPECT_EQ(merged("MERGED", "SELECT x FROM one WHERE 'OK' IN [OTHER.STATES"),
            "SELECT x FROM one WHERE 'OK' IN ( 'OK', 'NO' )");
}

TEST_F(CursorRunTest, FailingPreCursorStopsTheRunBeforeItsSql) {
  define(query("PRE", {"k"}, "SELECT k FROM missing_table") +
         query("MAIN", {"v"}, "SELECT ![PRE.k AS v FROM one", "pre_cursor PRE;") +
         query("GOODPRE", {"k"}, "SELECT max(k) AS k FROM items") +
         query("MAIN2", {"v"}, "SELECT ![GOODPRE.k AS v FROM one", "pre_cursor GOODPRE;"));
  EXPECT_NE(pre_prep_l_fetch(cur("MAIN"), kTime), 0);
  EXPECT_EQ(cur("MAIN").last_start, 0);  // its fetch never started
  EXPECT_EQ(log_.count("cmg3235"), 0);   // nor its merge

  EXPECT_EQ(pre_prep_l_fetch(cur("MAIN2"), kTime), 0);
  EXPECT_EQ(values("MAIN2"), std::vector<std::string>{"3"});
}

class PostCursorTest : public CursorRunTest {
 protected:
  // SRC fetches items 1..3 and, as a decode action would, schedules the
  // post-cursors in `schedule` (cursor name, ordinal) while its rows arrive.
  void schedule_on_rows(std::vector<std::pair<std::string, int>> schedule) {
    fetch_hooks().row = [this, schedule](curs& c, const fetched_row* row, const std::string& time) {
      const int built = merge_fetched_row(c, row, time);
      if (c.name == "SRC")
        for (const auto& [target, ordinal] : schedule) queue_post_cursor(c, cur(target), ordinal);
      return built;
    };
  }
  void define_all() {
    define(query("SRC", {"k"}, "SELECT k FROM items ORDER BY k") +
           query("POST", {"v"}, "SELECT ![SRC.k AS v FROM one") + query("BAD", {"v"}, "SELECT v FROM missing") +
           query("MAIN", {"x"}, "SELECT x FROM one", "pre_cursor SRC;"));
  }
};

TEST_F(PostCursorTest, QueueRunsEachEntryOnItsSourceRowOnce) {
  define_all();
  schedule_on_rows({{"POST", 2}, {"POST", 3}, {"POST", 2}});
  EXPECT_EQ(cur("SRC").post_cursors.size(), 0u);
  EXPECT_EQ(pre_prep_l_fetch(cur("SRC"), kTime), 0);
  EXPECT_EQ(values("POST"), (std::vector<std::string>{"2", "3"}));
  EXPECT_TRUE(cur("SRC").post_cursors.empty());
  EXPECT_EQ(cur("SRC").stored.last(), cur("SRC").stored.newest());
}

struct BreakCase {
  const char* run;  // the cursor given to the request path
  const char* id;
};

TEST_F(PostCursorTest, FailingPostCursorBreaksTheChain) {
  for (const BreakCase& k : {BreakCase{"SRC", "pfe3200"}, BreakCase{"MAIN", "cfe3195"}}) {
    SCOPED_TRACE(k.run);
    define_all();
    schedule_on_rows({{"BAD", 1}, {"POST", 2}});
    EXPECT_NE(pre_prep_l_fetch(cur(k.run), kTime), 0);
    EXPECT_TRUE(log_.has(k.id, 'W', "Post cursor failed, breaking the chain"));
    EXPECT_TRUE(cur("POST").stored.empty());
    EXPECT_TRUE(cur("SRC").post_cursors.empty());
    defs_.del_curs();
  }
}

TEST_F(CursorRunTest, IterationFillsOneSampleWithOneRunPerIteratorRow) {
  define(query("IT", {"k"}, "SELECT k FROM items ORDER BY k") +
         query("ITER", {"v", "w"}, "SELECT ![IT.k * 10 AS v, 'a' AS w FROM one UNION ALL SELECT 0, 'b'",
               "iterate IT;\ntrace;") +
         query("NONE", {"k"}, "SELECT k FROM vacant") +
         query("ITNONE", {"x"}, "SELECT x FROM one", "iterate NONE;"));
  ASSERT_EQ(run("IT"), 0);
  ASSERT_EQ(run("ITER"), 0);
  EXPECT_EQ(values("ITER"), (std::vector<std::string>{"10", "0", "20", "0", "30", "0"}));
  EXPECT_EQ(numbering("ITER"), (std::vector<std::string>{"1/1", "1/2", "1/3", "1/4", "1/5", "1/6"}));
  EXPECT_TRUE(log_.has("cit3145", 'T', "Iteration on row 3"));
  EXPECT_TRUE(log_.has("cit3155", 'T', "Iteration produced 6 rows in sample 1 for ITER"));
  EXPECT_EQ(cur("IT").stored.last(), cur("IT").stored.newest());

  // A second run is the next sample; the first keeps its numbers.
  ASSERT_EQ(run("ITER"), 0);
  EXPECT_EQ(numbering("ITER")[6], "2/1");
  EXPECT_EQ(numbering("ITER")[0], "1/1");

  // No iterator rows: nothing is fetched, the sample still moves on.
  for (int32_t sample : {1, 2}) {
    ASSERT_EQ(run("ITNONE"), 0);
    EXPECT_EQ(cur("ITNONE").sample_no, sample);
    EXPECT_TRUE(cur("ITNONE").stored.empty());
  }
}

TEST_F(CursorRunTest, IterateWhereSkipsIteratorRows) {
  define(query("IT", {"s"}, "SELECT s FROM states") +
         query("ITER", {"v"}, "SELECT [IT.s AS v FROM one",
               "iterate IT;\niterate_where s = 'OPEN';"));
  ASSERT_EQ(run("IT"), 0);
  ASSERT_EQ(run("ITER"), 0);
  EXPECT_EQ(values("ITER"), (std::vector<std::string>{"OPEN", "OPEN"}));
  EXPECT_EQ(numbering("ITER"), (std::vector<std::string>{"1/1", "1/2"}));
}

TEST_F(CursorRunTest, BrokenIterationReportsTheCode) {
  define(query("IT", {"k"}, "SELECT k FROM items") +
         query("ITER", {"v"}, "SELECT ![IT.k / 0 AS v FROM missing", "iterate IT;"));
  ASSERT_EQ(run("IT"), 0);
  const int code = run("ITER");
  EXPECT_NE(code, 0);
  EXPECT_TRUE(log_.has("cit3150", 'W', "Iteration broken for cursor IT, cursor ITER rc= " + std::to_string(code)));
  EXPECT_EQ(log_.count("cit3150"), 1);
}

struct PruneCase {
  const char* statements;
  int32_t collector_interval;
  std::vector<std::string> samples_left;  // "sample/ordinal" after three runs
};

TEST_F(CursorRunTest, PruningKeepsTimeSamplesAndReplacedRows) {
  const PruneCase cases[] = {
      {"", 0, {"1/1", "1/2", "2/1", "2/2", "3/1", "3/2"}},
      {"time 120;", 0, {"2/1", "2/2", "3/1", "3/2"}},    // aged 60 per run: gone at 120
      {"time 120;", 150, {"3/1", "3/2"}},                // the collector's longer interval ages faster
      {"samples 1;", 0, {"2/1", "2/2", "3/1", "3/2"}},  // pruned before the run adds its sample
      {"empty;", 0, {"3/1", "3/2"}},
      {"limit 3;", 0, {"2/2", "3/1", "3/2"}},            // the row limit drops the oldest
  };
  for (const PruneCase& k : cases) {
    SCOPED_TRACE(k.statements);
    collector_.interval = k.collector_interval;
    define(query("KEPT", {"k"}, "SELECT k FROM items WHERE k < 3 ORDER BY k", k.statements));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(run("KEPT"), 0);
    EXPECT_EQ(numbering("KEPT"), k.samples_left);
    defs_.del_curs();
  }
}

TEST_F(CursorRunTest, AgeingCursorKeepsRowsItWouldReplace) {
  define(query("KEPT", {"k"}, "SELECT k FROM items", "empty;"));
  cur("KEPT").post_copy = 1;
  ASSERT_EQ(run("KEPT"), 0);
  ASSERT_EQ(run("KEPT"), 0);
  EXPECT_EQ(cur("KEPT").stored.count(), 6);
}

// What a run leaves for the status reply.
struct RunRecordCase {
  const char* cursor;
  bool succeeds;
  int32_t rows;
  int32_t elapsed;
};

TEST_F(CursorRunTest, RunRecordsItsRowsDurationAndTheEndOfItsLastSuccess) {
  define(query("ITEMS", {"k"}, "SELECT k FROM items") +
         query("BROKEN", {"k"}, "SELECT k FROM missing") +
         query("ITER", {"v"}, "SELECT ![ITEMS.k AS v FROM one", "iterate ITEMS;"));
  // A plain run takes three seconds once its rows are in.
  fetch_hooks().end_of_data = [this](curs& c, int32_t rows) {
    finish_run(c, rows);
    clock_.sleep_seconds(3);
  };
  const RunRecordCase cases[] = {
      {"ITEMS", true, 3, 3},
      {"BROKEN", false, 0, 0},
      {"ITER", true, 3, 0},  // one row from each of the three iterations
  };
  for (const RunRecordCase& k : cases) {
    SCOPED_TRACE(k.cursor);
    curs& c = cur(k.cursor);
    c.rows = 99;
    c.elapsed = -1;
    c.end_time = 12345;
    EXPECT_EQ(run(k.cursor) == 0, k.succeeds);
    EXPECT_EQ(c.rows, k.rows);
    EXPECT_EQ(c.elapsed, k.elapsed);
    EXPECT_EQ(c.end_time, k.succeeds ? clock_.now() : 12345);
  }
}

TEST_F(CursorRunTest, OnceCursorRunsUntilItHasProducedRows) {
  define(query("NOTHING", {"k"}, "SELECT k FROM vacant", "once;") +
         query("ONCE", {"k"}, "SELECT k FROM items", "once;"));
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(run("NOTHING"), 0);
    ASSERT_EQ(run("ONCE"), 0);
  }
  EXPECT_EQ(cur("NOTHING").sample_no, 2);  // no rows yet: it runs again
  EXPECT_EQ(cur("ONCE").sample_no, 1);
  EXPECT_EQ(cur("ONCE").stored.count(), 3);
}

TEST_F(CursorRunTest, HeldCursorDoesNotRun) {
  define(query("HELD", {"k"}, "SELECT k FROM items", "hold;\ntrace;"));
  EXPECT_EQ(run("HELD"), 0);
  EXPECT_TRUE(cur("HELD").stored.empty());
  EXPECT_TRUE(log_.has("cit3143", 'T', "Not running held cursor HELD."));
}

TEST_F(CursorRunTest, SetLenGivesTheFetchLength) {
  define(query("SHORT", {"name"}, "SELECT name FROM other", "set_len name 2;") +
         query("WRONG", {"name"}, "SELECT name FROM other", "set_len nope 2;"));
  ASSERT_EQ(run("SHORT"), 0);
  EXPECT_EQ(cur("SHORT").cols[0]->stored_length, 2);
  EXPECT_EQ(values("SHORT"), std::vector<std::string>{"AB"});
  EXPECT_EQ(run("WRONG"), 1);
  EXPECT_EQ(cur("WRONG").hold, 'Y');
  EXPECT_TRUE(log_.has("pcl4570", 'E', "For cursor WRONG the set_len name (nope) not_found"));
}

struct LinkCase {
  std::string text;
  int (*pass)(cursor_set& cursors);
  const char* id;
  std::string message;
};

TEST_F(CursorRunTest, LinkingReportsEveryUnresolvedReference) {
  const std::string a = query("A", {"k"}, "SELECT k FROM items");
  const LinkCase cases[] = {
      {query("B", {"k"}, "SELECT k FROM items", "pre_cursor B;"), edit_pre_cursors, "ppr3115",
       "Can't pre_cursor yourself in cursor B"},
      {query("B", {"k"}, "SELECT k FROM items", "pre_cursor Z;"), edit_pre_cursors, "ppr3120",
       "Pre_cursor Z not found for cursor B"},
      {query("B", {"k"}, "SELECT k FROM items", "iterate B;"), edit_iterates, "pit3130",
       "Can't iterate yourself in cursor B"},
      {query("B", {"k"}, "SELECT k FROM items", "iterate Z;"), edit_iterates, "pit3135",
       "Iterator Z not found for cursor B"},
      {query("B", {"Z.k"}, "SELECT k FROM items"), set_qualifieds, "pmg3165", "Source cursor (Z) not found for B"},
      {query("B", {"B.k"}, "SELECT k FROM items"), set_qualifieds, "pmg3170",
       "Cant reference to the same cursor for B.k"},
      {query("B", {"A.zz"}, "SELECT k FROM items"), set_qualifieds, "pmg3180", "Source column (zz) not found for B"},
      {query("B", {"A.k"}, "SELECT k FROM items", "age_to A;"), set_qualifieds, "pmg3175",
       "Column reference (A.k) to own aged data not allowed"},
  };
  for (const LinkCase& k : cases) {
    SCOPED_TRACE(k.message);
    testing::parse_cursors(a + k.text, defs_);
    EXPECT_EQ(k.pass(defs_), 1);
    EXPECT_TRUE(log_.has(k.id, 'E', k.message)) << log_.text();
    defs_.del_curs();
  }
  EXPECT_TRUE(log_.has("pmg3185", 'E', "Qualified name resolution failed"));

  testing::parse_cursors(a + query("B", {"A.k", "k"}, "SELECT k FROM items", "pre_cursor A;\niterate A;"), defs_);
  EXPECT_EQ(edit_pre_cursors(defs_) + edit_iterates(defs_) + set_qualifieds(defs_), 0);
  EXPECT_TRUE(log_.has("pmg3190", 'I', "Qualified name resolution successful, 1 resolved"));
  curs& b = cur("B");
  EXPECT_EQ(b.pre_cursors[0].cursor, &cur("A"));
  EXPECT_EQ(b.iterator->cursor, &cur("A"));
  EXPECT_EQ(b.cols[0]->source_column, cur("A").cols[0].get());
}

struct ClauseCase {
  const char* statement;
  const char* id;
  const char* message;
};

TEST_F(CursorRunTest, ClauseErrorsFailTheFile) {
  const ClauseCase cases[] = {
      {"iterate A;\niterate A;", "pit3125", "Can only have one iterate on a cursor"},
      {"in_list k USING CODES;", "pin3260", "Invalid in_list format: k USING CODES"},
      {"in_list k using;", "pin3260", "Invalid in_list format: k using"},
      {"set_len T.COL 10;", "pcl4550", "Can't use qualified name in set_len (T.COL)"},
      {"set_len COL 4096;", "pcl4565", "Cannot set length greator than 2048 in COL"},
      {"set_len COL;", "pcl4555", "Missing numeric length value in set_len (COL)"},
      {"set_len COL ten;", "pcl4560", "Invalid numeric length value in set_len (COL)"},
      {"set_len COL 0;", "pcl4560", "Invalid numeric length value in set_len (COL)"},
      {"pre_cursor ABCDEFGHIJKLMNOPQRST;", "ppr3105", "Invalid pre_cursor name (ABCDEFGHIJKLMNOPQRST)"},
  };
  for (const ClauseCase& k : cases) {
    SCOPED_TRACE(k.statement);
    EXPECT_EQ(parse_curs_text(defs_, query("B", {"k"}, "SELECT k FROM items", k.statement) + "end;\n"), 1);
    EXPECT_TRUE(log_.has(k.id, 'E', k.message)) << log_.text();
    defs_.del_curs();
  }
}

TEST_F(CursorRunTest, ClausesBuildTheirRecords) {
  define(query("A", {"k"}, "SELECT k FROM items") +
         query("B", {"k"}, "SELECT k FROM items",
               "pre_cursor A;\nin_list k using KS;\nin_list k using KT;\nset_len k 12;\niterate A;"));
  curs& b = cur("B");
  ASSERT_EQ(b.in_lists.size(), 2u);
  EXPECT_EQ(b.in_lists[1].using_name, "KT");
  EXPECT_EQ(b.in_lists[1].list, "( 'ZIP' )");
  EXPECT_FALSE(b.in_lists[0].filled());
  ASSERT_EQ(b.set_lens.size(), 1u);
  EXPECT_EQ(b.set_lens[0].length, 12);
  EXPECT_EQ(b.pre_cursors.size(), 1u);
  EXPECT_TRUE(b.iterated);
}

}  // namespace
}  // namespace qrx
