// The collection pass and the historian: which cursors run at the collector
// distributor's turn, and the history files that keep their rows. Works on
// the cursors of the Definitions given; nothing returned here is owned by callers.
#pragma once

#include <string>

#include "ctl/definitions.h"

namespace qrx {

// One collection pass over every cursor in chain order: bypasses held,
// demand, class-switched-off, out-of-window and not-yet-due cursors, runs the
// others, commits and sets the last run and status of `defs`' collector
// distributor. Returns the number of cursors that failed, or 1 when go_home
// ended the pass.
int collect(Definitions& defs);

// One historian run at now text `now_text`: appends the current rows of every
// due history cursor to coll_home/NAME.HST. Returns 0, or 1 when a history
// file could not be opened or written (the other cursors are still written).
// Retention, read once at the first run: a file that a run would take past
// COLL_HISTORY_ROTATE_SIZE bytes is first renamed NAME.HST.<n>, n one above
// the highest in use ("chi1660"), and only the newest COLL_HISTORY_KEEP
// rotated files are kept (0 or unset: all; neither set: no rotation).
int do_history(const cursor_set& cursors, const std::string& now_text);

}  // namespace qrx
