// Clusters: a cursor's rows copied into agent format for one request. A
// cluster is one allocation (header and rows); the cursor's set owns every
// cluster of its cursors from open_cursor until close_cur. Every cursor
// handed to these functions belongs to a set (cursor_set::add).
#pragma once

#include <cstdint>

#include "qrx/curs.h"

namespace qrx {

// Header of a cluster; `count` agent rows of `row_size` bytes follow it.
struct cluster {
  int32_t status = 0;     // 0 while rows remain, 100 at the end
  int32_t count = 0;      // rows held
  int32_t row_size = 0;   // bytes per agent row
  int32_t fetched = 0;    // 1 once fetch_cur made the first row current
  uint32_t current = 0;   // offset of the current row within rows()
  uint32_t end = 0;       // offset just past the last row

  char* rows() { return reinterpret_cast<char*>(this + 1); }
  const char* rows() const { return reinterpret_cast<const char*>(this + 1); }
  // The current agent row (valid while status is 0 after a fetch).
  const char* current_row() const { return rows() + current; }
};
static_assert(sizeof(cluster) == 24, "cluster header is six 32-bit words");

// The cursor's rows (those of the current sample when samples are kept) in
// agent format, registered; null when the cursor has no rows.
cluster* make_cluster(curs& c);

// A one-row cluster of the cursor's column-function row (`column_data`),
// registered; null when that row does not exist.
cluster* make_cluster_1(curs& c);

// The column-function result of `c` as a one-row cluster: plain columns from
// the last row (from the row MIN or MAX chose when the cursor has such a
// column), function columns computed over the rows. A cursor without rows is
// fetched first (relative second `now`). Null when there are still no rows or
// a function fails.
cluster* do_column_func(curs& c, int32_t now);

// Registers `cl` with the set of `c` (taking ownership); returns it.
cluster* register_cl(const curs& c, cluster* cl);

// True when `cl` is registered with the set of `c`.
bool find_cl(const curs& c, const cluster* cl);

// The cluster a request reads: null for a held cursor or one without rows.
// A stale on-demand cursor is fetched again first (prep_demand); a cursor
// with column functions gives its one-row result (do_column_func).
cluster* open_cursor(curs& c);

// Makes the next row current in `cl`, a cluster open_cursor(c) gave: 0 when
// a row is current, 100 at the end (and for a cluster not registered with
// the set of `c`).
int fetch_cur(const curs& c, cluster* cl);

// Unregisters and frees `cl` (from the set of `c`); an unregistered cluster
// is left alone. Returns 0.
int close_cur(const curs& c, cluster* cl);

}  // namespace qrx
