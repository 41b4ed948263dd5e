// The operate-window record shared by cursors and distributors: one span of
// a day during which a schedule may run. Owned by the list that holds it.
#pragma once

#include <cstdint>
#include <vector>

namespace qrx {

// An operate window in seconds after midnight; an end below the start has
// had 86 400 added so that the window runs past midnight.
struct o_ptr {
  int32_t start = 0;
  int32_t end = 0;
};

// The windows of one day-of-week list, in statement order.
using WindowList = std::vector<o_ptr>;

// The window of a day that has none declared.
inline constexpr o_ptr full_day{0, 86400};

}  // namespace qrx
