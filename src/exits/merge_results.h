// Merging a fetch exit's result rows into its cursor's stored rows, as
// fetched rows are merged: the result table stands in for the select list.
// Rows added belong to the cursor.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "exec/fetched_row.h"
#include "exits/result_tables.h"
#include "qrx/curs.h"

namespace qrx {

// The table's definitions as a select list for the row builder, each named
// as the cursor column that takes it (names compared without regard to
// case), with the values of `row` (null: no values). `names` keeps the
// names alive for the returned items.
std::vector<fetched_column> result_items(const curs& c, const DB_DATA& table, const ROW_DATA* row,
                                         std::vector<std::string>& names);

// Builds one stored row of `c` from result row `row` of `table` fetched at
// `time_stamp` (14 digits). Returns the stored data length, or 0 when no
// row was added (binding failures are logged and may hold the cursor).
int ccmr_mergeResults(curs& c, const DB_DATA& table, const ROW_DATA& row,
                      std::string_view time_stamp);

// Lays out the stored row of `c` for an exit run that returned nothing,
// from the table's definitions when given; 0.
int ccmr_setup_dummy(curs& c, const DB_DATA* table);

}  // namespace qrx
