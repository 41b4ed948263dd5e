// Loads: moving values from a cursor's rows into the variables of virtual
// cursors after each run, plainly, aggregated (COUNT, SUM, AVG), filtered
// by a condition or chosen by a minimum, maximum or most frequent value.
#pragma once

#include <cstdint>

#include "qrx/curs.h"

namespace qrx {

// Runs every load of `c` after a run that fetched `rows` rows; 0, or the
// failing column-function code.
int process_loads(curs& c, int32_t rows);

}  // namespace qrx
