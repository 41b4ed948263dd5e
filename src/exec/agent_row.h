// The agent row: the packed layout in which a cursor's stored rows leave
// the process. Integers and floats are binary (little-endian), timestamps
// normalised, texts shortened or widened, not-sent columns dropped.
#pragma once

#include <cstdint>

#include "qrx/curs.h"

namespace qrx {

// Pad that brings `offset` to a multiple of `alignment`.
constexpr uint32_t slk_bytes(uint32_t offset, uint32_t alignment) {
  return offset % alignment == 0 ? 0 : alignment - offset % alignment;
}

// Width of column `col` in the agent row.
uint32_t agent_width(const columns& col);

// Assigns every column's output offset and returns the agent row size (no
// padding after the last column). Clears the output length of binary columns.
uint32_t get_row_size(curs& c);

// Formats the stored row `stored` of `c` into `out`, which holds the cursor's
// row size in zeroed bytes (get_row_size must have run). Returns 0.
int make_row(curs& c, char* out, const char* stored);

}  // namespace qrx
