// Name resolution for derived clauses: columns named plainly, as "%" percent
// variables or as CURSOR.COLUMN, and in-lists named CURSOR.LIST. Returned
// records belong to their cursors.
#pragma once

#include <string>
#include <string_view>

#include "ctl/control_parse.h"
#include "qrx/curs.h"
#include "qrx/cursor_set.h"

namespace qrx {

// The column of `c` named `name` (a leading digit: 1-based position, 0 counts
// as 1), or null.
columns* search_curs_vers_insert(curs& c, std::string_view name);

// The column named `name` of the inactive version of `c` chosen most
// recently (the latest selection time wins), after logging pde5000 with
// version tracing on; null when no version has it. The column belongs to
// that version: its offsets are those of the version's rows.
columns* search_inactive_versions(curs& c, std::string_view name);

// Resolves `name` as a column of `c`, a percent variable or CURSOR.COLUMN
// (the percent cursor and CURSOR those of `c`'s set).
// 0 with `*column` and `*cursor` (the owning cursor) set, or 1 after logging.
int find_col(curs& c, std::string_view name, columns** column, curs** cursor);

// The current list text of the in-list named by `text` ("CURSOR.LIST", a
// cursor of `cursors`), or null after logging why.
const std::string* find_in_list(cursor_set& cursors, std::string_view text);

}  // namespace qrx
