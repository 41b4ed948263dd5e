// Running one cursor's query: prepare, describe, choose a fetch length per
// column type, fetch row by row into the cursor's row buffer and hand each
// row to the row builder. The cursor owns its row buffer and indicators;
// the select descriptor lives for one run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "exec/cursor_run.h"
#include "exec/fetched_row.h"
#include "qrx/curs.h"
#include "sqlrt/sqlrt.h"

namespace qrx {

constexpr int kMaxSelectColumns = 60;
constexpr int MAX_COL_LEN = 384;  // longest fetch of a character column

// Builds a stored row through merge_text; the fetch's usual row sink.
int merge_fetched_row(curs& c, const fetched_row* row, const std::string& time);

// Where the fetch hands its results; unset members are skipped (an unset
// row sink accepts every row), but a cursor whose fetch exit has no runner fails.
struct FetchHooks {
  RowSink row = merge_fetched_row;
  // Runs a cursor's fetch exit instead of SQL; adds its rows to `rows_out`.
  std::function<int(curs& c, const std::string& time, int32_t& rows_out)> fetch_exit;
  // After a successful run that is not an iteration: loads, in-lists and
  // dummy rows for `rows` rows.
  std::function<void(curs& c, int32_t rows)> end_of_data = finish_run;
};

// The process-wide hooks.
FetchHooks& fetch_hooks();

// One run's select list: the prepared statement and its described columns.
struct SelectDescriptor {
  std::unique_ptr<sqlrt::Statement> statement;
  std::vector<sqlrt::ColumnDesc> columns;
};

// Closes the statement and forgets the columns.
void cleanup(SelectDescriptor& descriptor);

// Bytes fetched for a described column; 0 for a type that cannot be fetched.
int fetch_length(const sqlrt::ColumnDesc& column);

// Runs `c`'s query through the open session (the caller has connected).
// Returns 0 with `rows_out` increased by the rows fetched, 1 on a local
// failure (unsupported column type, a rejected row), or the SQL code.
int prep_l_fetch(curs& c, const std::string& time_text, int32_t& rows_out);

// Writes the names of `chain`'s cursors, separated by single blanks, into
// the zeroed `buffer`, stopping before it is full; -1 without a chain, else 0.
int get_cursor_name_list(std::span<char> buffer, const std::vector<std::unique_ptr<curs>>* chain);

}  // namespace qrx
