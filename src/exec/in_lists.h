// In-lists: one column of a cursor's rows written as an SQL list text
// ("( 'A' , 'B' )") that other cursors' SQL and decodes name. The list text
// belongs to its in-list record on the owning cursor.
#pragma once

#include "qrx/cursor_set.h"
#include "qrx/curs.h"

namespace qrx {

// Resolves every in-list's column in its own cursor. 0, or 1 after logging
// each failure; ends with one summary line.
int edit_in_lists(cursor_set& cursors);

// Rebuilds every in-list of `c` from its rows (the current sample when it
// keeps samples): the default "( 'ZIP' )" when it has none. Character
// values go between quotes with their own quotes doubled and never end in
// a cut UTF-8 character; numeric values go as they are.
void build_in_list(curs& c);

}  // namespace qrx
