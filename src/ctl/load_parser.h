// Load statements: LOAD [AVERAGE|SUM|COUNT] SOURCE -> CURSOR.COLUMN
// [WHERE condition | FROM MIN|MAX|MAX_OCCURANCE COLUMN], parsed once every
// cursor exists. The load records belong to the loading cursor.
#pragma once

#include "ctl/definitions.h"

namespace qrx {

// Builds the load records of every cursor that has load texts and none yet,
// each target bound to its element in `defs`' dictionary; 0, or 1 when any
// load failed (each failure is logged).
int parse_loads(Definitions& defs);

}  // namespace qrx
