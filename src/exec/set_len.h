// Length overrides: set_len clauses give chosen select-list items a fetch
// length of their own. Resolved once per cursor against its described
// select list, applied before every fetch.
#pragma once

#include <span>
#include <string>

#include "qrx/curs.h"

namespace qrx {

// Finds each set_len name among the described item names (exact match) and
// remembers its index. 0 when all resolved; 1 after holding the cursor when
// a name is missing. Does nothing once resolved.
int init_set_len(curs& c, std::span<const std::string> item_names);

// Writes each resolved override into `fetch_lengths` (one per item).
void set_the_lengths(const curs& c, std::span<int> fetch_lengths);

}  // namespace qrx
