// The evaluator distributor's turn: every evaluation of the evaluator file
// is checked against the rows its cursor holds, and the rows that satisfy it
// (or, with send_false, the row that stopped satisfying it) are written into
// the message log column by column. Only the evaluations' current and
// previous results live from run to run; the predicate list lives for one
// cursor's turn and belongs to the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qrx/curs.h"
#include "qrx/cursor_set.h"
#include "qrx/distributor.h"

namespace qrx {

// One entry of a cursor's predicate list: a copy of a stored row, or of the
// final (column-function or newest) row.
struct predicate {
  enum Kind : uint16_t { kRow = 1, kFinal = 2 };
  enum Reason : uint16_t { kNone = 0, kMaxRow = 1, kMinRow = 2, kTrue = 3, kTurnedFalse = 4 };
  uint16_t kind = kRow;
  uint16_t selected = 0;   // 1 when the entry is to be sent
  uint16_t reason = kNone;
  int32_t ordinal = 0;     // ordinal of the evaluation that selected it
  std::string data;        // the row's stored data
};

// Builds `list` from `c`'s rows (the current sample) and a final entry.
// 0, or 1 when the cursor has no rows to offer.
int get_predicate_rows(curs& c, std::vector<predicate>& list);

// 1 when `e`'s operator holds between `col`'s value in the stored row
// `data` (its high- or low-water mark once set) and `e`'s value, else 0.
int do_compare(const columns& col, const char* data, const e_ptr& e);

// One evaluator run over `cursors` at `now_text` for distributor `d`: 0, also when a
// cursor had no rows to evaluate (nothing failed); 1 when a row could not be
// written (that cursor's results then stay as they were, so that the same
// change is found again).
int do_evaluator(cursor_set& cursors, const std::string& now_text, distributor& d);

}  // namespace qrx
