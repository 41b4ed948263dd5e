// Column functions: one column summarised over a cursor's rows (MIN, MAX,
// AVG, WAVG, TREND, SUM, COUNT) or its high- and low-water mark. Results are
// written into a buffer the caller owns.
#pragma once

#include <string>

#include "qrx/curs.h"

namespace qrx {

// Computes `col`'s function over `c`'s rows (the current sample only when the
// cursor keeps samples) into `out`, resized to the column width and
// right-aligned. MIN and MAX remember their row as the cursor's function
// row. 0, or 1 when the function cannot be computed for this column.
int col_function(curs& c, const columns& col, std::string& out);

// col_function for a character column: MIN, MAX and the marks; 1 for the others.
int col_funct_char(curs& c, const columns& col, std::string& out);

}  // namespace qrx
