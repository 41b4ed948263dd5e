// Assembling stored rows: the first row binds every column of a cursor to
// its source (select-list item, source cursor or variable) and fixes the
// stored layout; each row is then copied into a new stored row that the
// cursor owns.
#pragma once

#include <cstdint>
#include <string_view>

#include "exec/fetched_row.h"
#include "qrx/curs.h"

namespace qrx {

// Builds one stored row of `c` from `row` (null for a cursor without a
// select list) and appends it with the cursor's current sample number.
// `fetch_time` is the 14-digit time of the fetch. Returns the stored data
// length, or 0 when no row was added (a binding failure also holds the cursor).
int merge_text(curs& c, const fetched_row* row, std::string_view fetch_time);

// Binds `col` to select-list item number `item` (from 0), described as `f`:
// character data of the item's fetch width, numeric when the item is a number.
void bind_to_item(columns& col, int item, const fetched_column& f);

// Assigns stored offsets in column order, each column followed by one spare
// byte; resets an output length equal to the stored length to 0. Returns the
// stored data length, which also becomes the cursor's row length.
uint32_t lay_out_columns(curs& c);

}  // namespace qrx
