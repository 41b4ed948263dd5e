// Math columns: the arithmetic statement of a math column evaluated for each
// stored row (precedence, rounding, HIGH/LOW extremes) and written into the
// row right-aligned. Statements belong to their cursor.
#pragma once

#include "qrx/cursor_set.h"
#include "qrx/curs.h"

namespace qrx {

// Width of a math column that no select-list item sizes.
constexpr int16_t kMathColumnWidth = 21;

// Computes the math column `col` of `c` into `row` (the data of a stored row
// of `c`, possibly one being built). Never fails the row: errors give 0 or a
// blank field ending in "0". Returns 0.
int do_math(curs& c, const columns& col, char* row);

// Evaluates `m`'s work array (filled by do_math) and returns the answer; 0
// after a division by zero, an overflow or a malformed array (logged).
double do_arith(m_anch& m, const curs& c);

// Resolves every math word that names a column (of the cursor, a percent
// variable or CURSOR.COLUMN); 0, or 1 after logging each failure.
int edit_math(cursor_set& cursors);

// Computes every math column of `c` into `row`, in statement order.
void compute_maths(curs& c, char* row);

}  // namespace qrx
