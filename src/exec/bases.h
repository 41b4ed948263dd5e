// Bases: each fetched row of a cursor joined on one column to the row of
// another cursor (its base), whose columns the row's qualified columns and
// column exits then read. Base rows belong to the base cursor's chain.
#pragma once

#include "qrx/cursor_set.h"
#include "exec/fetched_row.h"
#include "qrx/curs.h"

namespace qrx {

// Resolves every base cursor and its column. 0, or 1 after logging each
// failure; ends with one summary line.
int edit_bases(cursor_set& cursors);

// Finds the base row of every base of `c` for the fetched `row`. 0, or 1
// when a base has no row at all (no stored row can be built).
int set_bases(curs& c, const fetched_row& row);

// The address of the field at `offset` in the row of `of` that `c` reads:
// the base row when `of` is one of `c`'s bases and has one, else the last
// row of `of`; null when there is no row.
const char* locate_base(const curs& of, const curs& c, int32_t offset);

}  // namespace qrx
