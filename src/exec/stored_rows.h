// A cursor's stored rows: adding rows with their sample number and ordinal,
// the row limit, pruning by samples and deleting all, and row dumps. The
// rows belong to the cursor's chain (`curs::stored`).
#pragma once

#include <cstdint>
#include <string_view>

#include "qrx/curs.h"

namespace qrx {

// Links `row` (from row_chain::allocate) as the cursor's newest row with its
// current sample number and the next ordinal of that sample; drops the oldest
// rows beyond the row limit and sets rows-changed and history-due. The cursor
// owns the row.
void link_row(curs& c, row_data* row);

// The ordinal the cursor's next linked row gets: one past the newest row's
// when that row belongs to the current sample, else 1.
int32_t next_row_ordinal(const curs& c);

// Appends a copy of `data` as the cursor's newest row with its current sample
// number and the next ordinal of that sample; `data_length` goes to the row
// header. Drops the oldest rows beyond the row limit and sets rows-changed.
// Returns the new row (owned by the cursor).
row_data* add_stored_row(curs& c, std::string_view data, uint32_t data_length = 0);

// Keeps only the rows of the last `samples` samples (sample number greater
// than current - samples); sets rows-changed when rows went.
void delete_by_samples(curs& c);

// Ages every stored row by the larger of the cursor's and the collector
// distributor's interval and frees the rows whose age reached the keep time
// (`time_limit`, seconds); sets rows-changed when rows went. Returns 0.
int delete_by_time(curs& c);

// Frees every stored row of the cursor and sets rows-changed.
void delete_all(curs& c);

// Writes `value` (up to its first zero byte) into the `width`-byte field:
// right-aligned without trailing blanks for numbers, left-aligned otherwise;
// blank-padded, cut to the width.
void place_value(char* field, std::size_t width, std::string_view value, bool numeric);

// Logs one stored row: a full dump for rows 1 to 4, else the first 80
// printable characters of at most 199 bytes.
void proded(int row_number, const char* data, std::size_t length);

// Logs every stored row of the cursor (the show-row dump).
void dump_rows(const curs& c);

// Bytes of the blocks of stored rows that are mappings of their own, outside
// the heap (headers, rows and room not yet used); for measurements.
std::size_t mapped_row_block_bytes();

// Bytes of emptied mapped blocks kept for reuse, beyond mapped_row_block_bytes.
std::size_t pooled_row_block_bytes();

// Returns to the system the emptied blocks that no run has reused since the
// previous call; the collection calls it once per collection, so a result
// of steady size reuses its blocks and a one-time large one is let go.
void trim_row_blocks();

}  // namespace qrx
