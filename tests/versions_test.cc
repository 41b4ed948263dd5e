// Conditional sections of a cursor block: the versions they make, the
// statements each version holds, the faults a block can have, and the
// choice of version from the values the conditions read.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ctl/control_parse.h"
#include "ctl/versions.h"
#include "exec/age_to.h"
#include "exec/cursor_links.h"
#include "exec/decode.h"
#include "exec/find_col.h"
#include "exec/maths.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "exec/version_tuning.h"
#include "exec/virtuals.h"
#include "expr/interpreter.h"
#include "expr/lexer.h"
#include "expr/terms.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::FetchedRow;
using testing::cursor_text;

constexpr const char* kTime = "20261210030000";

class VersionTest : public ::testing::Test {
 protected:
  // Cursor SRC (column MODE, read by the conditions) and cursor V with
  // `statements` after its INSERT; 0 or 1 as the parse ends.
  int parse(const std::string& statements) {
    const std::string text = cursor_text("SRC", {"MODE"}) +
                             "cursor V;\nINSERT INTO T (C0, C1) VALUES (:X, :Y);\ninterval 60;\n" +
                             statements + "\nend;\n";
    const int rc = parse_curs_text(defs_, text);
    if (rc == 0) {
      EXPECT_EQ(create_percent_cursor(defs_), 0);
      install_expr_names(defs_.expr, defs_);
    }
    return rc;
  }
  curs& v() { return *defs_.find_cursor("V"); }
  const std::vector<std::unique_ptr<curs>>& records() { return v().versions->records; }
  // SRC's newest row holds MODE `mode`.
  void set_mode(const char* mode) {
    curs& s = *defs_.find_cursor("SRC");
    s.sample_no = 1;
    FetchedRow row{{"MODE", mode, 4, true}};
    ASSERT_GT(merge_text(s, row.view(), kTime), 0);
  }
  Definitions defs_;
  testing::LogCapture log_;
};

TEST_F(VersionTest, ThenAndElseAreSeparateVersions) {
  ASSERT_EQ(parse("if SRC.MODE = 1;\ntable_name TA;\nlimit 5;\nelse;\ntable_name TB;\nendif;"), 0)
      << log_.text();
  ASSERT_EQ(records().size(), 2u);
  EXPECT_EQ(v().table_name, "TA");  // the slot holds the THEN version
  EXPECT_EQ(v().limit, 5);
  EXPECT_EQ(records()[1]->table_name, "TB");
  EXPECT_EQ(records()[1]->limit, 1024) << "the ELSE version has none of the THEN statements";
  EXPECT_EQ(records()[1]->sql_text, "SELECT X,Y FROM TB");
}

TEST_F(VersionTest, SequentialSectionsGiveEveryCombinationThenFirst) {
  ASSERT_EQ(parse("if SRC.MODE > 0;\ntable_name TA;\nelse;\ntable_name TN;\nendif;\n"
                  "if SRC.MODE > 1;\nlimit 10;\nendif;"),
            0)
      << log_.text();
  const std::vector<std::vector<bool>> want = {{true, true}, {true, false}, {false, true},
                                               {false, false}};
  ASSERT_EQ(v().versions->paths.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(v().versions->paths[i].branches, want[i]) << i;
  EXPECT_EQ(v().table_name, "TA");
  EXPECT_EQ(v().limit, 10);
  EXPECT_EQ(records()[1]->table_name, "TA");
  EXPECT_EQ(records()[1]->limit, 1024);
  EXPECT_EQ(records()[2]->table_name, "TN");
  EXPECT_EQ(records()[2]->limit, 10);
  EXPECT_EQ(records()[3]->table_name, "TN");
}

TEST_F(VersionTest, NestedSectionsFollowTheirParentBranch) {
  ASSERT_EQ(parse("if SRC.MODE > 0;\n  if SRC.MODE > 1;\n  table_name TBIG;\n  else;\n"
                  "  table_name TSMALL;\n  endif;\nelse;\ntable_name TNONE;\nendif;"),
            0)
      << log_.text();
  ASSERT_EQ(records().size(), 3u);
  EXPECT_EQ(v().table_name, "TBIG");
  EXPECT_EQ(records()[1]->table_name, "TSMALL");
  EXPECT_EQ(records()[2]->table_name, "TNONE");
}

TEST_F(VersionTest, StatementsInSectionsAreApplied) {
  ASSERT_EQ(parse("if SRC.MODE = 1;\ndecode X = 1, 'one';\nmath Y X * 2;\nendif;"), 0)
      << log_.text();
  EXPECT_EQ(v().decodes.size(), 1u);
  EXPECT_EQ(v().maths.size(), 1u);
  EXPECT_EQ(records()[1]->decodes.size(), 0u);
  EXPECT_EQ(records()[1]->maths.size(), 0u);
}

TEST_F(VersionTest, StatementAfterEndifIsInEveryVersionUnlessABranchSetIt) {
  ASSERT_EQ(parse("if SRC.MODE = 1;\ntable_name TA;\nendif;\ntable_name TB;\n"
                  "decode X = 1, 'one';"),
            0)
      << log_.text();
  EXPECT_EQ(v().table_name, "TA");
  EXPECT_EQ(records()[1]->table_name, "TB");
  EXPECT_EQ(v().decodes.size(), 1u);
  EXPECT_EQ(records()[1]->decodes.size(), 1u);
}

TEST_F(VersionTest, MalformedSectionsFailTheFile) {
  std::string deep;
  for (int i = 0; i <= kSectionDepthMax; ++i) deep += "if SRC.MODE > " + std::to_string(i) + ";\n";
  std::string many;
  for (int i = 0; i < 9; ++i) many += "if SRC.MODE > " + std::to_string(i) + ";\nendif;\n";
  const struct {
    std::string statements;
    const char* id;
    const char* text;
  } cases[] = {
      {"endif;", "PIF0070", "ENDIF has no matching IF for cursor V"},
      {"else;", "PIF0050", "ELSE has no matching IF for cursor V"},
      {"if SRC.MODE = 1;", "PIF0100", "Cursor V end encountered before expected ENDIF"},
      {"if ( SRC.MODE = ;\nendif;", "PIF0030",
       "Syntax error in conditional expression  for cursor V"},
      {"if SRC.MODE = 1;\nelse;\nelse;\nendif;", "PIF0055", "Second ELSE for one IF in cursor V"},
      {deep, "PIF0130", "Current stack position: 51- exceeds stack size: 50"},
      {many, "PIF0135", "Cursor V has more than 256 versions"},
      {"if SRC.MODE = 1;\nlimit 5;\nlimit 6;\nendif;", "pcc0620", "Duplicate Limit"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.id);
    testing::LogCapture log;
    EXPECT_EQ(parse(k.statements), 1);
    EXPECT_TRUE(log.has(k.id, 'e', k.text)) << log.text();
    defs_.del_curs();
  }
}

TEST_F(VersionTest, FaultInASectionIsReportedOnce) {
  EXPECT_EQ(parse("if SRC.MODE = 1;\nlimit 5;\nendif;\nif SRC.MODE = 2;\nmath Z + 1;\nendif;"), 1);
  EXPECT_EQ(log_.count("pma3445"), 1) << log_.text();
}

TEST_F(VersionTest, SelectionFollowsTheValueTheConditionReads) {
  ASSERT_EQ(parse("if SRC.MODE = 1;\ntable_name TA;\nelse;\ntable_name TB;\ndecode Y = 0, 'z';\n"
                  "endif;"),
            0)
      << log_.text();
  curs* const slot = &v();
  // SRC has no rows yet: undecided, the slot stays.
  EXPECT_EQ(select_cursor_version(defs_, *slot, kTime), -1);
  EXPECT_TRUE(log_.has("CSL0010", 't', "Can not determine cursor V version:         may be next time"));
  EXPECT_EQ(log_.count("Int0100"), 0) << "a cursor without rows yet is no fault";
  EXPECT_EQ(slot->table_name, "TA");
  set_mode("1");
  EXPECT_EQ(select_cursor_version(defs_, *slot, kTime), 0);
  set_mode("0");
  EXPECT_EQ(tune_up_cursor_versions(defs_, "20261210030100"), 0) << log_.text();
  EXPECT_EQ(&v(), slot) << "the slot stays where other records point";
  EXPECT_EQ(slot->table_name, "TB");
  EXPECT_EQ(slot->selection_time, "20261210030100");
  // The new version's decode was resolved again.
  ASSERT_EQ(slot->decodes.size(), 1u);
  EXPECT_EQ(slot->decodes[0]->column, column_named(*slot, "Y"));
  set_mode("1");
  EXPECT_EQ(select_cursor_version(defs_, *slot, kTime), 1);
  EXPECT_EQ(slot->table_name, "TA");
  EXPECT_TRUE(slot->decodes.empty());
}

// Another cursor's reference into V is resolved again after V changes
// version; one the new version cannot satisfy is taken from the version
// that has it, whose column the slot's rows do not carry.
TEST_F(VersionTest, ReferencesIntoTheSlotAreResolvedAfresh) {
  ASSERT_EQ(parse_curs_text(defs_, cursor_text("SRC", {"MODE"}) +
                            "cursor V;\ninterval 60;\nif SRC.MODE = 1;\n"
                            "INSERT INTO T (C0, C1) VALUES (:X, :Y);\nelse;\n"
                            "INSERT INTO T (C0) VALUES (:X);\nendif;\n" +
                            cursor_text("Q", {"V.Y"}) + "end;\n"),
            0)
      << log_.text();
  ASSERT_EQ(create_percent_cursor(defs_), 0);
  install_expr_names(defs_.expr, defs_);
  curs& q = *defs_.find_cursor("Q");
  ASSERT_EQ(set_qualifieds(defs_), 0) << log_.text();
  EXPECT_EQ(q.cols[0]->source_column, column_named(v(), "Y"));
  set_mode("0");
  EXPECT_EQ(tune_up_cursor_versions(defs_, kTime), 0) << log_.text();
  EXPECT_EQ(column_named(v(), "Y"), nullptr);
  EXPECT_NE(q.cols[0]->source_column, nullptr);
  EXPECT_EQ(q.cols[0]->source_column, search_inactive_versions(v(), "Y"));
  set_mode("1");
  EXPECT_EQ(tune_up_cursor_versions(defs_, kTime), 0) << log_.text();
  EXPECT_EQ(q.cols[0]->source_column, column_named(v(), "Y"));
}

// An expression reading a cursor's "%sqlcode_" variable sees its status as
// it is at each evaluation; reading one cursor's code copies no other's.
TEST_F(VersionTest, ExpressionsReadEachSqlcodeAsItsCursorNowHasIt) {
  ASSERT_EQ(parse(""), 0) << log_.text();
  curs& src = *defs_.find_cursor("SRC");
  curs& v = *defs_.find_cursor("V");
  const columns* v_code = find_pcnt_col(defs_, "%sqlcode_V");
  const columns* src_code = find_pcnt_col(defs_, "%sqlcode_SRC");  // (finding one brings all up to date)
  ASSERT_NE(v_code, nullptr);
  ASSERT_NE(src_code, nullptr);
  auto v_field = [&] { return std::string(percent_row_for(defs_, *v_code)->data() + v_code->stored_offset, 16); };
  ExprContext cx;
  install_expr_names(cx, defs_);
  open_lexer(cx, nullptr);
  auto rpn = parse_expression(cx, "%sqlcode_SRC = (-942)");
  ASSERT_NE(rpn, nullptr) << log_.text();
  // The first evaluation resolves the name, which brings every code up to date.
  free_work_chain(cx, interpreter(cx, *rpn), nullptr, 1);
  const struct {
    const char* src_code;
    int truth;
  } kCases[] = {{"0", 0}, {"-942", 1}, {"100", 0}, {"-942", 1}, {"-942", 1}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.src_code);
    src.status = std::string(16 - std::strlen(c.src_code), ' ') + c.src_code;
    const std::string v_shown = v_field();
    v.status = std::string(15, ' ') + "7";  // changed after V's field was last copied
    TERM_TABLE* r = interpreter(cx, *rpn);
    ASSERT_NE(r, nullptr) << log_.text();
    EXPECT_EQ(r->ivalue, c.truth);
    free_work_chain(cx, r, nullptr, 1);
    EXPECT_EQ(std::string(percent_row_for(defs_, *src_code)->data() + v_code->stored_offset, 16),
              v_shown)
        << "reading SRC's code copied V's";
    EXPECT_EQ(v_field(), v.status) << "V's code read for itself";
    v.status = std::string(16, ' ');
  }
  EXPECT_GT(compiled_evaluations(cx), 0u);
}

TEST_F(VersionTest, RowsStayWithTheirVersion) {
  ASSERT_EQ(parse("if SRC.MODE = 1;\ntable_name TA;\nelse;\ntable_name TB;\nendif;"), 0);
  curs& slot = v();
  slot.sample_no = 1;
  FetchedRow row{{"X", "a", 2}, {"Y", "b", 2}};
  ASSERT_GT(merge_text(slot, row.view(), kTime), 0);
  slot.last_time = "20261210030000";
  slot.trace = 1;  // as TRACE.CTL sets it, by the cursor's name
  const distributor* const collector = slot.collector;
  set_mode("0");
  ASSERT_EQ(select_cursor_version(defs_, slot, kTime), 1);
  EXPECT_TRUE(slot.stored.empty());
  EXPECT_EQ(slot.last_time, "20261210030000") << "the schedule stays with the slot";
  EXPECT_EQ(slot.trace, 1);
  EXPECT_EQ(slot.collector, collector);
  set_mode("1");
  ASSERT_EQ(select_cursor_version(defs_, slot, kTime), 1);
  EXPECT_EQ(slot.stored.count(), 1);
}

// The object bytes of `part`, for comparing a part of a cursor as a whole:
// a part nothing wrote to keeps every byte, whatever members it has.
template <typename Part>
std::vector<unsigned char> bytes_of(const Part& part) {
  std::vector<unsigned char> bytes(sizeof(Part));
  std::memcpy(bytes.data(), static_cast<const void*>(&part), sizeof(Part));
  return bytes;
}

// A version switch exchanges the definition, with the rows made with it, as
// a whole; the links start-up hung on the cursor and its own run state
// (schedule, outcome and times of the last run) are not written at all.
TEST_F(VersionTest, SwitchExchangesTheDefinitionAndLeavesTheCursorsOwnPartsUntouched) {
  ASSERT_EQ(parse("if SRC.MODE = 1;\ntable_name TA;\nelse;\ntable_name TB;\ndecode Y = 0, 'z';\n"
                  "endif;"),
            0)
      << log_.text();
  curs& slot = v();
  slot.sample_no = 1;
  FetchedRow row{{"X", "a", 2}, {"Y", "b", 2}};
  ASSERT_GT(merge_text(slot, row.view(), kTime), 0);
  slot.last_time = "20261210025900";
  slot.next_time = 120;
  slot.result_code = -942;
  slot.status = "            -942";
  slot.error_text = "the statement failed";
  slot.previous_start = 1000;
  slot.last_start = 1060;
  slot.end_time = 1062;
  slot.measured_interval = 60;
  slot.elapsed = 2;
  slot.selection_time = kTime;  // the switch below gives the same
  slot.trace = 1;
  slot.tracem = 1;
  const std::vector<unsigned char> state = bytes_of(static_cast<const cursor_state&>(slot));
  const std::vector<unsigned char> links = bytes_of(static_cast<const cursor_links&>(slot));
  const columns* const a_first = slot.cols[0].get();
  const curs& b = *records()[1];
  const columns* const b_first = b.cols[0].get();
  const std::string b_sql = b.sql_text;

  set_mode("0");
  ASSERT_EQ(select_cursor_version(defs_, slot, kTime), 1) << log_.text();
  EXPECT_TRUE(bytes_of(static_cast<const cursor_state&>(slot)) == state) << "cursor state written";
  EXPECT_TRUE(bytes_of(static_cast<const cursor_links&>(slot)) == links) << "links written";
  // The definition and the version's rows changed places with the chosen record's.
  EXPECT_EQ(slot.table_name, "TB");
  EXPECT_EQ(slot.sql_text, b_sql);
  EXPECT_EQ(slot.cols[0].get(), b_first);
  EXPECT_EQ(slot.decodes.size(), 1u);
  EXPECT_TRUE(slot.stored.empty());
  const curs& a = *records()[0];
  EXPECT_EQ(a.table_name, "TA");
  EXPECT_EQ(a.cols[0].get(), a_first);
  EXPECT_EQ(a.stored.count(), 1);

  set_mode("1");
  ASSERT_EQ(select_cursor_version(defs_, slot, kTime), 1) << log_.text();
  EXPECT_TRUE(bytes_of(static_cast<const cursor_state&>(slot)) == state) << "cursor state written";
  EXPECT_TRUE(bytes_of(static_cast<const cursor_links&>(slot)) == links) << "links written";
  EXPECT_EQ(slot.cols[0].get(), a_first);
  EXPECT_EQ(slot.stored.count(), 1);
}

// A hold the definition asks for follows the version; one a decode put on
// the cursor stays whatever version it takes.
TEST_F(VersionTest, HoldFollowsTheDefinitionUnlessADecodeHoldsTheCursor) {
  ASSERT_EQ(parse("if SRC.MODE = 1;\ntable_name TA;\nelse;\ntable_name TB;\nhold Y;\nendif;"), 0)
      << log_.text();
  curs& slot = v();
  EXPECT_EQ(slot.hold, 0);
  set_mode("0");
  ASSERT_EQ(select_cursor_version(defs_, slot, kTime), 1);
  EXPECT_EQ(slot.hold, 'Y');
  EXPECT_EQ(slot.hold_active, 1);
  set_mode("1");
  ASSERT_EQ(select_cursor_version(defs_, slot, kTime), 1);
  EXPECT_EQ(slot.hold, 0);
  slot.hold = 'Y';
  slot.hold_named = 1;  // as a decode naming the cursor holds it
  set_mode("0");
  ASSERT_EQ(select_cursor_version(defs_, slot, kTime), 1);
  set_mode("1");
  ASSERT_EQ(select_cursor_version(defs_, slot, kTime), 1);
  EXPECT_EQ(slot.hold, 'Y');
  EXPECT_EQ(slot.hold_named, 1);
}

// An age_to target takes its source's whole query, its columns copied
// without their functions, and keeps the rest of its own definition.
TEST_F(VersionTest, AgeToTargetTakesACopyOfItsSourcesWholeQuery) {
  ASSERT_EQ(parse_curs_text(defs_, cursor_text("V", {"X", "AVG!Y^8"}, "age_to OLD;\nlimit 7;\nsamples 2;\n"
                                                               "table_name TV;") +
                            cursor_text("OLD", {"Z"}, "class 3;") + "end;\n"),
            0)
      << log_.text();
  ASSERT_EQ(create_percent_cursor(defs_), 0);
  curs& source = v();
  curs& old = *defs_.find_cursor("OLD");
  ASSERT_EQ(source.has_col_functions, 1);
  ASSERT_EQ(old.class_, 3);
  ASSERT_EQ(edit_age_to(defs_), 0) << log_.text();
  cursor_query expected = source;
  for (const auto& col : expected.cols) col->function = kFnNone;
  expected.has_col_functions = 0;
  expected.has_min_max = 0;
  EXPECT_TRUE(static_cast<const cursor_query&>(old) == expected);
  EXPECT_NE(old.cols[0].get(), source.cols[0].get()) << "the target owns its columns";
  EXPECT_EQ(old.name, "OLD");
  EXPECT_EQ(old.class_, 3);
  EXPECT_EQ(old.demand, 1);
  EXPECT_EQ(old.interval, 0);
  EXPECT_EQ(old.age_source, &source);
  EXPECT_EQ(source.age_target, &old);

  // Each copy of the rows hands the target the layout they were stored with.
  source.sample_no = 1;
  FetchedRow row{{"X", "a", 2}, {"Y", "42", 8, true}};
  ASSERT_GT(merge_text(source, row.view(), kTime), 0);
  do_copy(source);
  ASSERT_EQ(old.cols.size(), source.cols.size());
  for (std::size_t i = 0; i < old.cols.size(); ++i)
    EXPECT_TRUE(static_cast<const column_layout&>(*old.cols[i]) ==
                static_cast<const column_layout&>(*source.cols[i]))
        << source.cols[i]->name;
  EXPECT_EQ(old.row_length, source.row_length);
}

// An age_to source that takes another version: the relation stays with the
// slot and the target takes the new version's columns, without the rows of
// the former layout, so that aged rows are always read with their own layout.
TEST_F(VersionTest, AgeToTargetFollowsTheVersionOfItsSource) {
  ASSERT_EQ(parse_curs_text(defs_, cursor_text("SRC", {"MODE"}) +
                            "cursor V;\ninterval 60;\nage_to OLD;\nif SRC.MODE = 1;\n"
                            "INSERT INTO T (C0, C1) VALUES (:X, :Y^8);\nelse;\n"
                            "INSERT INTO T (C0) VALUES (:X^4);\nendif;\n" +
                            cursor_text("OLD", {"X"}) + "end;\n"),
            0)
      << log_.text();
  ASSERT_EQ(create_percent_cursor(defs_), 0);
  install_expr_names(defs_.expr, defs_);
  ASSERT_EQ(edit_age_to(defs_), 0) << log_.text();
  curs& slot = v();
  curs& old = *defs_.find_cursor("OLD");
  ASSERT_EQ(old.cols.size(), 2u);
  slot.sample_no = 1;
  FetchedRow row{{"X", "a", 2}, {"Y", "bbbbbbbb", 8}};
  ASSERT_GT(merge_text(slot, row.view(), kTime), 0);
  do_copy(slot);
  ASSERT_EQ(old.stored.count(), 1);

  set_mode("0");
  EXPECT_EQ(tune_up_cursor_versions(defs_, kTime), 0) << log_.text();
  EXPECT_EQ(slot.age_target, &old) << "the age_to relation stays with the slot";
  ASSERT_EQ(old.cols.size(), 1u) << "the target is a copy of the version in use";
  EXPECT_TRUE(old.stored.empty()) << "rows of the former layout are gone";
  slot.sample_no = 2;
  FetchedRow narrow{{"X", "c", 2}};
  ASSERT_GT(merge_text(slot, narrow.view(), kTime), 0);
  do_copy(slot);
  ASSERT_EQ(old.stored.count(), 1);
  EXPECT_EQ(old.row_length, slot.row_length);
  EXPECT_LE(old.cols[0]->stored_offset + old.cols[0]->stored_length, static_cast<int>(old.row_length));
}

}  // namespace
}  // namespace qrx

namespace qrx {
namespace {

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The PostgreSQL example's checkpoint cursor reads pg_stat_bgwriter below
// version 17 (the private test server) and pg_stat_checkpointer from 17 on.
TEST_F(VersionTest, PostgresCheckpointCursorFollowsTheLoadedMajorVersion) {
  const std::string dir = std::string(QRX_SOURCE_DIR) + "/examples/postgresql/";
  ASSERT_EQ(parse_dict_text(defs_, file_text(dir + "qrxdict.ctl")), 0) << log_.text();
  ASSERT_EQ(parse_curs_text(defs_, file_text(dir + "qrxcoll.ctl")), 0) << log_.text();
  ASSERT_EQ(create_percent_cursor(defs_), 0);
  ASSERT_EQ(init_virtuals(defs_), 0) << log_.text();
  install_expr_names(defs_.expr, defs_);
  curs& ckpt = *defs_.find_cursor("PGCKPT");
  EXPECT_EQ(select_cursor_version(defs_, ckpt, kTime), 1) << "PGMAJOR starts at 0" << log_.text();
  EXPECT_NE(ckpt.sql_text.find("FROM pg_stat_bgwriter"), std::string::npos) << ckpt.sql_text;
  // What the load from PGDB writes into the variable.
  columns& major = *column_named(*defs_.find_cursor("PGINFO"), "PGMAJOR");
  char* field = const_cast<char*>(major.value);
  std::memset(field, ' ', static_cast<std::size_t>(major.stored_length));
  std::memcpy(field + major.stored_length - 2, "17", 2);
  EXPECT_EQ(tune_up_cursor_versions(defs_, kTime), 0) << log_.text();
  EXPECT_NE(ckpt.sql_text.find("FROM pg_stat_checkpointer"), std::string::npos) << ckpt.sql_text;
}

}  // namespace
}  // namespace qrx
