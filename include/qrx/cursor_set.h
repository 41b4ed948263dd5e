// One set of cursors: the chain in file order, the name index beside it, the
// percent cursor and what its per-row refresh keeps, and the state the
// cursors' run-time code shares (open clusters, a decode's hold below, the
// cursor nrqs logged last). The set owns every cursor on its chain and every
// open cluster; each cursor added through it points back at it, so that code
// holding only a cursor finds the cursors its clauses name in the same set.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qrx/curs.h"
#include "qrx/row_data.h"

namespace qrx {

// The percent cursor's columns that the per-row refresh writes, found once
// after creation, and what it wrote last.
struct percent_work {
  // "%sqlcode_" columns in column order; their fields are consecutive, each
  // 16 characters long, starting at `first_status`.
  std::vector<std::pair<columns*, const curs*>> sqlcodes;
  const char* first_status = nullptr;
  columns* now_time = nullptr;
  columns* current_interval = nullptr;
  columns* now_secs = nullptr;
  columns* rowno = nullptr;
  columns* sampleno = nullptr;
  columns* execution_time = nullptr;
  // What the last refresh wrote to the work fields (nothing else writes
  // them): the rows of one run differ only in their ordinal and, now and
  // then, the second, so the rest is written only when it changes.
  const row_data* refreshed_row = nullptr;
  std::string stamp;
  long long sample = 0, seconds = 0, elapsed = 0, interval = 0;
};

struct cluster;  // a cursor's rows in agent format for one request (exec/clusters.h)

// Frees a cluster; defined with the clusters.
struct cluster_free {
  void operator()(cluster* cl) const;
};

struct cursor_set {
  cursor_set() = default;
  cursor_set(const cursor_set&) = delete;
  cursor_set& operator=(const cursor_set&) = delete;

  // Every cursor, in file order; the percent cursor last once created.
  std::vector<std::unique_ptr<curs>> cur_anchor;
  // The percent cursor "%CURSOR" (on cur_anchor), or null before it is created.
  curs* percent_cursor = nullptr;
  // The percent cursor's refresh state; empty while there is no percent cursor.
  percent_work percent;
  // Clusters opened for requests and not yet closed, newest first.
  std::vector<std::unique_ptr<cluster, cluster_free>> clusters;
  // Set while a decode holds every cursor below its own.
  bool below_hold_in_force = false;
  // The cursor whose rows nrqs wrote into the log last (its INSERT text heads them).
  const curs* nrqs_last_cursor = nullptr;

  // Appends `c` to the chain and points it at this set; returns it.
  curs& add(std::unique_ptr<curs> c);

  // The cursor named `name` (exact; the first of that name), or null. Looks up
  // an index kept beside the chain: constant time, also while cursors are
  // appended to the chain.
  curs* find_cursor(const std::string& name) const;

  // Drops the name index; for code that removes or replaces cursors on
  // cur_anchor (appending needs nothing).
  void forget_cursor_index() const;

  // Removes the percent cursor (when there is one) from the chain and forgets its state.
  void drop_percent_cursor();

  // Deletes every cursor, the percent cursor with them, and forgets what
  // named them (hold below, nrqs' last cursor); open clusters stay.
  void del_curs();

 private:
  // The chain is a plain vector that the parser, the percent cursor and tests
  // change directly, so the index follows it lazily: entries appended since
  // the last look-up are added, and any other change (cursors removed,
  // replaced or the chain rebuilt) makes it start again.
  struct Index {
    std::unordered_map<std::string, std::size_t> position;  // first cursor of each name
    std::size_t count = 0;                                   // chain entries indexed
    const curs* first = nullptr;                             // chain ends when indexed
    const curs* last = nullptr;
    std::string first_name, last_name;
  };
  bool index_prefix_kept() const;
  void sync_index() const;
  mutable Index index_;  // a look-up brings it up to date
};

}  // namespace qrx
