// The percent cursor "%CURSOR": one internal cursor whose single row is the
// collector's own work block (machine identity, fetch time, row and sample
// numbers, timings, every cursor's last SQL code, request parameters). Its
// columns are views into that row at fixed offsets. Each cursor set has its
// own: created at start-up, it sits last on the set's `cur_anchor` (which
// owns it), and the set keeps what its refresh writes.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "qrx/curs.h"
#include "qrx/cursor_set.h"

namespace qrx {

// Appends "%CURSOR" to the chain of `cursors` (replacing the one it had);
// 0, or 1 when its columns cannot be built.
int create_percent_cursor(cursor_set& cursors);

// The column of the percent cursor of `cursors` named `name` (any case, first 50 characters),
// or null. With database type "ORA", "%machine_me" finds "%machine_me_ora".
// Brings the "%sqlcode_" fields up to date.
columns* find_pcnt_col(cursor_set& cursors, std::string_view name);

// The row of the percent cursor of `cursors` (null before creation) with every "%sqlcode_"
// field copied from its cursor's status: read percent columns through this,
// at the column's stored offset and stored length.
const row_data* percent_row(cursor_set& cursors);

// find_pcnt_col in the set `c` belongs to; null also for a cursor on no set.
columns* percent_column_of(const curs& c, std::string_view name);

// The row of the percent cursor of `cursors` (null before creation) for reading column `col`:
// when `col` is a "%sqlcode_" column, its field is copied from its cursor's
// status first; no other field is touched.
const row_data* percent_row_for(cursor_set& cursors, const columns& col);

// Copies the 16-character status of every cursor of `cursors` into its "%sqlcode_" field.
void sync_percent_statuses(cursor_set& cursors);

// Writes the per-row work fields before a row of `c` is assembled (the
// "%sqlcode_" fields are copied when read instead): the fetch
// time stamp (`fetch_time`, 14 characters, then "00") and, right-aligned in 21
// characters, the ordinal of the row being built, the sample number, the
// current time in seconds, the last run duration and the seconds between runs.
// Writes the percent cursor of `c`'s set; nothing when it has none.
void refresh_percent_values(const curs& c, std::string_view fetch_time);

// When `value` points at a "%sqlcode_" field of the percent row of `cursors`, copies that
// cursor's status into it; any other pointer is left alone. Row assembly
// calls it before reading a column bound to a variable.
void sync_percent_value(cursor_set& cursors, const char* value);

// Hands request parameters to the "%parm" columns of `cursors` in column order: each takes
// the next parameter, cut at its first zero byte or 256 characters, and its
// stored length becomes that length; a column without a parameter is emptied.
void set_request_parameters(cursor_set& cursors, std::span<const std::string> params);

// Binds `col` of another cursor to percent column `pcol`: its type, data type,
// stored length and value (a pointer into the percent row).
void bind_percent_column(columns& col, const columns& pcol);

}  // namespace qrx
