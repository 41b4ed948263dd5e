// One fetched row as the fetch hands it to the row builder: per select-list
// item its name, its bytes in the caller's row buffer, a NULL indicator and
// its type. Views only: the caller owns the buffer and keeps it alive for
// the call.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace qrx {

// One select-list item of a fetched row.
struct fetched_column {
  std::string_view name;   // described item name
  const char* data = nullptr;  // the value's bytes (not terminated)
  int length = 0;          // bytes of the value at `data`
  int fetch_length = 0;    // width the item was fetched with (its described length)
  int16_t indicator = 0;   // negative: the value is a database NULL
  int type = 1;            // original type code (1 character, 2 number, ...)
  bool numeric = false;    // a number: stored right-aligned
};

// One fetched row: its items in select-list order.
using fetched_row = std::span<const fetched_column>;

}  // namespace qrx
