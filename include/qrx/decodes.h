// Decode and load records: the conditions a cursor tests against a column's
// value (decodes, iterate-where, load WHERE) and the loads that move values
// into virtual cursors. Built at start-up and owned by their cursor; the
// pointers they hold to cursors and columns are borrowed from `cur_anchor`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qrx {

struct curs;
struct columns;
struct dict_element;

// Operator codes of decode entries and AND parts.
enum DecodeOperator : uint16_t {
  kOpEqual = 1, kOpGreater = 2, kOpLess = 3, kOpNull = 4, kOpDefault = 5, kOpGreaterEqual = 6,
  kOpLessEqual = 7, kOpNotEqual = 8, kOpSearch = 9, kOpIn = 10, kOpAnd = 11,
};

// Operand kinds.
enum OperandType : uint16_t {
  kOperandNone = 0, kOperandNumber = 1, kOperandString = 2, kOperandColumn = 3, kOperandInList = 5,
};

// Replacement kinds.
enum ReplacementType : uint16_t {
  kReplaceNumber = 1, kReplaceString = 2, kReplaceColumn = 3, kReplaceRun = 4,
};

// A column named by a decode, resolved at start-up: a null cursor means the
// row being tested.
struct column_ref {
  curs* cursor = nullptr;
  columns* column = nullptr;
};

// One AND condition of a decode entry.
struct part {
  uint16_t operatr = 0;
  uint16_t operand_type = kOperandNone;
  double number = 0;
  std::string operand;         // as written, quotes removed; numbers keep their text
  std::string operand_column;  // column operand name
  int64_t and_mask = 0;        // operand of "&"
  column_ref resolved;         // run time: the operand column
};

// One decode entry: operator, operand, action and AND parts.
struct decode_op {
  uint16_t operatr = 0;
  uint16_t operand_type = kOperandNone;
  double op_num = 0;
  std::string operand;             // as written, quotes removed
  std::string operand_column;      // column or in-list name (types 3 and 5)
  uint16_t replacement_type = 0;
  std::string replacement;         // as written, quotes removed
  std::string replacement_column;  // column or cursor name (types 3 and 4)
  std::vector<part> and_parts;
  int64_t and_mask = 0;
  column_ref operand_ref;          // start-up: the operand column
  column_ref replacement_ref;      // start-up: the replacement column
  curs* run_cursor = nullptr;      // start-up: the cursor a "run" entry schedules
  const std::string* in_list = nullptr;  // run time: the list text of an "in" operand
};

// The decode entries of one column, in statement order.
struct decode {
  std::string name;                // the decoded column
  std::vector<decode_op> ops;
  columns* column = nullptr;       // start-up: the tested column
  curs* owner = nullptr;           // start-up: the cursor whose rows are tested
  bool prepared = false;           // run time: in-list operands looked up
  bool unusable = false;           // run time: an in-list could not be found
  bool described = false;          // run time: traced once
};

// One load of a cursor into a virtual cursor's variable.
struct lp_ptr {
  columns* source = nullptr;            // the cursor's column that is loaded
  std::unique_ptr<columns> source_word; // the column made from the source text (its function)
  curs* target_cursor = nullptr;
  columns* target_column = nullptr;
  // The dictionary element of the target column's name: its initial value is the default.
  const dict_element* target_element = nullptr;
  uint16_t min = 0, max = 0;
  uint16_t count = 0, sum = 0, average = 0;
  uint16_t from = 0, where = 0;
  uint16_t max_occurance = 0;
  std::unique_ptr<decode> where_condition;  // one entry
  columns* min_max = nullptr;           // the compared column of FROM
  std::string text;                     // the load statement, for messages
  // Run time.
  bool initialised = false;
  double double_sum = 0;
  int64_t long_sum = 0;
  int64_t long_count = 0;
};

}  // namespace qrx
