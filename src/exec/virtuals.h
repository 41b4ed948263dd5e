// Virtual cursors: one stored row whose columns are dictionary elements,
// built once at start-up and rewritten in place by loads; and the server
// status field that mirrors the last bad SQL code. The rows belong to their
// cursors.
#pragma once

#include <span>

#include "ctl/definitions.h"
#include "qrx/curs.h"

namespace qrx {

// Binds every virtual cursor's columns to the elements of the same names in
// `defs`' dictionary and builds its one row with the initial values. 0, or 1
// when a column has no element (each one is reported).
int init_virtuals(const Definitions& defs);

// The "SQLRC" field of the virtual cursor "SERVSTAT" of `cursors` when it is
// at least 6 long; empty otherwise.
std::span<char> servstatus_field(const cursor_set& cursors);

// Blanks the server status field of `cursors` and, for a code other than 0, 100 and 1403,
// writes the code there left-aligned. Returns 0.
int set_status(const cursor_set& cursors, int code);

}  // namespace qrx
