// One fetched row as the dynamic fetch hands it to the row builder: per
// select column its place in the cursor's row buffer and what the fetch
// learnt about it. Every view points into buffers the fetch owns; they are
// valid only during the call that receives the row.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace qrx {

struct curs;

// One select column of a fetched row.
struct FetchedColumn {
  std::string_view name;
  std::string_view text;  // the column's whole place (its fetch length); bytes after the value are zero
  int length = 0;         // returned length in bytes (the whole place for numbers)
  bool null = false;      // the database returned NULL
  int orig_type = 1;      // 1 character (also fixed character and raw), 2 number, 12 date
  bool right_justified = false;  // a number: the value ends the place, blanks before it
};

// One fetched row, columns in select order. A cursor without SQL hands an
// empty row.
struct FetchedRow {
  std::span<const FetchedColumn> columns;
  std::string_view buffer;  // the whole row buffer
};

// Builds a stored row of `c` from `row` fetched at `time`; 0 when it failed.
using RowSink = std::function<int(curs& c, const FetchedRow& row, const std::string& time)>;

}  // namespace qrx
