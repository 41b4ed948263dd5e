// The scheduler: the collector's one loop, which runs the collection pass and
// every other due distributor, sleeps until the earliest due time and leaves
// through the exit path. The work of other subsystems is reached through
// `schedule_hooks()`, whose members their owners set at start-up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ctl/definitions.h"
#include "qrx/distributor.h"

namespace qrx {

// The calls the loop makes into other subsystems. Start-up installs them and
// refuses to start when a required one is missing; should one be empty all
// the same, its turn fails (never a silent success).
struct ScheduleHooks {
  std::function<void()> tune_up_cursor_versions;       // before each collection pass
  std::function<int()> collect;                        // one collection pass; 0 = all good
  std::function<int(const std::string& now)> do_history;
  std::function<int(const std::string& now, distributor& d)> do_evaluator;
  std::function<int(distributor& d, const std::string& now)> do_nrqs;
  std::function<int()> do_rqs;                         // 0 served, 100 none, < 0 error
  // True when a request is waiting on the channel or arrives within
  // `milliseconds` (0: no wait). Empty: each "rqs" turn serves one request.
  std::function<bool(int milliseconds)> request_waiting;
  // Sleeps `seconds` but ends early once the agent has posted a request and
  // relative second `serve_from` has begun. Empty: the clock's plain sleep.
  std::function<void(int32_t seconds, int32_t serve_from)> wait_for_request;
  std::function<bool()> session_open;                  // default: db_info.open
  std::function<int(int mode)> commit_collect;         // default: commit_collect()
  // Reads the definitions again (SIGHUP, a restart request) and takes them
  // when sound: the definitions the loop goes on with, or null to go on with
  // those in use (the reason is logged). Empty: a reload is refused.
  std::function<Definitions*()> reload;
  // Ends the process (`quitting`). Tests install one that returns;
  // schedule() then returns after its exit path.
  std::function<void(int code)> quit;
};

// The process-wide hooks; start-up sets the members. The restart request is
// the session record's state kSessionRestart (database.h).
ScheduleHooks& schedule_hooks();

// Names of the required hooks that are empty: collect, do_history, do_rqs,
// do_nrqs, wait_for_request, session_open, commit_collect.
std::vector<std::string> missing_schedule_hooks();

// Now text of the last collection turn.
extern std::string last_version_update_time;

// The main loop over the distributors of `defs`, then of the definitions
// each reload hands it (from the top of a turn on, nothing refers to the old
// ones); returns only when the exit path's quit hook returns.
void schedule(Definitions& defs);

// Logs "cir1625" for a distributor without built-in behaviour; returns 0.
int distribute(const distributor& d, const std::string& time_text);

// Seconds the loop sleeps at relative second `now`: to the earliest due
// time of `defs`' distributors, 0 when one has passed, never more than
// `defs.sleep_time`.
int32_t sleep_seconds_until_due(const Definitions& defs, int32_t now);

// Trace listing of every cursor's schedule fields.
void show_curs(const cursor_set& cursors);

}  // namespace qrx
