// Decodes evaluated while rows are built: every operator, operand kind and
// action, hold and release commands, start-up resolution and iterate-where.
#include "exec/decode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl/control_parse.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "session/database.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::FetchedRow;
using testing::Item;

constexpr const char* kTime = "20261210030000";

class DecodeTest : public ::testing::Test {
 protected:
  // Parses `text` (cursor blocks) and resolves the decodes.
  void define(const std::string& text) {
    testing::parse_cursors(text, defs_);
    ASSERT_EQ(edit_decode(defs_), 0) << log_.text();
  }
  // One row of `name` built from `row`; the stored text of column `col`.
  std::string feed(const std::string& name, const FetchedRow& row, int col = 0) {
    curs& c = *defs_.find_cursor(name);
    if (c.sample_no == 0) c.sample_no = 1;
    EXPECT_GT(merge_text(c, row.view(), kTime), 0);
    const columns& k = *c.cols[col];
    return std::string(c.stored.last()->data() + k.stored_offset, k.stored_length);
  }
  testing::LogCapture log_;
  Definitions defs_;  // the cursors under test
};

// Each operator on a numeric V (width 6) or a character S (width 4): the
// value stays or becomes "HIT".
TEST_F(DecodeTest, EachOperatorDecidesByItsComparison) {
  const struct {
    const char* condition;
    const char* value;
    bool numeric;
    bool hit;
  } cases[] = {
      {"= 5", "5", true, true},          {"= 5", "6", true, false},
      {"= 5", "5.0", true, true},        {"> 5", "6", true, true},
      {"> 5", "5", true, false},         {"< 5", "-4", true, true},
      {"< 5", "5", true, false},         {">= 5", "5", true, true},
      {">= 5", "4", true, false},        {"<= 5", "5", true, true},
      {"<= 5", "6", true, false},        {"~= 5", "6", true, true},
      {"~= 5", "5", true, false},        {"& 4", "6", true, true},
      {"& 4", "3", true, false},         {"search '12'", "3123", true, true},
      {"search '12'", "3213", true, false},
      {"> 10 and < 20", "15", true, true}, {"> 10 and < 20", "25", true, false},
      {"= 'AB'", "AB", false, true},     {"= 'AB'", "ABC", false, false},
      {"> 'AB'", "AC", false, true},     {"< 'AB'", "AA", false, true},
      {"~= 'AB'", "AB", false, false},   {"search 'B '", "ABC", false, true},
      {"search 'Z'", "ABC", false, false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.condition) + " on " + k.value);
    const char* col = k.numeric ? "V" : "S";
    define(testing::cursor_text("C", {col}, std::string("decode ") + col + " " + k.condition +
                                                 ", 'HIT';"));
    const int width = k.numeric ? 6 : 4;
    const std::string got = feed("C", FetchedRow{{col, k.value, width, k.numeric}});
    std::string kept = k.value;
    if (k.numeric)
      kept.insert(0, static_cast<size_t>(width) - kept.size(), ' ');
    else
      kept.resize(static_cast<size_t>(width), ' ');
    EXPECT_EQ(got, k.hit ? std::string("HIT") + std::string(width - 3, ' ') : kept);
    defs_.del_curs();
  }
}

TEST_F(DecodeTest, FirstEntryThatHoldsWinsAndDefaultIsTheFallback) {
  define(testing::cursor_text("C", {"S"}, "decode S DEFAULT 'OTHR';\ndecode S = 'A', 'ONE';\n"
                                          "decode S search 'A', 'TWO';"));
  EXPECT_EQ(feed("C", FetchedRow{{"S", "A", 4}}), "ONE ");
  EXPECT_EQ(feed("C", FetchedRow{{"S", "BAB", 4}}), "TWO ");
  EXPECT_EQ(feed("C", FetchedRow{{"S", "Q", 4}}), "OTHR");
}

TEST_F(DecodeTest, NullEntryTakesDatabaseNullsOnly) {
  define(testing::cursor_text("C", {"V"}, "decode V NULL 'NONE';\ndecode V = 0, 'ZERO';"));
  EXPECT_EQ(feed("C", FetchedRow{{"V", nullptr, 6, true}}), "NONE  ");
  EXPECT_EQ(feed("C", FetchedRow{{"V", "0", 6, true}}), "ZERO  ");
}

TEST_F(DecodeTest, ReplacementsLandAsWritten) {
  define(testing::cursor_text("C", {"V", "W", "S"},
                              "decode V = 1, 42;\ndecode V = 2, W;\ndecode S = 'A', 'LONGER';\n"
                              "decode S = 'B', W;"));
  const auto row = [](const char* v, const char* s) {
    return FetchedRow{{"V", v, 6, true}, {"W", "7", 3, true}, {"S", s, 4}};
  };
  EXPECT_EQ(feed("C", row("1", "A")), "    42");
  EXPECT_EQ(feed("C", row("2", "A")), "     7");
  EXPECT_EQ(feed("C", row("3", "A"), 2), "LONG");
  EXPECT_EQ(feed("C", row("3", "B"), 2), "  7 ");
}

TEST_F(DecodeTest, ColumnOperandsReadThisRowOrTheOtherCursorsLastRow) {
  define(testing::cursor_text("O", {"LIMIT"}) +
         testing::cursor_text("C", {"V", "W"}, "decode V > W, 'ROW';\ndecode W > O.LIMIT, 'OTH';"));
  const auto row = [](const char* v, const char* w) {
    return FetchedRow{{"V", v, 6, true}, {"W", w, 4, true}};
  };
  EXPECT_EQ(feed("C", row("9", "3")), "ROW   ");
  EXPECT_TRUE(log_.has("cde4365", 'w',
                       "Decode, referenced cursor O has no rows - skipping decode"));
  EXPECT_EQ(feed("C", row("9", "3"), 1), "   3");
  feed("O", FetchedRow{{"LIMIT", "2", 4, true}});
  EXPECT_EQ(feed("C", row("1", "3"), 1), "OTH ");
  EXPECT_EQ(feed("C", row("1", "1"), 1), "   1");
}

TEST_F(DecodeTest, InListMatchesTheValueAsAListElement) {
  define(testing::cursor_text("L", {"X"}, "in_list X using CODES;") +
         testing::cursor_text("C", {"S", "N"}, "decode S in L.CODES, 'IN';\n"
                                               "decode N IN L.CODES, 1;"));
  defs_.find_cursor("L")->in_lists.front().list = "( 'AB' , 'CD ' ,     12 )";
  const auto row = [](const char* s, const char* n) {
    return FetchedRow{{"S", s, 4}, {"N", n, 5, true}};
  };
  EXPECT_EQ(feed("C", row("AB", "3")), "IN  ");
  EXPECT_EQ(feed("C", row("A", "3")), "A   ");
  EXPECT_EQ(feed("C", row("ABC", "12"), 1), "    1");
  EXPECT_EQ(feed("C", row("ABC", "2"), 1), "    2");
}

TEST_F(DecodeTest, InListElementWithAQuoteMatchesOnlyItself) {
  define(testing::cursor_text("L", {"X"}, "in_list X using CODES;") +
         testing::cursor_text("C", {"S"}, "decode S in L.CODES, 'IN';"));
  defs_.find_cursor("L")->in_lists.front().list = "( 'O''B' , 'A''B' )";
  EXPECT_EQ(feed("C", FetchedRow{{"S", "O'B", 4}}), "IN  ");
  EXPECT_EQ(feed("C", FetchedRow{{"S", "B", 4}}), "B   ");
  EXPECT_EQ(feed("C", FetchedRow{{"S", "'", 4}}), "'   ");
}

TEST_F(DecodeTest, UnknownInListLeavesValuesAlone) {
  define(testing::cursor_text("C", {"S"}, "decode S in NOPE.CODES, 'IN';"));
  EXPECT_EQ(feed("C", FetchedRow{{"S", "AB", 4}}), "AB  ");
  EXPECT_TRUE(log_.has("pin4505", 'e',
                       "In_list reference in decode is to non-existent cursor : NOPE.CODES"));
}

TEST_F(DecodeTest, RunEntrySchedulesTheNamedCursor) {
  define(testing::cursor_text("C", {"V"}, "traced;\ndecode V = 1 run NEXT;") +
         testing::cursor_text("NEXT", {"X"}));
  EXPECT_EQ(feed("C", FetchedRow{{"V", "1", 3, true}}), "  1");
  EXPECT_TRUE(log_.has("cde4410", 't', "Scheduling cursor NEXT"));
}

TEST_F(DecodeTest, StartUpReportsEveryUnresolvedName) {
  testing::parse_cursors(testing::cursor_text(
      "C", {"V"}, "decode Q = 1, 'A';\ndecode V = NOPE, 'A';\ndecode V > 1 and < NADA, 'B';\n"
                  "decode V = 2, GONE;\ndecode V = 3 run NOBODY;"), defs_);
  EXPECT_EQ(edit_decode(defs_), 1);
  EXPECT_TRUE(log_.has("pde3880", 'e', "Decode Column (Q) not found in cursor C"));
  EXPECT_TRUE(log_.has("pde3885", 'e', "Operand column(NOPE) not in cursor C"));
  EXPECT_TRUE(log_.has("pde3890", 'e', "'And' column(NADA) not in cursor C"));
  EXPECT_TRUE(log_.has("pde3895", 'e', "Replacement column(GONE) not in cursor C"));
  EXPECT_TRUE(log_.has("pde3900", 'e', "Cursor to run (NOBODY) not found C"));
  EXPECT_TRUE(log_.has("pde3910", 'e', "Decode edits failed"));
}

class HoldCommandTest : public DecodeTest {
 protected:
  void SetUp() override {
    for (const char* name : {"A", "B", "C", "D"}) text_ += testing::cursor_text(name, {"X"});
    testing::parse_cursors(text_, defs_);
  }
  curs& cur(const char* name) { return *defs_.find_cursor(name); }
  static std::string held(const cursor_set& set) {
    std::string out;
    for (auto& c : set.cur_anchor) out += c->hold == 'Y' ? c->name : "-";
    return out;
  }
  std::string held() const { return held(defs_); }
  std::string text_;
};

TEST_F(HoldCommandTest, HoldAndReleaseTargetsByOption) {
  const struct {
    const char* command;
    const char* held;
  } cases[] = {
      {"hold next", "--C-"},        {"hold previous", "A---"}, {"hold  me", "-B--"},
      {"hold cursor a, d", "A--D"}, {"hold below", "--CD"},    {"hold next previous", "A-C-"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.command);
    EXPECT_NE(special_decode(cur("B"), k.command, 8), 0);
    EXPECT_EQ(held(), k.held);
    for (auto& c : defs_.cur_anchor) c->hold = 0, c->hold_below = 0, c->hold_named = 0;
    defs_.below_hold_in_force = false;
  }
}

TEST_F(HoldCommandTest, EachSetKeepsItsOwnHoldBelow) {
  Definitions other;
  testing::parse_cursors(text_, other);
  EXPECT_NE(special_decode(cur("B"), "hold below", 8), 0);
  EXPECT_NE(special_decode(*other.find_cursor("A"), "hold below", 8), 0);
  EXPECT_EQ(held(), "--CD");
  EXPECT_EQ(held(other), "-BCD");
  EXPECT_NE(special_decode(cur("B"), "release below", 8), 0);
  EXPECT_EQ(held(), "----");
  EXPECT_EQ(held(other), "-BCD");
}

TEST_F(HoldCommandTest, ReleaseKeepsCursorsHeldForAnotherReason) {
  special_decode(cur("A"), "hold below", 8);
  special_decode(cur("A"), "hold cursor c", 8);
  EXPECT_EQ(held(), "-BCD");
  EXPECT_TRUE(log_.has("cde4455", 'i', "Holding cursors below A due to decode"));
  special_decode(cur("B"), "hold below", 8);  // a below hold is already in force
  special_decode(cur("A"), "release below", 8);
  EXPECT_EQ(held(), "--C-");
  special_decode(cur("A"), "release cursor C", 8);
  EXPECT_EQ(held(), "----");
}

TEST_F(HoldCommandTest, OtherTextsAreNotCommands) {
  for (const char* text : {"hold", "hold me", "holding next", "release"})
    EXPECT_EQ(special_decode(cur("B"), text, 8), 0) << text;
  EXPECT_NE(special_decode(cur("B"), "hold sideways", 8), 0);
  EXPECT_TRUE(log_.has("dsd0110", 'e', "Unknown hold option 1:sideways, cursor B"));
  EXPECT_EQ(held(), "----");
}

TEST_F(HoldCommandTest, DeleteAlsoDropsTheHeldCursorsRows) {
  curs& c = cur("C");
  c.sample_no = 1;
  merge_text(c, FetchedRow{{"X", "1", 3}}.view(), kTime);
  ASSERT_EQ(c.stored.count(), 1);
  EXPECT_NE(special_decode(cur("B"), "HOLD NEXT, DELETE", 8), 0);
  EXPECT_EQ(held(), "--C-");
  EXPECT_EQ(c.stored.count(), 0);
}

TEST_F(HoldCommandTest, DecodeReplacementCarriesTheCommand) {
  defs_.del_curs();
  define(testing::cursor_text("A", {"S"}, "decode S = 'DOWN', 'hold next';") +
         testing::cursor_text("B", {"X"}));
  EXPECT_EQ(feed("A", FetchedRow{{"S", "DOWN", 4}}), "DOWN");
  EXPECT_EQ(held(), "-B");
}

class IterateWhereTest : public DecodeTest {};

TEST_F(IterateWhereTest, ConditionSelectsIteratorRows) {
  testing::parse_cursors(testing::cursor_text("OUTER", {"STATE", "N"}) +
                         testing::cursor_text("INNER", {"X"},
                                              "iterate OUTER;\niterate_where STATE = 'OPEN' ;"), defs_);
  ASSERT_EQ(edit_iterate_where(defs_), 0);
  EXPECT_TRUE(log_.has("pit4495", 'i', "ITERATE_WHERE edits successful"));
  curs& outer = *defs_.find_cursor("OUTER");
  outer.sample_no = 1;
  std::vector<bool> seen;
  for (const char* state : {"OPEN", "SHUT", "OPEN"})
    merge_text(outer, FetchedRow{{"STATE", state, 6}, {"N", "1", 2, true}}.view(), kTime);
  for (const row_data* r = outer.stored.first(); r; r = r->next)
    seen.push_back(iterate_where_holds(*defs_.find_cursor("INNER"), *r));
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(iterate_where_holds(outer, *outer.stored.first()));  // no condition
}

TEST_F(IterateWhereTest, UnknownIteratorColumnFailsTheEdit) {
  testing::parse_cursors(testing::cursor_text("OUTER", {"STATE"}) +
                         testing::cursor_text("INNER", {"X"},
                                              "iterate OUTER;\niterate_where X > 1 and < Y;"), defs_);
  EXPECT_EQ(edit_iterate_where(defs_), 1);
  EXPECT_TRUE(log_.has("pit4485", 'e', "ITERATE_WHERE Column (X) not found in cursor OUTER"));
  EXPECT_TRUE(log_.has("pit4490", 'e', "ITERATE_WHERE edits failed"));
}

}  // namespace
}  // namespace qrx
