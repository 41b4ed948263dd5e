// Column exits: named routines that reshape one column of each stored row
// after the row is assembled (justify, substring, concatenate, minutes and
// timestamps from a time value). The exit records belong to their cursor.
#pragma once

#include <string_view>

#include "qrx/cursor_set.h"
#include "qrx/curs.h"

namespace qrx {

// Resolves every exit block's column and CONCAT's second columns. 0, or 1
// after logging each failure; ends with one summary line.
int edit_col_exits(cursor_set& cursors);

// Runs the exits of `block` in order on the row `data` of `c` fetched at
// `fetch_time` (14 digits). 0, or the first failing exit's code, which ends
// the chain (that exit left the field as it was).
int column_exit_driver(curs& c, const col_exit_block& block, char* data, std::string_view fetch_time);

// Runs every exit block of `c` on `data`; 0, or the first failing code.
int run_column_exits(curs& c, char* data, std::string_view fetch_time);

// The routines, each on column `col` of the row `data`; 0 or 1 after logging.
int colex_r(curs& c, columns& col, char* data, const col_exit& e, std::string_view fetch_time);
int colex_l(curs& c, columns& col, char* data, const col_exit& e, std::string_view fetch_time);
int colex_m(curs& c, columns& col, char* data, const col_exit& e, std::string_view fetch_time);
int colex_s(curs& c, columns& col, char* data, const col_exit& e, std::string_view fetch_time);
int colex_c(curs& c, columns& col, char* data, const col_exit& e, std::string_view fetch_time);
int colex_m2(curs& c, columns& col, char* data, const col_exit& e, std::string_view fetch_time);
int colex_t(curs& c, columns& col, char* data, const col_exit& e, std::string_view fetch_time);

}  // namespace qrx
