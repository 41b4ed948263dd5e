// The percent cursor "%CURSOR": one internal cursor whose single row is a
// view onto the collector's own work fields (machine identity, fetch time,
// row and sample numbers, timings, every cursor's last SQL code, request
// parameters). It is created once at start-up and lives for the process.
#pragma once

#include <string_view>

#include "qrx/curs.h"

namespace qrx {

// The percent cursor, or null before create_percent_cursor.
extern curs* percent_cursor;

// Appends "%CURSOR" to the cursor chain; 0, or 1 when its columns cannot be built.
int create_percent_cursor();

// The percent cursor's column named `name` (any case), or null.
columns* find_pcnt_col(std::string_view name);

}  // namespace qrx
