// The host-variable merge: completes a cursor's SQL text with values taken
// from other cursors' last rows ("[CURSOR.COLUMN", "[CURSOR.2", "[%NAME")
// and with other cursors' in-lists. The first merge cuts the text into
// segments kept on the cursor (`curs::hv_segments`); later merges replay
// them. A value only ever becomes data: inside a quoted text its quotes are
// doubled, in plain SQL it is a quoted text or a number. The caller owns the
// output text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "qrx/curs.h"

namespace qrx {

// Room for a completed SQL text, its terminating zero included: the same
// bound as a control-file statement.
constexpr std::size_t kSqlBufferSize = 16000;

// Writes `c`'s SQL text with every reference replaced by its value into
// `out`. Returns the length written, or 0 after logging why the merge failed
// (no SQL may run for this attempt): among the reasons, a value that is not
// a number where it would stand outside quotes, or that would end the quotes
// or comment it stands in. A failed first merge keeps no segments: the next
// call cuts the text afresh. A reference to an in-list its cursor never
// filled holds `c`.
std::size_t set_hvs_in_sel(curs& c, std::string& out);

// Replays the segments of an earlier complete merge into `out`; the length
// written, or 0 after logging.
std::size_t set_hvs_in_sel_2(curs& c, std::string& out);

// The in-list of `c` named `name` (its using name, else its column), or null.
in_list* in_list_by_name(curs& c, const std::string& name);

// Takes the column name at the start of `text` (up to a blank, a quote,
// "+", "-", "*", "/", ",", "(", ")" or the end) and advances `text` past it.
std::string extract_col_name(std::string_view& text);

}  // namespace qrx
