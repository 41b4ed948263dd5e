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
  void TearDown() override {
    del_curs();
    set_expr_names({});
  }
  // Cursor SRC (column MODE, read by the conditions) and cursor V with
  // `statements` after its INSERT; 0 or 1 as the parse ends.
  int parse(const std::string& statements) {
    const std::string text = cursor_text("SRC", {"MODE"}) +
                             "cursor V;\nINSERT INTO T (C0, C1) VALUES (:X, :Y);\ninterval 60;\n" +
                             statements + "\nend;\n";
    const int rc = parse_curs_text(defs_, text);
    if (rc == 0) {
      EXPECT_EQ(create_percent_cursor(), 0);
      install_expr_names();
    }
    return rc;
  }
  curs& v() { return *find_cursor("V"); }
  const std::vector<std::unique_ptr<curs>>& records() { return v().versions->records; }
  // SRC's newest row holds MODE `mode`.
  void set_mode(const char* mode) {
    curs& s = *find_cursor("SRC");
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
    del_curs();
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
  EXPECT_EQ(select_cursor_version(*slot, kTime), -1);
  EXPECT_TRUE(log_.has("CSL0010", 't', "Can not determine cursor V version:         may be next time"));
  EXPECT_EQ(log_.count("Int0100"), 0) << "a cursor without rows yet is no fault";
  EXPECT_EQ(slot->table_name, "TA");
  set_mode("1");
  EXPECT_EQ(select_cursor_version(*slot, kTime), 0);
  set_mode("0");
  EXPECT_EQ(tune_up_cursor_versions(defs_, "20261210030100"), 0) << log_.text();
  EXPECT_EQ(&v(), slot) << "the slot stays where other records point";
  EXPECT_EQ(slot->table_name, "TB");
  EXPECT_EQ(slot->selection_time, "20261210030100");
  // The new version's decode was resolved again.
  ASSERT_EQ(slot->decodes.size(), 1u);
  EXPECT_EQ(slot->decodes[0]->column, column_named(*slot, "Y"));
  set_mode("1");
  EXPECT_EQ(select_cursor_version(*slot, kTime), 1);
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
  ASSERT_EQ(create_percent_cursor(), 0);
  install_expr_names();
  curs& q = *find_cursor("Q");
  ASSERT_EQ(set_qualifieds(), 0) << log_.text();
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
  curs& src = *find_cursor("SRC");
  curs& v = *find_cursor("V");
  const columns* v_code = find_pcnt_col("%sqlcode_V");
  const columns* src_code = find_pcnt_col("%sqlcode_SRC");  // (finding one brings all up to date)
  ASSERT_NE(v_code, nullptr);
  ASSERT_NE(src_code, nullptr);
  auto v_field = [&] { return std::string(percent_row_for(*v_code)->data() + v_code->stored_offset, 16); };
  open_lexer(nullptr);
  auto rpn = parse_expression("%sqlcode_SRC = (-942)");
  ASSERT_NE(rpn, nullptr) << log_.text();
  // The first evaluation resolves the name, which brings every code up to date.
  free_work_chain(interpreter(*rpn), nullptr, 1);
  const struct {
    const char* src_code;
    int truth;
  } kCases[] = {{"0", 0}, {"-942", 1}, {"100", 0}, {"-942", 1}, {"-942", 1}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.src_code);
    src.status = std::string(16 - std::strlen(c.src_code), ' ') + c.src_code;
    const std::string v_shown = v_field();
    v.status = std::string(15, ' ') + "7";  // changed after V's field was last copied
    TERM_TABLE* r = interpreter(*rpn);
    ASSERT_NE(r, nullptr) << log_.text();
    EXPECT_EQ(r->ivalue, c.truth);
    free_work_chain(r, nullptr, 1);
    EXPECT_EQ(std::string(percent_row_for(*src_code)->data() + v_code->stored_offset, 16),
              v_shown)
        << "reading SRC's code copied V's";
    EXPECT_EQ(v_field(), v.status) << "V's code read for itself";
    v.status = std::string(16, ' ');
  }
  EXPECT_GT(compiled_evaluations(), 0u);
  TERM_TABLE* table = nullptr;
  close_lexer(&table);
  free_perm_term_tb(table);
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
  ASSERT_EQ(select_cursor_version(slot, kTime), 1);
  EXPECT_TRUE(slot.stored.empty());
  EXPECT_EQ(slot.last_time, "20261210030000") << "the schedule stays with the slot";
  EXPECT_EQ(slot.trace, 1);
  EXPECT_EQ(slot.collector, collector);
  set_mode("1");
  ASSERT_EQ(select_cursor_version(slot, kTime), 1);
  EXPECT_EQ(slot.stored.count(), 1);
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
  ASSERT_EQ(create_percent_cursor(), 0);
  install_expr_names();
  ASSERT_EQ(edit_age_to(), 0) << log_.text();
  curs& slot = v();
  curs& old = *find_cursor("OLD");
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
  ASSERT_EQ(create_percent_cursor(), 0);
  ASSERT_EQ(init_virtuals(defs_), 0) << log_.text();
  install_expr_names();
  curs& ckpt = *find_cursor("PGCKPT");
  EXPECT_EQ(select_cursor_version(ckpt, kTime), 1) << "PGMAJOR starts at 0" << log_.text();
  EXPECT_NE(ckpt.sql_text.find("FROM pg_stat_bgwriter"), std::string::npos) << ckpt.sql_text;
  // What the load from PGDB writes into the variable.
  columns& major = *column_named(*find_cursor("PGINFO"), "PGMAJOR");
  char* field = const_cast<char*>(major.value);
  std::memset(field, ' ', static_cast<std::size_t>(major.stored_length));
  std::memcpy(field + major.stored_length - 2, "17", 2);
  EXPECT_EQ(tune_up_cursor_versions(defs_, kTime), 0) << log_.text();
  EXPECT_NE(ckpt.sql_text.find("FROM pg_stat_checkpointer"), std::string::npos) << ckpt.sql_text;
}

}  // namespace
}  // namespace qrx
