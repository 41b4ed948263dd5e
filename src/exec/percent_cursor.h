// The percent cursor "%CURSOR": one internal cursor whose single row is the
// collector's own work block (machine identity, fetch time, row and sample
// numbers, timings, every cursor's last SQL code, request parameters). Its
// columns are views into that row at fixed offsets. It is created once at
// start-up, sits last on `cur_anchor` (which owns it) and lives for the process.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "qrx/curs.h"

namespace qrx {

// The percent cursor, or null before create_percent_cursor.
extern curs* percent_cursor;

// Appends "%CURSOR" to the cursor chain; 0, or 1 when its columns cannot be built.
int create_percent_cursor();

// Deletes every cursor, the percent cursor with them.
void del_curs();

// The percent cursor's column named `name` (any case, first 50 characters),
// or null. With database type "ORA", "%machine_me" finds "%machine_me_ora".
// Brings the "%sqlcode_" fields up to date.
columns* find_pcnt_col(std::string_view name);

// The percent cursor's row (null before creation) with every "%sqlcode_"
// field copied from its cursor's status: read percent columns through this,
// at the column's stored offset and stored length.
const row_data* percent_row();

// The percent cursor's row (null before creation) for reading column `col`:
// when `col` is a "%sqlcode_" column, its field is copied from its cursor's
// status first; no other field is touched.
const row_data* percent_row_for(const columns& col);

// Copies every cursor's 16-character status into its "%sqlcode_" field.
void sync_percent_statuses();

// Writes the per-row work fields before a row of `c` is assembled (the
// "%sqlcode_" fields are copied when read instead): the fetch
// time stamp (`fetch_time`, 14 characters, then "00") and, right-aligned in 21
// characters, the ordinal of the row being built, the sample number, the
// current time in seconds, the last run duration and the seconds between runs.
void refresh_percent_values(const curs& c, std::string_view fetch_time);

// When `value` points at a "%sqlcode_" field of the percent row, copies that
// cursor's status into it; any other pointer is left alone. Row assembly
// calls it before reading a column bound to a variable.
void sync_percent_value(const char* value);

// Hands request parameters to the "%parm" columns in column order: each takes
// the next parameter, cut at its first zero byte or 256 characters, and its
// stored length becomes that length; a column without a parameter is emptied.
void set_request_parameters(std::span<const std::string> params);

// Binds `col` of another cursor to percent column `pcol`: its type, data type,
// stored length and value (a pointer into the percent row).
void bind_percent_column(columns& col, const columns& pcol);

}  // namespace qrx
