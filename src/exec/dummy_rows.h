// Rows that no fetch delivered: the stored layout of a cursor laid out from
// its select list alone (cursors without SQL, runs without rows) and the
// dummy last row. Rows added belong to the cursor.
#pragma once

#include "exec/fetched_row.h"
#include "qrx/curs.h"

namespace qrx {

// Lays out the stored row of `c` from the select list `items` (described
// items, values unused; null when there is none) unless its layout is fixed
// already. Returns 0; a column that cannot be resolved holds the cursor.
int setup_dummy(curs& c, const fetched_row* items);

// Appends a dummy row ("N/A" in character columns, "0" at the right of
// numeric ones) with the current sample number and the next ordinal.
// Returns 0; without a fixed layout no row is added.
int build_dummy_last_row(curs& c);

}  // namespace qrx
