#include "collector/collection.h"

#include <cstdint>

#include "base/clock.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "base/time_text.h"
#include "base/trace.h"
#include "collector/scheduler.h"
#include "ctl/control_parse.h"
#include "exec/cursor_data.h"
#include "qrx/curs.h"
#include "qrx/distributor.h"
#include "session/database.h"

namespace qrx {
namespace {

constexpr int kCollectTrace = 5;  // bypass and loop-exit tracing

enum class Bypass { kNone, kHeld, kDemand, kClass, kWindow, kInterval };

bool class_switched_on(const Definitions& defs, const curs& c) {
  if (defs.collector_at == nullptr) return true;
  if (c.class_ < 0 || c.class_ > kMaxClass) return false;
  return defs.collector_at->classes[static_cast<size_t>(c.class_)] != 0;
}

// Decides whether `c` runs in the pass starting at `start`; lifts a hold that
// nothing keeps any more, so the cursor takes part from the next pass on.
Bypass bypass_reason(const Definitions& defs, curs& c, int32_t start) {
  if (c.hold == 'Y') {
    // Neither the definition nor a decode keeps the hold: it was a run-time hold.
    if (c.hold_active == 0 && c.hold_below == 0 && c.hold_named == 0) c.hold = 'N';
    return Bypass::kHeld;
  }
  if (c.demand) return Bypass::kDemand;
  if (!class_switched_on(defs, c)) return Bypass::kClass;
  if (c.window_close <= start) set_window_c(c, start);
  if (start < c.window_open) return Bypass::kWindow;
  if (start < c.next_time) return Bypass::kInterval;
  return Bypass::kNone;
}

void trace_bypass(const curs& c, Bypass why) {
  if (!c.trace || !trace_level(kCollectTrace)) return;
  switch (why) {
    case Bypass::kHeld: PRINT('t', "cgn1515", "Bypassing cursor %s, why = held\n", c.name.c_str()); break;
    case Bypass::kDemand: PRINT('t', "cgn1516", "Bypassing cursor %s, why = demand\n", c.name.c_str()); break;
    case Bypass::kClass: PRINT('t', "cgn1517", "Bypassing cursor %s, why = class\n", c.name.c_str()); break;
    case Bypass::kWindow: PRINT('t', "cgn1518", "Bypassing cursor %s, why = window\n", c.name.c_str()); break;
    case Bypass::kInterval:
      PRINT('t', "cgn1519", "Bypassing cursor %s, why = interval time\n", c.name.c_str());
      break;
    case Bypass::kNone: break;
  }
}

int commit(int mode) {
  ScheduleHooks& hooks = schedule_hooks();
  return hooks.commit_collect ? hooks.commit_collect(mode) : 0;
}

}  // namespace

int collect(Definitions& defs) {
  const std::string start_text = get_time(the_clock().now());
  const int32_t start = relative_sec(start_text);
  int failures = 0;
  int ran = 0;
  for (const auto& cp : defs.cur_anchor) {
    if (go_home) break;
    if (db_info.state == kSessionRestart) {
      if (trace_level(kCollectTrace))
        PRINT('t', "cgn1514", "Exiting collection loop because of reDoInit\n");
      break;
    }
    curs& c = *cp;
    if (Bypass why = bypass_reason(defs, c, start); why != Bypass::kNone) {
      c.bypassed = 1;
      trace_bypass(c, why);
      continue;
    }
    c.next_time = start + c.interval;
    if (c.trace)
      PRINT('t', "cgn1520", "Interval collection at %s for %s\n", u_get_time(kTimeLocale).c_str(),
            c.name.c_str());
    c.last_time = start_text;
    if (int rc = get_cursor_data(start, c); rc != 0) {
      // While the database cannot be reached, its loss was told once.
      if (!database_unreachable()) {
        PRINT('e', "cgn1521", "Interval collection failed for cursor %s\n", c.name.c_str());
        if (!c.error_text.empty())
          PRINT('e', "cgn1534", "Cursor %s: %s\n", c.name.c_str(), c.error_text.c_str());
      }
      failures += rc;
    }
    ++ran;
    c.bypassed = 0;
  }
  if (go_home) return 1;

  const std::string end_text = get_time(the_clock().now());
  if (failures == 0) {
    for (const auto& c : defs.cur_anchor) {
      // A held cursor keeps the time of its last real run.
      if (!(c->hold == 'Y' && c->bypassed)) c->last_time = start_text;
      c->bypassed = 0;
    }
    if (ran > 0) commit(0);
  } else {
    commit(0);
  }
  if (defs.collector_at) {
    defs.collector_at->last_run = end_text;
    defs.collector_at->status = failures == 0 ? "GOOD" : "FAIL";
  }
  return failures;
}

}  // namespace qrx
