// Decode statements and iterate_where conditions as COLLECT.CTL gives them.
#include <gtest/gtest.h>

#include <string>

#include "ctl/control_parse.h"
#include "ctl/decode_parser.h"
#include "exec/percent_cursor.h"
#include "support/log_capture.h"
#include "support/row_fixture.h"

namespace qrx {
namespace {

using testing::cursor_text;
using testing::parse_cursors;

class DecodeParserTest : public ::testing::Test {
 protected:
  // Cursor C with columns X and Y and the given statements; its decodes.
  curs& make(const std::string& statements) {
    parse_cursors(cursor_text("C", {"X", "Y"}, statements), defs_);
    return *defs_.find_cursor("C");
  }
  // Parses `text` as a decode of a fresh cursor; its first entry.
  const decode_op& one(const std::string& text) {
    curs& c = make("decode " + text + ";");
    EXPECT_EQ(c.decodes.size(), 1u);
    return c.decodes.front()->ops.front();
  }
  testing::LogCapture log_;
  Definitions defs_;
};

TEST_F(DecodeParserTest, EntriesTakeOperatorOperandAndReplacement) {
  const struct {
    const char* text;
    uint16_t op, operand_type;
    const char* operand;
    const char* operand_column;
    uint16_t replacement_type;
    const char* replacement;
    const char* replacement_column;
  } cases[] = {
      {"STATUS = 'A', 'ACTIVE'", kOpEqual, kOperandString, "A", "", kReplaceString, "ACTIVE", ""},
      {"CODE DEFAULT 'OTHER'", kOpDefault, kOperandNone, "", "", kReplaceString, "OTHER", ""},
      {"CODE null 0", kOpNull, kOperandNone, "", "", kReplaceNumber, "0", ""},
      {"N >= 10.5, 1", kOpGreaterEqual, kOperandNumber, "10.5", "", kReplaceNumber, "1", ""},
      {"N <= Y, Y", kOpLessEqual, kOperandColumn, "", "Y", kReplaceColumn, "", "Y"},
      {"N ~= -3, 'X'", kOpNotEqual, kOperandNumber, "-3", "", kReplaceString, "X", ""},
      {"S IN OTHER.CODES, 'LISTED'", kOpIn, kOperandInList, "", "OTHER.CODES", kReplaceString,
       "LISTED", ""},
      {"S search 'a b', 'HAS'", kOpSearch, kOperandString, "a b", "", kReplaceString, "HAS", ""},
      {"S < 'M' run NEXTCUR", kOpLess, kOperandString, "M", "", kReplaceRun, "", "NEXTCUR"},
      {"S > 'M','late'", kOpGreater, kOperandString, "M", "", kReplaceString, "late", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    const decode_op& op = one(k.text);
    EXPECT_EQ(op.operatr, k.op);
    EXPECT_EQ(op.operand_type, k.operand_type);
    EXPECT_EQ(op.operand, k.operand);
    EXPECT_EQ(op.operand_column, k.operand_column);
    EXPECT_EQ(op.replacement_type, k.replacement_type);
    EXPECT_EQ(op.replacement, k.replacement);
    EXPECT_EQ(op.replacement_column, k.replacement_column);
    defs_.del_curs();
  }
}

TEST_F(DecodeParserTest, NumbersKeepTheirValueAndTheAndMask) {
  EXPECT_EQ(one("N = 10.5, 'X'").op_num, 10.5);
  defs_.del_curs();
  const decode_op& op = one("FLAGS & 4, 'BIT2'");
  EXPECT_EQ(op.operatr, kOpAnd);
  EXPECT_EQ(op.operand_type, kOperandNumber);
  EXPECT_EQ(op.and_mask, 4);
}

TEST_F(DecodeParserTest, AndPartsFollowTheOperand) {
  const decode_op& op = one("X > 10 and < 20 AND ~= Y, 'MID'");
  ASSERT_EQ(op.and_parts.size(), 2u);
  EXPECT_EQ(op.and_parts[0].operatr, kOpLess);
  EXPECT_EQ(op.and_parts[0].operand_type, kOperandNumber);
  EXPECT_EQ(op.and_parts[0].number, 20);
  EXPECT_EQ(op.and_parts[1].operatr, kOpNotEqual);
  EXPECT_EQ(op.and_parts[1].operand_type, kOperandColumn);
  EXPECT_EQ(op.and_parts[1].operand_column, "Y");
  EXPECT_EQ(op.replacement, "MID");
}

TEST_F(DecodeParserTest, EntriesOfOneColumnShareItsRecordInStatementOrder) {
  curs& c = make("decode X = 1, 'A';\ndecode Y = 2, 'B';\ndecode X DEFAULT 'C';");
  ASSERT_EQ(c.decodes.size(), 2u);
  EXPECT_EQ(c.decodes[0]->name, "X");
  ASSERT_EQ(c.decodes[0]->ops.size(), 2u);
  EXPECT_EQ(c.decodes[0]->ops[1].operatr, kOpDefault);
  EXPECT_EQ(c.decodes[1]->name, "Y");
}

TEST_F(DecodeParserTest, BadStatementsFailTheFileWithTheirMessage) {
  const std::string long_name(50, 'L');
  const struct {
    std::string text;
    const char* id;
    std::string message;
  } cases[] = {
      {"X = 1 'A'", "pde3800", "Bad decode syntax : X = 1 'A'"},
      {"X = 1", "pde3795", "Bad decode syntax : X = 1"},
      {",", "pde3740", "Bad decode syntax : ,"},
      {long_name + " = 1, 'A'", "pde3745", "Column name too long (50) in " + long_name + " = 1, 'A'"},
      {"X == 1, 'A'", "pde3755", "Invalid decode operator in X == 1, 'A'"},
      {"X equal 1, 'A'", "pde3775", "Invalid decode operator in X equal 1, 'A'"},
      {"X =", "pde3780", "Invalid text after operator in X ="},
      {"X & Y, 'A'", "pde3785", "And operator (&) requires numeric constant"},
      {"X = " + long_name + ", 'A'", "pde3790", "Column name length excessive in X = " + long_name + ", 'A'"},
      {"X > 1 and in Z, 'A'", "pde3920", "Invalid decode operator in X > 1 and in Z, 'A'"},
      {"X > 1 and <, 'A'", "pde3940", "Invalid text after operator in X > 1 and <, 'A'"},
      {"X > 1 and & 'z', 'A'", "pde3945", "And operator (&) requires numeric constant"},
      {"X = 1, " + long_name, "pde3805", "Replacement Column name length excessive in X = 1, " + long_name},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.text);
    EXPECT_NE(parse_curs_text(defs_, cursor_text("C", {"X"}, "decode " + k.text + ";") + "end;\n"), 0);
    EXPECT_TRUE(log_.has(k.id, 'e', k.message)) << log_.text();
    defs_.del_curs();
  }
}

TEST_F(DecodeParserTest, TracedCursorDescribesEachEntry) {
  curs& c = make("traced;");
  ASSERT_EQ(parse_decode(c, "STATUS = 'A', 'ACTIVE'"), 0);
  EXPECT_TRUE(log_.has("pde3810", 't', "Decode_op->operatr = 1"));
  EXPECT_TRUE(log_.has("pde3830", 't', "Decode_op->operator = A"));
  EXPECT_TRUE(log_.has("pde3850", 't', "Decode_op->replacement = ACTIVE"));
  EXPECT_TRUE(log_.has("pde3870", 't', "Has no and text"));
}

TEST_F(DecodeParserTest, IterateWhereKeepsOneConditionOutsideTheDecodes) {
  curs& c = make("iterate OTHER;\niterate_where STATE = 'OPEN';");
  ASSERT_NE(c.iterate_where, nullptr);
  EXPECT_TRUE(c.decodes.empty());
  EXPECT_EQ(c.iterate_where->name, "STATE");
  EXPECT_EQ(c.iterate_where->ops.front().operand, "OPEN");
  EXPECT_EQ(parse_iterate_where(c, "STATE = 'SHUT'"), 1);
  EXPECT_TRUE(log_.has("pit4475", 'e', "Only one ITERATE_WHERE allowed per cursor"));
}

}  // namespace
}  // namespace qrx
