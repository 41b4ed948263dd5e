// The result description of a cursor's script exit: the columns named in
// its insert_select, each a dictionary element. Kept on the cursor
// (curs::script_items) for the life of the process.
#pragma once

#include "ctl/definitions.h"
#include "qrx/curs.h"

namespace qrx {

// Fills `c.script_items` from `c`'s insert_select ("SELECT a, b FROM x"):
// one column per select-list name, with the length and type of its element
// in `defs`' dictionary.
// 0, or 1 after logging ("pcc3990", "pcc4000", "pcc4005" with "pcc4010").
int parse_script_exit(const Definitions& defs, curs& c);

}  // namespace qrx
