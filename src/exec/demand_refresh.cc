#include "exec/demand_refresh.h"

#include "exec/cursor_data.h"
#include "exec/stored_rows.h"
#include "runtime/clock.h"
#include "runtime/relative_time.h"

namespace qrx {

bool demand_is_stale(const curs& c, int32_t now) {
  return c.demand && !c.is_virtual && c.stale_time <= now;
}

cluster* prep_demand(curs& c) {
  if (c.hold == 'Y' || !c.demand || c.skip) return nullptr;
  const int32_t now = relative_now(the_clock().now());
  c.stale_time = now + c.stale;
  if (get_cursor_data(now, c) != 0) {
    // The next request fetches again instead of reading the failed rows.
    c.stale_time = 0;
    return nullptr;
  }
  cluster* cl = make_cluster(c);
  if (c.stale == 0) delete_all(c);
  return cl;
}

}  // namespace qrx
