// Age-to: a cursor whose rows move, before each run, into a second cursor
// (the target), so that the target holds the previous sample. The target's
// definition is a copy of the source's; the rows belong to whichever chain
// holds them.
#pragma once

#include "qrx/cursor_set.h"
#include "qrx/curs.h"

namespace qrx {

// Links every age_to source to its target and makes the target a copy of
// the source's definition. 0, or 1 after logging each failure; ends with one
// summary line.
int edit_age_to(cursor_set& cursors);

// After source `c` took another version: its target becomes a copy of that
// version's definition, without the rows of the former layout.
void age_to_default_vers(curs& c);

// Moves the rows of age_to source `c` into its target before `c` fetches.
void do_copy(curs& c);

}  // namespace qrx
