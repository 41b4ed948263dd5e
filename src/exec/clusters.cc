#include "exec/clusters.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/dump.h"
#include "base/log.h"
#include "base/memory.h"
#include "base/relative_time.h"
#include "base/trace.h"
#include "exec/agent_row.h"
#include "exec/demand_refresh.h"
#include "exec/stored_rows.h"

namespace qrx {

namespace {

constexpr int kEndOfData = 100;
constexpr int kFullDumps = 5;
constexpr std::size_t kAbbreviatedBytes = 199;

struct cluster_free {
  void operator()(cluster* cl) const {
    cl->~cluster();
    ::operator delete(cl);
  }
};

// Newest first.
std::vector<std::unique_ptr<cluster, cluster_free>> cl_anchor;

cluster* allocate_cluster(int32_t count, uint32_t row_size) {
  const std::size_t bytes = static_cast<std::size_t>(count) * row_size;
  void* block = ::operator new(sizeof(cluster) + bytes, std::nothrow);
  if (!block) no_mem();
  auto* cl = new (block) cluster;
  std::memset(cl->rows(), 0, bytes);
  cl->count = count;
  cl->row_size = static_cast<int32_t>(row_size);
  cl->end = static_cast<uint32_t>(bytes);
  return cl;
}

void dump_agent_row(const curs& c, int number, const char* row, std::size_t size) {
  if (number <= kFullDumps) {
    PRINT('t', "dmk3810", "Dump of make_row result %s Row# %d\n", c.name.c_str(), number);
    u_print_dumpx("dmk3810", row, size);
    return;
  }
  const std::string shown =
      u_printable(std::string_view(row, std::min(size, kAbbreviatedBytes)), 'p');
  PRINT('t', "dmk3811", "Abbrv dump of make_row result Row#%d. %.80s\n", number, shown.c_str());
}

}  // namespace

cluster* make_cluster(curs& c) {
  if (c.stored.empty()) return nullptr;
  int32_t count = 0;
  for (const row_data* row = c.stored.first(); row; row = row->next) count += in_current_sample(c, *row);
  if (!c.row_size) c.row_size = get_row_size(c);
  cluster* cl = allocate_cluster(count, c.row_size);
  const bool dump = (c.trace && c.show_cursor) || trace_all;
  char* slot = cl->rows();
  int number = 0;
  for (const row_data* row = c.stored.first(); row; row = row->next) {
    if (!in_current_sample(c, *row)) continue;
    make_row(c, slot, row->data());
    if (dump) dump_agent_row(c, ++number, slot, c.row_size);
    slot += c.row_size;
  }
  return register_cl(cl);
}

cluster* register_cl(cluster* cl) {
  cl_anchor.emplace(cl_anchor.begin(), cl);
  return cl;
}

bool find_cl(const cluster* cl) {
  return cl && std::any_of(cl_anchor.begin(), cl_anchor.end(),
                           [cl](const auto& node) { return node.get() == cl; });
}

cluster* open_cursor(curs& c) {
  if (c.hold == 'Y') return nullptr;
  if (demand_is_stale(c, relative_now(the_clock().now()))) {
    // Rows that age into another cursor stay until their next run moves them.
    if (c.age_to.empty()) delete_all(c);
    return prep_demand(c);
  }
  return make_cluster(c);
}

int fetch_cur(cluster* cl) {
  if (!find_cl(cl)) return kEndOfData;
  if (cl->current >= cl->end) {
    cl->fetched = 1;
    cl->status = kEndOfData;
  } else if (cl->count == 0) {
    cl->status = kEndOfData;
  } else if (!cl->fetched) {
    cl->fetched = 1;
  } else {
    cl->current += static_cast<uint32_t>(cl->row_size);
    if (cl->current >= cl->end) cl->status = kEndOfData;
  }
  return cl->status;
}

int close_cur(cluster* cl) {
  std::erase_if(cl_anchor, [cl](const auto& node) { return node.get() == cl; });
  return 0;
}

int registered_clusters() { return static_cast<int>(cl_anchor.size()); }

}  // namespace qrx
