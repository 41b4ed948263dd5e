// Loads: moving values from a cursor's rows into the variables of virtual
// cursors after each run, plainly, aggregated (COUNT, SUM, AVG), filtered
// by a condition or chosen by a minimum, maximum or most frequent value.
// Load records belong to the loading cursor; variables to their cursor.
#pragma once

#include <cstdint>

#include "qrx/cursor_set.h"
#include "qrx/curs.h"

namespace qrx {

// Runs every load of `c` after a run that fetched `rows` rows; 0, or the
// failing column-function code.
int process_loads(curs& c, int32_t rows);

// Moves `value` (the source column's width) into the target variable
// `field` of column `target`, trimmed; numbers keep their rightmost digits
// right-aligned, text is left-aligned and cut. Returns 0.
int set_one_var(const columns& source, const columns& target, char* field, const char* value,
                const curs& c);

// The first row of `c` whose value of `col` occurs most often (the value
// seen first wins a tie), or null when `c` has no rows.
const row_data* get_max_occurance(const curs& c, const columns& col);

// Resolves the columns of every load's WHERE condition at start-up; 0, or 1
// after logging each failure.
int edit_loads(cursor_set& cursors);

}  // namespace qrx
