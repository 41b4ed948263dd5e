// Refreshing an on-demand cursor when a request finds its rows stale: fetch
// it again and build the cluster the request reads. The cluster belongs to
// the cluster registry until close_cur.
#pragma once

#include "exec/clusters.h"
#include "qrx/curs.h"

namespace qrx {

// Fetches `c` (not held, on-demand, skip mark clear) and returns its new
// cluster; null when the cursor is not refreshed here, the fetch failed or it
// has no rows. Marks the rows stale again after the refresh period; with a
// period of 0 the rows are deleted once the cluster holds them.
cluster* prep_demand(curs& c);

// True when `c` is on demand and its rows have gone stale at relative second `now`.
bool demand_is_stale(const curs& c, int32_t now);

}  // namespace qrx
