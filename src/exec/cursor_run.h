// Running one cursor: pruning its kept rows, the database session, its
// pre-cursors, the host-variable merge of its SQL, iteration over another
// cursor's rows and the post-cursors its rows scheduled. Rows go to the
// cursor's own chain; nothing returned here is owned by the caller.
#pragma once

#include <cstdint>
#include <string>

#include "qrx/curs.h"

namespace qrx {

// Runs `c` once with the fetch time `time_text` (14 digits) and records the
// run in `c`: the rows it produced (0 when it failed), the seconds it took
// and, when it succeeded, its end. A held cursor, or a once cursor that
// produced rows, does not run. Returns 0, the SQL code of the failing
// statement, or the connect failure code.
int run_cursor(curs& c, const std::string& time_text);

// Runs `c`'s pre-cursors, `c` itself and the post-cursors its rows
// scheduled; returns 0 or the first failing code.
int pre_prep_l_fetch(curs& c, const std::string& time_text);

// Queues `target` to run after `source`'s run, positioned on the source row
// with `ordinal`; an equal entry already queued is not added again.
void queue_post_cursor(curs& source, curs& target, int32_t ordinal);

// The steps after a successful run that fetched `rows` rows: loads, in-lists
// and the dummy last row. The fetch calls it for a plain run (its default
// end-of-data hook), the iterated run once after the last iteration.
void finish_run(curs& c, int32_t rows);

}  // namespace qrx
