// Start-up linking of the references between cursors: pre-cursors,
// iterators and qualified column names (CURSOR.COLUMN). Each pass writes
// plain pointers into the records of the set it is given, which owns them all.
#pragma once

#include "qrx/cursor_set.h"

namespace qrx {

// Resolves every pre-cursor name; 0 when all resolved, 1 after logging each failure.
int edit_pre_cursors(cursor_set& cursors);

// Resolves every iterator name; 0 when all resolved, 1 after logging each failure.
int edit_iterates(cursor_set& cursors);

// Resolves every qualified column to its source cursor and column; 0 when
// all resolved, 1 otherwise. Ends with one summary line.
int set_qualifieds(cursor_set& cursors);

}  // namespace qrx
