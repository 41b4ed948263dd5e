#include "exec/stored_rows.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/dump.h"
#include "base/log.h"
#include "base/memory.h"
#include "ctl/control_parse.h"
#include "qrx/distributor.h"

namespace qrx {

namespace {

constexpr int kFullDumpRows = 4;
constexpr std::size_t kAbbreviatedBytes = 199;

}  // namespace

row_data* row_chain::allocate(std::size_t length, bool zero_fill) {
  void* block = ::operator new(sizeof(row_data) + length + 1, std::nothrow);
  if (!block) no_mem();
  auto* row = new (block) row_data;
  if (zero_fill) std::memset(row->data(), 0, length + 1);
  return row;
}

void row_chain::release(row_data* row) {
  if (!row) return;
  row->~row_data();
  ::operator delete(row);
}

void row_chain::append(row_data* row) {
  position_ = nullptr;
  row->next = nullptr;
  if (tail_)
    tail_->next = row;
  else
    head_ = row;
  tail_ = row;
  ++count_;
}

void row_chain::drop_oldest() {
  if (!head_) return;
  position_ = nullptr;
  row_data* old = head_;
  head_ = old->next;
  if (!head_) tail_ = nullptr;
  --count_;
  release(old);
}

int row_chain::drop_samples_up_to(int32_t sample) {
  return drop_if([sample](const row_data& row) { return row.sample <= sample; });
}

void row_chain::clear() {
  while (head_) drop_oldest();
}

int32_t next_row_ordinal(const curs& c) {
  const row_data* newest = c.stored.newest();
  return newest && newest->sample == c.sample_no ? newest->ordinal + 1 : 1;
}

void link_row(curs& c, row_data* row) {
  row->sample = c.sample_no;
  row->ordinal = next_row_ordinal(c);
  c.stored.append(row);
  while (c.limit > 0 && c.stored.count() > c.limit) c.stored.drop_oldest();
  c.rows_changed = 1;
  c.history_due = 1;  // every path that adds rows passes here
}

row_data* add_stored_row(curs& c, std::string_view data, uint32_t data_length) {
  row_data* row = row_chain::allocate(data.size());
  std::memcpy(row->data(), data.data(), data.size());
  row->data_length = data_length;
  link_row(c, row);
  return row;
}

void delete_by_samples(curs& c) {
  if (c.samples <= 0) return;
  if (c.stored.drop_samples_up_to(c.sample_no - c.samples) > 0) c.rows_changed = 1;
}

int delete_by_time(curs& c) {
  if (c.time_limit <= 0 || c.stored.empty()) return 0;
  int32_t collector_interval = collector_at ? collector_at->interval : 0;
  const auto age = static_cast<uint32_t>(std::max({c.interval, collector_interval, 0}));
  const auto keep = static_cast<uint32_t>(c.time_limit);
  const int dropped = c.stored.drop_if([age, keep](row_data& row) {
    // Saturate: a row kept for decades must not wrap back to young.
    row.age = row.age > UINT32_MAX - age ? UINT32_MAX : row.age + age;
    return row.age >= keep;
  });
  if (dropped > 0) c.rows_changed = 1;
  return 0;
}

void delete_all(curs& c) {
  if (c.trace) PRINT('t', "pdr3000", "Deleting (%d) rows for cursor %s\n", c.stored.count(),
                     c.name.c_str());
  c.stored.clear();
  c.rows_changed = 1;
}

void place_value(char* field, std::size_t width, std::string_view value, bool numeric) {
  value = value.substr(0, std::min(value.find('\0'), value.size()));
  std::memset(field, ' ', width);
  if (numeric) {
    const std::size_t end = value.find_last_not_of(' ');
    if (end == std::string_view::npos) return;
    value = value.substr(0, end + 1);
    const std::size_t n = std::min(value.size(), width);
    std::memcpy(field + width - n, value.data() + value.size() - n, n);
    return;
  }
  if (!value.empty()) std::memcpy(field, value.data(), std::min(value.size(), width));
}

void proded(int row_number, const char* data, std::size_t length) {
  if (row_number <= kFullDumpRows) {
    PRINT('t', "cat1610", "Dump of row %d\n", row_number);
    u_print_dumpx("cat1610", data, length);
    return;
  }
  const std::string shown =
      u_printable(std::string_view(data, std::min(length, kAbbreviatedBytes)), 'p');
  PRINT('t', "cat1609", "Abbrv dump of row %d. %.80s\n", row_number, shown.c_str());
}

void dump_rows(const curs& c) {
  int number = 0;
  for (const row_data* row = c.stored.first(); row; row = row->next)
    proded(++number, row->data(), c.row_length);
}

}  // namespace qrx
