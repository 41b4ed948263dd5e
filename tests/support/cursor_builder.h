// In-memory cursors for tests and benchmarks that read stored rows without
// running any statement: columns laid end to end, rows of blank-padded text.
// The cursor owns what these add.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qrx/curs.h"

namespace qrx::testing {

// Appends a column of `width` bytes to `c` after the columns it has.
inline columns& append_column(curs& c, const std::string& name, int width, bool numeric) {
  auto col = std::make_unique<columns>();
  col->name = name;
  col->col_type = numeric ? kColNumeric : kColCharacter;
  col->stored_length = static_cast<int16_t>(width);
  col->stored_offset = static_cast<int32_t>(c.row_length);
  c.row_length += static_cast<uint32_t>(width);
  c.cols.push_back(std::move(col));
  return *c.cols.back();
}

// Appends a row whose first columns hold `values`, each cut or blank-padded
// to its column's width; returns the row. Rows are packed into the chain's
// blocks, as a cursor run stores them.
inline row_data* append_row(curs& c, const std::vector<std::string>& values) {
  row_data* row = c.stored.allocate_here(c.row_length);
  std::memset(row->data(), ' ', c.row_length);
  for (std::size_t i = 0; i < values.size() && i < c.cols.size(); ++i) {
    const columns& col = *c.cols[i];
    const std::size_t n = std::min(values[i].size(), static_cast<std::size_t>(col.stored_length));
    std::memcpy(row->data() + col.stored_offset, values[i].data(), n);
  }
  c.stored.append(row);
  return row;
}

}  // namespace qrx::testing
