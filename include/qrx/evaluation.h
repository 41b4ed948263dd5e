// Evaluation records from the evaluator file: a test of one column of one
// cursor against a value. Each is owned by its cursor's evaluation chain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrx {

struct e_ptr {
  std::string name;        // up to 35 characters
  std::string cursor;      // up to 8 characters
  int32_t less = 0, equal = 0, greater = 0;  // operator flags: "<=" sets less and equal
  std::string column;      // without the function prefix, up to 32 characters
  int32_t value_type = 0;  // 1 number, 2 text
  double number = 0;       // the value when numeric
  std::string value;       // the value as written, surrounding quotes removed
  int32_t function = 0;    // ColumnFunction code of the prefix, 0 when none
  int32_t ordinal = 0;     // 1 for the first evaluation in the file
  int32_t current = 0, previous = 0;  // run time: results of this and the last run
  std::vector<std::string> held_rows;  // run time: the rows it held for at the last run
};

}  // namespace qrx
