// Decodes: conditions tested against a column's value (equal, greater, in
// an in-list, ...) with the action of the first that holds, and the
// iterate-where condition of an iterating cursor. Decode records belong to
// their cursor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "qrx/cursor_set.h"
#include "qrx/curs.h"
#include "qrx/row_data.h"

namespace qrx {

// The entry of `d` that holds for the value of `col` in `row` (the data of a
// row of `c`, possibly one being built) with NULL indicator `indicator`; the
// "default" entry when none holds; null when none holds or the decode cannot
// be evaluated. The entry belongs to `d`.
const decode_op* eval_decode(curs& c, decode& d, const columns& col, const char* row,
                             int16_t indicator);

// Applies the action of the entry of `d` that holds to the decoded column in
// `row` (the data of `c`'s row with ordinal `ordinal`, being built). Returns 0.
int do_decode(curs& c, decode& d, char* row, int16_t indicator, int32_t ordinal);

// Carries out `text` when it is a hold or release command ("hold next",
// "release below", ...) on cursors of `c`'s set; non-zero when it was one. `width` is the decoded
// column's width.
int special_decode(curs& c, std::string_view text, std::size_t width);

// Resolves the column operands of `d`'s entries and AND parts in `c`
// (find_col); false after logging each failure with `operand_id` and
// `operand_text` (column, cursor) or, for AND parts, `and_id`.
bool resolve_operands(curs& c, decode& d, const char* operand_id, const char* operand_text,
                      const char* and_id);

// Resolves every decode's columns and cursors at start-up; 0, or 1 after
// logging each failure.
int edit_decode(cursor_set& cursors);

// Resolves the iterate-where columns in each iterating cursor's iterator;
// 0, or 1 after logging each failure.
int edit_iterate_where(cursor_set& cursors);

// True when `row` of `c`'s iterator satisfies `c`'s iterate-where condition,
// or when `c` has none.
bool iterate_where_holds(curs& c, const row_data& row);

}  // namespace qrx
