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
#include "exec/col_function.h"
#include "exec/cursor_data.h"
#include "exec/demand_refresh.h"
#include "exec/stored_rows.h"
#include "qrx/cursor_set.h"

namespace qrx {

namespace {

constexpr int kEndOfData = 100;
constexpr int kFullDumps = 5;
constexpr std::size_t kAbbreviatedBytes = 199;

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

void cluster_free::operator()(cluster* cl) const {
  cl->~cluster();
  ::operator delete(cl);
}

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
  return register_cl(c, cl);
}

cluster* make_cluster_1(curs& c) {
  if (!c.column_data) return nullptr;
  if (!c.row_size) c.row_size = get_row_size(c);
  cluster* cl = allocate_cluster(1, c.row_size);
  make_row(c, cl->rows(), c.column_data->data());
  if ((c.trace && c.show_cursor) || trace_all) {
    PRINT('t', "dmk3810", "Dump of make_row result Row# 1 %s\n", c.name.c_str());
    u_print_dumpx("dmk3810", cl->rows(), c.row_size);
  }
  return register_cl(c, cl);
}

cluster* do_column_func(curs& c, int32_t now) {
  if (!c.column_data) {
    if (c.stored.empty()) get_cursor_data(now, c);
    if (c.stored.empty()) return nullptr;
    c.column_data.reset(row_chain::allocate(c.row_length));
  }
  // Recomputed on every request: the rows, and with them the marks and the
  // function row, may have changed since.
  char* out = c.column_data->data();
  std::memset(out, ' ', c.row_length);
  out[c.row_length] = '\0';
  std::string value;
  for (const auto& col : c.cols) {
    if (col->function == kFnNone) continue;
    if (col_function(c, *col, value) != 0) return nullptr;
    std::memcpy(out + col->stored_offset, value.data(),
                std::min<std::size_t>(value.size(), static_cast<std::size_t>(std::max<int16_t>(col->stored_length, 0))));
  }
  const row_data* plain = c.has_min_max && c.function_row ? c.function_row : c.stored.last();
  for (const auto& col : c.cols) {
    if (col->function != kFnNone) continue;
    std::memcpy(out + col->stored_offset, plain->data() + col->stored_offset,
                static_cast<std::size_t>(std::max<int16_t>(col->stored_length, 0)));
  }
  return make_cluster_1(c);
}

cluster* register_cl(const curs& c, cluster* cl) {
  auto& open = c.owning_set->clusters;
  open.emplace(open.begin(), cl);
  return cl;
}

bool find_cl(const curs& c, const cluster* cl) {
  const auto& open = c.owning_set->clusters;
  return cl && std::any_of(open.begin(), open.end(), [cl](const auto& node) { return node.get() == cl; });
}

cluster* open_cursor(curs& c) {
  if (c.hold == 'Y') return nullptr;
  if (demand_is_stale(c, relative_now(the_clock().now()))) {
    // Rows that age into another cursor stay until their next run moves them.
    if (c.age_to.empty()) delete_all(c);
    return prep_demand(c);
  }
  if (c.has_col_functions) return do_column_func(c, relative_now(the_clock().now()));
  return make_cluster(c);
}

int fetch_cur(const curs& c, cluster* cl) {
  if (!find_cl(c, cl)) return kEndOfData;
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

int close_cur(const curs& c, cluster* cl) {
  std::erase_if(c.owning_set->clusters, [cl](const auto& node) { return node.get() == cl; });
  return 0;
}

}  // namespace qrx
