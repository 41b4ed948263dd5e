// Math statements of a cursor: a derived value computed for every stored row
// from an arithmetic expression over columns and constants. Built by the
// COLLECT.CTL parser and owned by their cursor; the column pointers resolved
// at start-up are borrowed from `cur_anchor`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrx {

struct curs;
struct columns;

// Kinds of math words (and of work cells; 0 marks a consumed cell).
enum MathKind : uint16_t { kMathConsumed = 0, kMathName = 1, kMathOpen = 2, kMathClose = 3,
                           kMathConstant = 4, kMathPlus = 5, kMathMinus = 6, kMathTimes = 7,
                           kMathDivide = 8 };

// One word of a math expression.
struct math_in {
  std::string text;             // as written, at most 49 characters
  uint16_t type = kMathName;    // MathKind
  double value = 0;             // constants
  curs* cursor = nullptr;       // start-up: the cursor whose row a name reads (null: this row)
  columns* column = nullptr;    // start-up: the column a name reads
};

// One cell of the work array.
struct math_cell {
  double value = 0;
  uint16_t kind = kMathConsumed;
};

// One math statement: MATH [options] NAME EXPRESSION.
struct m_anch {
  std::vector<math_in> math;       // words in written order
  std::string name;                // the derived column, fewer than 50 characters
  uint16_t word_count = 0;
  uint16_t parentheses = 0;        // number of "("
  std::vector<math_cell> work;     // one cell per word
  uint16_t decimals = 2;
  uint16_t round = 1;
  double rounding = 0.005;         // 0.5 × 10^-decimals when rounding, else 0
  uint16_t high_low = 0;           // 1 HIGH, 2 LOW, 0 none
  double initial = 0;
  std::string location;            // where fault messages place the statement
  // Run time: the extreme a HIGH or LOW statement keeps.
  bool has_extreme = false;
  double extreme = 0;
};

}  // namespace qrx
