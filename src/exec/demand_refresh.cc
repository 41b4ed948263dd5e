#include "exec/demand_refresh.h"

#include "base/clock.h"
#include "base/relative_time.h"
#include "exec/cursor_data.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"

namespace qrx {

bool demand_is_stale(const curs& c, int32_t now) {
  // An age_to target's rows come only from its source.
  return c.demand && !c.is_virtual && !c.age_source && c.stale_time <= now;
}

cluster* prep_demand(curs& c) {
  // The percent cursor is a view onto work fields: fetching it would build
  // its row from itself, whatever becomes of its hold.
  if (c.hold == 'Y' || !c.demand || c.skip || (c.owning_set && &c == c.owning_set->percent_cursor)) return nullptr;
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
