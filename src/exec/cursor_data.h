// Fetching one cursor's data on behalf of the collection pass, on-demand
// refreshes and column functions, and recording the outcome in the cursor
// and in the collector distributor's status.
#pragma once

#include <cstdint>

#include "qrx/curs.h"

namespace qrx {

// Runs `c` (pre-cursors and post-cursors included) with the fetch time of
// relative second `seconds`; a virtual cursor only marks its rows changed and
// due for history and records its rows and the time as a successful run's. Success sets the cursor's last time and the collector
// distributor's last run and status "GOOD"; failure clears the cursor's stale
// time and sets status "FAIL".
// Returns 0 on success, 1 on failure.
int get_cursor_data(int32_t seconds, curs& c);

// Sets the cursor's window_open and window_close to its current or next
// window (no holidays). Leaves demand, held and once-with-rows cursors alone.
void set_window_c(curs& c, int32_t now);

}  // namespace qrx
