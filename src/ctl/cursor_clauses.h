// The clauses that tie a cursor to other cursors and to its select list:
// pre_cursor, iterate, in_list and set_len. Each parser builds its record
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

// "set_len COLUMN LENGTH": appends a length override. 0, or 1 after logging.
int parse_set_len(curs& c, std::string_view text);

// Runs the parsers above over the cursor's kept clause statements outside
// conditional sections; logs every fault and returns 1 when there was one.
int parse_cursor_clauses(curs& c);

}  // namespace qrx
