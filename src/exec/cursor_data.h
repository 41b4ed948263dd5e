// Fetching one cursor's data on behalf of the collection pass, on-demand
// refreshes and column functions, and recording the outcome in the cursor
// and in the collector distributor's status.
#pragma once

#include <cstdint>

#include "qrx/curs.h"

namespace qrx {

// Runs `c` (pre-cursors and post-cursors included) with the fetch time of
// relative second `seconds`; a virtual cursor only marks its rows changed.
// Returns 0 on success, 1 on failure.
int get_cursor_data(int32_t seconds, curs& c);

}  // namespace qrx
