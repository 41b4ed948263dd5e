#include "exec/cursor_data.h"

#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "base/windows.h"
#include "ctl/control_parse.h"
#include "exec/cursor_run.h"
#include "qrx/distributor.h"

namespace qrx {
namespace {

void set_collector_status(curs& c, const std::string& time_text, const char* status) {
  if (c.collector == nullptr) return;
  c.collector->last_run = time_text;
  c.collector->status = status;
}

}  // namespace

int get_cursor_data(int32_t seconds, curs& c) {
  if (c.is_virtual) {
    // Its rows are the dictionary values: always current, always worth a record.
    c.rows_changed = 1;
    c.history_due = 1;
    c.rows = c.stored.count();
    const PreciseTime ended = precise_now();
    c.end_time = ended.seconds;
    c.end_time_us = ended.micros;
    c.last_run_failed = 0;
    return 0;
  }
  const std::string date_text = secs_to_date(seconds);
  c.error_text.clear();
  const int rc = pre_prep_l_fetch(c, date_text);
  c.last_run_failed = rc != 0;
  const std::time_t now = the_clock().now();
  const std::string now_text = get_time(now);
  if (rc != 0) {
    c.stale_time = 0;  // the next request refreshes again
    set_collector_status(c, now_text, "FAIL");
    return 1;
  }
  c.last_time = date_text;
  if (c.trace)
    PRINT('t', "cfe1645", "Time = %s, collected records in %d seconds\n",
          form_time(now_text).c_str(), relative_now(now) - seconds);
  set_collector_status(c, now_text, "GOOD");
  return 0;
}

void set_window_c(curs& c, int32_t now) {
  if (c.demand || c.hold == 'Y' || (c.once && c.rows > 0)) return;
  WindowSpan w = next_window(c.windows[kSaturday], c.windows[kSunday], c.windows[kMonFri], {},
                             now);
  c.window_open = w.start;
  c.window_close = w.end;
}

}  // namespace qrx
