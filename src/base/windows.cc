#include "base/windows.h"

#include <algorithm>
#include <climits>

#include "base/relative_time.h"

namespace qrx {
namespace {

constexpr int32_t kSearchDays = 400;  // holidays fill at most 100 days

const WindowList& list_for(int weekday, const WindowList& saturday, const WindowList& sunday,
                           const WindowList& mon_fri) {
  return weekday == 0 ? saturday : weekday == 1 ? sunday : mon_fri;
}

}  // namespace

// A day's windows are tried in list order and the first that has not yet
// ended is taken, so a day with several windows uses each of them in turn.
// The search starts with yesterday: its window may run past midnight and
// still be open now.
WindowSpan next_window(const WindowList& saturday, const WindowList& sunday,
                       const WindowList& mon_fri, std::span<const int32_t> holidays,
                       int32_t now) {
  int32_t first_day = now / kSecondsPerDay - 1;
  for (int32_t day = first_day; day < first_day + kSearchDays; ++day) {
    if (day != 0 && std::find(holidays.begin(), holidays.end(), day) != holidays.end()) continue;
    int weekday = day_of_week(day);
    std::span<const o_ptr> list = list_for(weekday, saturday, sunday, mon_fri);
    if (list.empty()) list = std::span(&full_day, 1);
    if (weekday <= 1 && list.front().start == list.front().end) continue;
    int32_t base = day * kSecondsPerDay;
    for (const o_ptr& w : list) {
      if (base + w.end > now) return {base + w.start, base + w.end};
    }
  }
  return {INT32_MAX, INT32_MAX};
}

void set_window(distributor& d, int32_t now) {
  WindowSpan w = next_window(d.saturday, d.sunday, d.mon_fri, d.holidays, now);
  d.window_start = w.start;
  d.window_end = w.end;
}

}  // namespace qrx
