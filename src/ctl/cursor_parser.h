// COLLECT.CTL cursor blocks: the pieces of the cursor parser that other
// passes and tests call. Records are those of "qrx/curs.h".
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "ctl/definitions.h"
#include "qrx/curs.h"

namespace qrx {

// Creates a column from a host-variable word (without its ":") such as
// "INT!AVG!busy^8" and appends it to `c`; sets the cursor's column-function
// flags. Returns 0.
int add_column(std::string_view word, curs& c);

// Rewrites the cursor's model INSERT to end in "(?,...,?)" and builds its
// insert columns; 0, or 1 after reporting.
int compact_insert(curs& c);

// Appends the window [start, end) (seconds after midnight; an end below the
// start runs past midnight) to `chain`; returns 0.
int set_operate(WindowList& chain, int32_t start, int32_t end);

// Numbers the cursor's columns from 1 in chain order.
void set_col_ordinals(curs& c);

// Checks a finished cursor and fills in its defaults (a script exit's columns
// come from `defs`' dictionary); 0, or 1 after reporting each fault.
int edit_cursor_block(const Definitions& defs, curs& c);

// Builds the cursor's SQL text; 0, or 1 when there is nothing to fetch.
int set_selects(curs& c);

// A fetch exit COLLECT.CTL may name, as a cursor's fetch_ex starts out.
struct known_exit {
  uint16_t kind;
  uint16_t routine;
  const char* name;
  uint32_t mode;
  uint32_t mode_value;
};

// The known fetch exits, in look-up order.
std::span<const known_exit> known_exits();

}  // namespace qrx
