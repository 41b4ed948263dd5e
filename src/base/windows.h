// Time windows: when a distributor may run, by day of the week, holidays and
// its window lists. Works in relative seconds (see relative_time.h).
#pragma once

#include <cstdint>
#include <span>

#include "qrx/distributor.h"

namespace qrx {

// The current or next window of one schedule at or after `now`; both ends
// are INT32_MAX (never due) when no window exists within 400 days.
struct WindowSpan {
  int32_t start;
  int32_t end;
};
WindowSpan next_window(const WindowList& saturday, const WindowList& sunday,
                       const WindowList& mon_fri, std::span<const int32_t> holidays,
                       int32_t now);

// Sets the distributor's window_start and window_end to its current or next window.
void set_window(distributor& d, int32_t now);

}  // namespace qrx
