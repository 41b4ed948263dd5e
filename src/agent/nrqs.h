// Cursor rows written into the message log: the "nrqs" distributor's turn,
// one agent row column by column, and the description of a cursor. Nothing
// returned here is owned by the caller.
#pragma once

#include <string>

#include "qrx/curs.h"
#include "qrx/cursor_set.h"
#include "qrx/distributor.h"

namespace qrx {

// Writes the rows of every due cursor of `cursors` without evaluations into the log; the
// result of the last cluster close (0).
int do_nrqs(cursor_set& cursors, distributor& d, const std::string& time_text);

// Logs agent row `row` of `c` column by column ("cpr1895"), preceded by the
// cursor's INSERT text when another cursor of its set was printed last.
// Returns 0.
int send_a_row(const curs& c, const char* row);

// Logs the description of `c` and its columns ("csc1900".."csc1920") and
// clears its show_cursor flag. Returns 0.
int sho_cur(curs& c);

}  // namespace qrx
