// The clauses that tie a cursor to other cursors and to its select list:
// pre_cursor, iterate, in_list, base, column_exit and set_len, and the table
// of column-exit routine names. Each parser builds its record
// on the cursor being defined; names are resolved later, at start-up.
#pragma once

#include <string_view>

#include "qrx/curs.h"

namespace qrx {

// "pre_cursor NAME": appends a pre-cursor record. 0, or 1 after logging.
int parse_pre_cursor(curs& c, std::string_view text);

// "iterate NAME": the cursor's one iterate record. 0, or 1 after logging.
int parse_iterate(curs& c, std::string_view text);

// "in_list COLUMN using NAME": appends an in-list holding the default list
// text. 0, or 1 after logging.
int parse_in_list(curs& c, std::string_view text);

// "base NAME on COLUMN -> TARGET": appends a join of this cursor's select-list
// item COLUMN to column TARGET of cursor NAME. 0, or 1 after logging.
int parse_base(curs& c, std::string_view text);

// Column-exit routines, in the order of the table below; the runtime keeps
// its routines in the same order.
enum ColExitRoutine : int { kColexR = 0, kColexL, kColexM, kColexS, kColexC, kColexM2, kColexT, kColexCount };

// Operands a column-exit routine takes.
enum class ColExitOperands { kNone, kStartLength, kColumn };

// One entry of the column-exit table: its names (upper and lower case only)
// and its operands.
struct ColExitName {
  const char* upper;
  const char* lower;
  ColExitOperands operands;
};

// The column-exit table, indexed by ColExitRoutine.
extern const ColExitName kColExitNames[kColexCount];

// "column_exit COLUMN FUNCTION [operands]": adds an exit to the column's
// block (a new block at the end for a column not seen yet). 0, or 1 after
// logging.
int parse_column_exit(curs& c, std::string_view text);

// "set_len COLUMN LENGTH": appends a length override. 0, or 1 after logging.
int parse_set_len(curs& c, std::string_view text);

// Runs the parsers above over the cursor's kept clause statements outside
// conditional sections; logs every fault and returns 1 when there was one.
int parse_cursor_clauses(curs& c);

}  // namespace qrx
