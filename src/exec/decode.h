// Decodes: conditions tested against a column's value (equal, greater, in
// an in-list, ...) with the action of the first that holds, and the
// iterate-where condition of an iterating cursor. Decode records belong to
// their cursor.
#pragma once

#include "qrx/curs.h"
#include "qrx/row_data.h"

namespace qrx {

// True when `row` of `c`'s iterator satisfies `c`'s iterate-where condition,
// or when `c` has none.
bool iterate_where_holds(curs& c, const row_data& row);

}  // namespace qrx
