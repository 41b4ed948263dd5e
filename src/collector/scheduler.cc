#include "collector/scheduler.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>

#include "agent/request_service.h"
#include "base/clock.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "base/signals.h"
#include "base/time_text.h"
#include "base/trace.h"
#include "base/windows.h"
#include "collector/exit_path.h"
#include "ctl/control_parse.h"
#include "exec/stored_rows.h"
#include "session/database.h"

namespace qrx {

std::string last_version_update_time;

namespace {

ScheduleHooks database_hooks() {
  ScheduleHooks hooks;
  hooks.session_open = [] { return db_info.open != 0; };
  hooks.commit_collect = [](int mode) { return commit_collect(mode); };
  return hooks;
}

}  // namespace

ScheduleHooks& schedule_hooks() {
  static ScheduleHooks hooks = database_hooks();
  return hooks;
}

std::vector<std::string> missing_schedule_hooks() {
  const ScheduleHooks& h = schedule_hooks();
  const std::pair<const char*, bool> required[] = {
      {"collect", bool(h.collect)},
      {"do_history", bool(h.do_history)},
      {"do_rqs", bool(h.do_rqs)},
      {"do_nrqs", bool(h.do_nrqs)},
      {"wait_for_request", bool(h.wait_for_request)},
      {"session_open", bool(h.session_open)},
      {"commit_collect", bool(h.commit_collect)},
  };
  std::vector<std::string> missing;
  for (const auto& [name, present] : required)
    if (!present) missing.push_back(name);
  return missing;
}

namespace {

constexpr int kSchedTrace = 8;   // loop tracing
constexpr int kSleepTrace = 4;   // sleep tracing
// After a served request the turn waits up to this long for the next one,
// never past another distributor's due time: a client asking back to back (a
// new probe process, a list of cursors) is served in the same turn instead of
// one request per due time of the request server.
constexpr int kBurstLingerMs = 500;

std::string now_text() { return get_time(the_clock().now()); }
int32_t now_seconds() { return relative_now(the_clock().now()); }

// Sleeps through the clock; what the turn logged reaches the file first, so
// that the log is current while the collector idles. A signal that came
// during the turn (a reload, a stop) is not kept waiting for the sleep.
void sleep_for(int32_t seconds) {
  if (stder) std::fflush(stder);
  if (signal_waiting()) return;
  the_clock().sleep_seconds(static_cast<unsigned>(seconds));
}

// A sleep that a request posted by the agent ends early once the request
// server may serve it (from relative second `serve_from` on).
void sleep_or_serve(int32_t seconds, int32_t serve_from) {
  ScheduleHooks& hooks = schedule_hooks();
  if (!hooks.wait_for_request) return sleep_for(seconds);
  if (stder) std::fflush(stder);
  hooks.wait_for_request(seconds, serve_from);
}

bool active(const distributor& d) { return (d.state & 1) != 0 && d.hold != 'Y'; }

// Trace lines carry the wall-clock time with microseconds.
void trace_clock(const char* id, const char* format) {
  if (!trace_level(kSchedTrace)) return;
  timespec ts{};
  timespec_get(&ts, TIME_UTC);
  PRINT('t', id, format, static_cast<unsigned long>(ts.tv_sec),
        static_cast<unsigned long>(ts.tv_nsec / 1000));
}

void trace_distributor(const char* id, const distributor& d, int32_t start) {
  if (!trace_level(kSchedTrace)) return;
  PRINT('t', id, "%s: state %d, window %d to %d, next time %d, start %d, clock %ld\n",
        d.distrib_name.c_str(), d.state, d.window_start, d.window_end, d.next_time, start,
        static_cast<long>(the_clock().now()));
}

void set_outcome(distributor& d, const std::string& now, int rc) {
  d.last_run = now;
  d.status = rc != 0 ? "FAIL" : "GOOD";
}

void quit(int code) {
  ScheduleHooks& hooks = schedule_hooks();
  if (hooks.quit)
    hooks.quit(code);
  else if (code == kChannelFailureCode)
    quit_with_status(kExitChannel);
  else
    quitting(code);
}

// Reads the definitions again: the new ones, or null when the loop goes on
// with those in use. The channel stays up; no request is taken meanwhile.
Definitions* reload() {
  ScheduleHooks& hooks = schedule_hooks();
  if (!hooks.reload) {
    PRINT('e', "cml1561", "Reload refused (%s): going on with the definitions in use\n",
          "no reload is installed");
    return nullptr;
  }
  return hooks.reload();
}

// A reload request (SIGHUP).
Definitions* reload_turn() {
  PRINT('a', "cgn1560", "Reload requested: checking the definitions\n");
  return reload();
}

// A restart request (a decode action): the session ends, so that the next
// pass logs on anew, and the definitions are read again, all within this
// process and with the channel up.
Definitions* restart() {
  PRINT('s', "cgn1522", "Restarting collector %s\n", u_get_time(kTimeLocale).c_str());
  ShutdownHooks& shut = shutdown_hooks();
  if (shut.end_database) shut.end_database();
  db_info.state = kSessionReleased;  // the request is taken
  return reload();
}

void collection_turn(Definitions& defs, int32_t start, const std::string& now) {
  distributor* c = defs.collector_at;
  if (!c) return;
  trace_distributor("cgn1527", *c, start);
  if (c->window_end <= start) set_window(*c, start);
  if (c->window_start > start || c->next_time > start || (c->state & 1) == 0) return;
  ScheduleHooks& hooks = schedule_hooks();
  last_version_update_time = now;
  trim_row_blocks();
  if (hooks.tune_up_cursor_versions) hooks.tune_up_cursor_versions();
  if ((!hooks.collect || hooks.collect() != 0) && !database_unreachable())
    PRINT('e', "cgn1525", "One or more interval cursors failed\n");
  c->next_time = start + c->interval;
}

// The earliest relative second at which a distributor other than `self` that
// may run falls due (the collection included); INT32_MAX when none.
int32_t next_other_due(const Definitions& defs, const distributor& self) {
  int32_t due = INT32_MAX;
  for (const auto& dp : defs.distrib_anchor) {
    const distributor& d = *dp;
    if (&d == &self) continue;
    const bool runs = &d == defs.collector_at ? (d.state & 1) != 0 : active(d);
    if (runs) due = std::min(due, std::max(d.next_time, d.window_start));
  }
  return due;
}

// Milliseconds of linger left before relative second `due`, at most kBurstLingerMs.
int linger_ms(int32_t due, int32_t now) {
  using namespace std::chrono;
  const auto since_second =
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() % 1000;
  const int64_t left = (int64_t{due} - now) * 1000 - since_second;
  return static_cast<int>(std::clamp<int64_t>(left, 0, kBurstLingerMs));
}

// Serves, after a served request, every further request that is waiting or
// follows within the linger, one after the other, until none comes or another
// distributor (the collection first of all) falls due.
void serve_burst(const Definitions& defs, distributor& d) {
  ScheduleHooks& hooks = schedule_hooks();
  if (!hooks.request_waiting || !hooks.do_rqs) return;
  while (!signal_waiting()) {
    const int32_t due = next_other_due(defs, d);
    const int32_t now = now_seconds();
    if (now >= due || !hooks.request_waiting(linger_ms(due, now))) return;
    const int rc = hooks.do_rqs();
    if (trace_level(kSchedTrace))
      PRINT('t', "cgn1533", "do_rqs returned. ret = %d (100 = NO_REQUEST)\n", rc);
    if (rc == kNoRequest) return;
    set_outcome(d, now_text(), rc < 0);
  }
}

// Serves requests until one is served (with those that follow it at once) or
// the collector is due; sleeps between polls. Returns true when a request was
// served.
bool request_loop(const Definitions& defs, distributor& d) {
  ScheduleHooks& hooks = schedule_hooks();
  for (;;) {
    int rc = hooks.do_rqs ? hooks.do_rqs() : -1;
    if (trace_level(kSchedTrace))
      PRINT('t', "cgn1533", "do_rqs returned. ret = %d (100 = NO_REQUEST)\n", rc);
    if (rc == kChannelFailureCode) {
      quit(kChannelFailureCode);
      return false;
    }
    if (signal_waiting()) return false;
    set_outcome(d, now_text(), rc < 0);
    if (rc == 0) {
      serve_burst(defs, d);
      return true;
    }
    int32_t collect_at = defs.collector_at ? defs.collector_at->next_time : 0;
    int32_t now2 = now_seconds();
    if (now2 >= collect_at) {
      if (trace_level(kSleepTrace))
        PRINT('t', "ZMS0003", "Go to collect at %d, collection time: %d\n", now2, collect_at);
      return false;
    }
    int32_t s = std::min(defs.sleep_time, collect_at - now2);
    if (trace_level(kSleepTrace))
      PRINT('t', "ZMS0001",
            "Go to sleep for %d sec at %d; %d sec remain(s) until next collection\n", s, now2,
            collect_at - now2);
    if (s > 0) sleep_or_serve(s, now2);
    if (trace_level(kSleepTrace))
      PRINT('t', "ZMS0002", "Get up time: %d, next collection time: %d\n", now2 + s, collect_at);
    if (signal_waiting()) return false;
    if (now2 + s == collect_at) {
      if (trace_level(kSleepTrace))
        PRINT('t', "ZMS0004", "Go to collect at %d, collection time: %d\n", now2 + s,
              collect_at);
      return false;
    }
  }
}

// Gives every other due distributor its turn; returns true when the request
// server served a request.
bool distributor_turns(Definitions& defs, int32_t start) {
  ScheduleHooks& hooks = schedule_hooks();
  bool served = false;
  for (auto& dp : defs.distrib_anchor) {
    if (go_home) break;
    distributor& d = *dp;
    trace_distributor("cgn1528", d, start);
    if (&d == defs.collector_at) continue;
    if (d.window_end <= start) set_window(d, start);
    if (d.window_start > start || d.next_time > start || !active(d)) continue;
    std::string now = now_text();
    const std::string& name = d.distrib_name;
    if (name == "historian") {
      set_outcome(d, now, hooks.do_history ? hooks.do_history(now) : 1);
    } else if (name == "evaluator") {
      set_outcome(d, now, hooks.do_evaluator ? hooks.do_evaluator(now, d) : 1);
    } else if (name == "nrqs") {
      set_outcome(d, now, hooks.do_nrqs ? hooks.do_nrqs(d, now) : 1);
    } else if (name == "rqs") {
      served = request_loop(defs, d) || served;
    } else {
      distribute(d, d.time_offset == 0 ? now : secs_to_date(relative_sec(now) + d.time_offset));
    }
    d.next_time = start + d.interval;
  }
  return served;
}

// The active "rqs" distributor, or null.
const distributor* request_server(const Definitions& defs) {
  for (const auto& dp : defs.distrib_anchor)
    if (dp->distrib_name == "rqs" && active(*dp)) return dp.get();
  return nullptr;
}

// The shutdown on a terminating signal, run by the loop once the handler has
// raised go_home: the channel's end, then the session's end. Nothing is in
// flight by now that a fixed wait would protect: a running query was
// cancelled and an exit stopped when the signal came, and the channel's end
// waits (bounded) for the agent to read the last reply before removing it.
void signal_shutdown(int sig) {
  PRINT('a', "cir5005", "Received interupt (%d). Quitting.\n", sig);
  ShutdownHooks& shut = shutdown_hooks();
  if (shut.terminate_channel && shut.terminate_channel() != 0)
    u_msg(nullptr, nullptr, 0, "ePt", "cir5008", "Error terminating RQS IPC environment");
  if (shut.end_database) shut.end_database();
  quit(0);
}

// Commits and ends the session, ends the channel and quits.
void exit_path() {
  ShutdownHooks& shut = shutdown_hooks();
  if (shut.end_database) shut.end_database();
  if (shut.terminate_channel && shut.terminate_channel() != 0)
    PRINT('e', "cgn1523", "Error terminating RQS IPC environment\n");
  PRINT('a', "cgn1524", "Quit request received. %s\n", u_get_time(kTimeLocale).c_str());
  quit(0);
}

}  // namespace

int32_t sleep_seconds_until_due(const Definitions& defs, int32_t now) {
  int32_t s = defs.sleep_time;
  for (auto& dp : defs.distrib_anchor) {
    const distributor& d = *dp;
    if (trace_level(kSchedTrace))
      PRINT('t', "cgn1530", "%s: state %d, window %d to %d, next time %d, now %d\n",
            d.distrib_name.c_str(), d.state, d.window_start, d.window_end, d.next_time, now);
    // A distributor that cannot run is due no sooner than its next time, and
    // one that waits for its window no sooner than the window: neither may
    // hold the sleep at 0 for hours.
    int32_t due = d.next_time;
    bool runs = &d == defs.collector_at ? (d.state & 1) != 0 : active(d);
    if (runs) {
      due = std::max(due, d.window_start);
    } else if (due <= now) {
      continue;
    }
    if (due <= now) {
      s = 0;
      break;
    }
    s = std::min(s, due - now);
    if (trace_level(kSchedTrace)) PRINT('t', "cgn1531", "Sleep so far %d sec\n", s);
  }
  return std::max(s, 0);
}

void schedule(Definitions& first) {
  ScheduleHooks& hooks = schedule_hooks();
  Definitions* in_use = &first;
  for (;;) {
    trace_clock("cgn1526", "schedule - top of while(TRUE) loop:time = %lu sec %lu microsec\n");
    bool served = false;
    std::string now = now_text();
    int32_t start = relative_sec(now);
    take_signals();
    if (go_home) break;
    if (take_reload_request())
      if (Definitions* taken = reload_turn()) in_use = taken;
    if (go_home) break;
    if (db_info.state == kSessionRestart)
      if (Definitions* taken = restart()) in_use = taken;
    // Nothing below keeps a reference into the definitions past this turn.
    Definitions& defs = *in_use;
    collection_turn(defs, start, now);
    served = distributor_turns(defs, start);
    trace_clock("cgn1529",
                "schedule - after d_ptr = distrib_anchor loop:time = %lu sec %lu microsec\n");
    int32_t now_s = now_seconds();
    int32_t s = sleep_seconds_until_due(defs, now_s);
    // A shutdown or reload request raised during the turn is not kept waiting.
    if (s > 0 && !signal_waiting()) {
      if (trace_level(kSleepTrace))
        PRINT('t', "cgn1532", "Go to sleep for %d sec at %d until next collection\n", s, now_s);
      const distributor* rqs = request_server(defs);
      if (rqs)
        sleep_or_serve(s, std::max(rqs->next_time, rqs->window_start));
      else
        sleep_for(s);
    }
    take_signals();
    if (go_home) continue;
    if (served && hooks.session_open && hooks.session_open() && hooks.commit_collect)
      hooks.commit_collect(defs.collector_at && defs.collector_at->continuous == 'Y' ? 0 : 1);
    if (reset_trace) reset_tracing(defs);
  }
  if (int sig = take_signals(); sig != 0)
    signal_shutdown(sig);
  else
    exit_path();
}

int distribute(const distributor& d, const std::string& time_text) {
  PRINT('i', "cir1625", "Dist for %s at %s\n", d.distrib_name.c_str(), time_text.c_str());
  return 0;
}

void show_curs(const cursor_set& cursors) {
  for (const auto& c : cursors.cur_anchor)
    PRINT('t', "cgn1540", "Cursor %s: interval %d, hold %c, demand %d, window %s to %s\n",
          c->name.c_str(), c->interval, c->hold ? c->hold : 'N', c->demand,
          secs_to_date(c->window_open).c_str(), secs_to_date(c->window_close).c_str());
}

}  // namespace qrx
