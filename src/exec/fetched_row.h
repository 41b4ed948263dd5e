// One fetched row as the dynamic fetch hands it to the row builder: per
// select-list item its name, its bytes in the cursor's row buffer, a NULL
// indicator and its type. Views only: the fetch owns the buffers and keeps
// them alive for the call that receives the row.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace qrx {

struct curs;

// One select-list item as the row builder reads it.
struct fetched_column {
  std::string_view name;   // described item name
  const char* data = nullptr;  // the value's bytes (not terminated)
  int length = 0;          // bytes of the value at `data`
  int fetch_length = 0;    // width the item was fetched with (its described length)
  int16_t indicator = 0;   // negative: the value is a database NULL
  int type = 1;            // original type code (1 character, 2 number, ...)
  bool numeric = false;    // a number: stored right-aligned
};

// One fetched row for the row builder: its items in select-list order.
using fetched_row = std::span<const fetched_column>;

// Builds a stored row of `c` from `row` (null for a cursor without a select
// list) fetched at `time`; 0 when it failed.
using RowSink = std::function<int(curs& c, const fetched_row* row, const std::string& time)>;

}  // namespace qrx
