#include "monitor/procedures.h"

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <span>
#include <string>

#include "base/log.h"
#include "base/text.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "exits/fetch_exit.h"
#include "expr/context.h"
#include "expr/interpreter.h"
#include "expr/memory_chain.h"
#include "expr/select.h"

namespace qrx {

namespace {

// The trimmed text of `col` in `row`.
std::string column_text(const columns& col, const row_data* row) {
  std::string_view v(row->data() + col.stored_offset, static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0)));
  while (!v.empty() && (v.back() == ' ' || v.back() == '\0')) v.remove_suffix(1);
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  return std::string(v);
}

// A number from a column's text; false when it is none.
bool to_number(const std::string& text, double& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text.c_str(), &end);
  return errno == 0 && end && *end == '\0';
}

// Which SYSMON rows a counter sums: GROUPNAME like `group`, FLDNAME like
// one of `names` and not like `except`.
struct Where {
  std::string group;
  std::vector<std::string> names;
  std::string except;
};

// The WHERE text that selects `w`'s SYSMON rows. The group, which may come
// from another cursor's row, is the declared variable "counter_group", never
// part of the text; the field names are this file's own constants.
std::string where_text(const Where& w) {
  std::string text = "GROUPNAME LIKE counter_group AND (";
  for (std::size_t i = 0; i < w.names.size(); ++i)
    text += (i ? " OR FLDNAME LIKE '" : "FLDNAME LIKE '") + w.names[i] + "'";
  text += ")";
  if (!w.except.empty()) text += " AND (NOT (FLDNAME LIKE '" + w.except + "'))";
  return text;
}

// SUM(FLDVALUE) of the SYSMON rows `w` selects, by the internal select: 0,
// 1 (no SYSMON, its columns, or a value that is no number) or 100 (no row).
int sum_sysmon(ProcedureEnv& env, const Where& w, double& sum) {
  const curs* c = env.lookup("SYSMON");
  if (!c || !find_column(*c, "GROUPNAME") || !find_column(*c, "FLDNAME") ||
      !find_column(*c, "FLDVALUE"))
    return 1;
  env.counter_group = w.group;
  if (declare_C_var(env.cx, "counter_group", kSelectText, &env.counter_group) != 0) return 1;
  // No "has no data" warning of the select's own.
  if (current_row_from(*c, c->stored.first()) == nullptr) return 100;
  double total = 0;
  const int rc = perform_select(env.cx, "SUM(FLDVALUE)", "SYSMON", &total,
                                where_text(w).c_str(), kSelectDouble);
  if (rc == 0) sum = total;
  return rc;
}

// One procedure run: its message family and the figures shared by its lines.
struct Run {
  ProcedureEnv& env;
  std::string code;  // four letters, upper case
  double interval = 1;
  double xacts = 1;
  std::string id(const char* number) const { return code + number; }
};

// Reads counter `short_name` into `out` by the common rules; false after
// logging a failure (the run fails).
bool counter(const Run& run, const char* short_name, const Where& w, double& out,
             const char* ids[3]) {
  const int rc = sum_sysmon(run.env, w, out);
  if (rc == 0) return true;
  if (rc == 1) {
    PRINT('e', run.id(ids[0]).c_str(), "Bad return from cursor SYSMON\n");
    return false;
  }
  if (rc == 100) {
    PRINT('w', run.id(ids[1]).c_str(), "No rows in cursor SYSMON to get a FLDVALUE for %s: assuming 1\n",
          short_name);
    out = 1;
    return true;
  }
  // The collector goes on: only this cursor's run fails.
  PRINT('e', run.id(ids[2]).c_str(), "Corrupted: quitting\n");
  return false;
}

const char* kXactIds[3] = {"0030", "0040", "0050"};
const char* kCounterIds[3] = {"0150", "0160", "0170"};

bool read(const Run& run, const char* short_name, const Where& w, double& out) {
  return counter(run, short_name, w, out, kCounterIds);
}

// Interval (wrapped past midnight) and transactions of `run`.
bool common_figures(Run& run) {
  double xacts = 0;
  if (!counter(run, "xacts", Where{"access", {"xacts"}, ""}, xacts, kXactIds)) return false;
  run.xacts = xacts == 0 ? 1 : xacts;
  const curs* xmbv = run.env.lookup("XMBV");
  const row_data* row = xmbv ? xmbv->stored.last() : nullptr;
  const columns* stop = xmbv ? find_column(*xmbv, "STOPTIME") : nullptr;
  double stop_v = 0, start_v = 0;
  if (!stop || !row || !to_number(column_text(*stop, row), stop_v)) {
    PRINT('e', run.id("0100").c_str(), "Can't get column XMBV.STOPTIME\n");
    return false;
  }
  const columns* start = find_column(*xmbv, "STARTTIME");
  if (!start || !to_number(column_text(*start, row), start_v)) {
    PRINT('e', run.id("0110").c_str(), "Can't get column XMBV.STARTTIME\n");
    return false;
  }
  run.interval = stop_v - start_v;
  if (run.interval < 1) run.interval += 86400;
  return true;
}

double at_least_1(double v) { return v == 0 ? 1 : v; }

// A line blank-filled to the result width.
std::string blank_filled(std::string line) {
  if (line.size() < kResultLineWidth) line.resize(kResultLineWidth, ' ');
  return line;
}

// The figures of a cache line after its name; with "\t%.30s" before them
// they make the line of one data cache.
constexpr const char* kCacheFigures =
    "\t\t%5.1f\t\t%5.1f\t\t%7d\t\t%5.1f\t\t%5.1f\t\t%7d\t\t%5.1f\t\t%5.1f\t\t%5.1f\t\t%7d\t\t%5.1f\t\t%5.1f\t\t%5.1f\t\t%7d\t\t%5.1f\t\t%5.1f\t\t%5.1f\t\t%7d\t\t%5.1f\t\t%5.1f\t\t%5.1f\t\t%7d\t\t%5.1f\t\t%5.1f\t\t%5.1f\t\t%7d\t\t%5.1f\t\t%5.1f\t\t%5.1f\t\t%7d\t\t%5.1f\t\t%5.1f\t\t%7d\t\t%5.1f\t";

// The figures of the caches whose counter group is like `group`;
// `grab_total` is the running total of large-I/O grabs of this call.
std::optional<std::string> cache_figures(const Run& run, const std::string& group, double& grab_total) {
  auto w = [&](std::vector<std::string> names, std::string except = "") {
    return Where{group, std::move(names), std::move(except)};
  };
  double searches, hits, lru, mru, requests, done, grabs, refs, tot2, hit2;
  if (!read(run, "read", w({"bufsearch_calls"}), searches) || !read(run, "hit", w({"bufsearch_finds"}), hits) ||
      !read(run, "hit3", w({"bufunkeep_lru"}), lru) || !read(run, "hit4", w({"bufunkeep_mru"}), mru) ||
      !read(run, "tot4", w({"prefetch_req"}), requests) ||
      !read(run, "hit5", w({"prefetch_as_requested", "prefetch_page_realigned"}), done) ||
      !read(run, "tot5", w({"bufgrab_%"}, "bufgrab_2k"), grabs) ||
      !read(run, "hit6", w({"bufgrab_ref_%K"}, "bufgrab_ref_2K"), refs) ||
      !read(run, "tot2", w({"bufgrab_%k"}), tot2) || !read(run, "hit2", w({"bufgrab_dirty_%"}), hit2))
    return std::nullopt;
  const double misses = searches - hits;
  searches = at_least_1(searches);
  const double unkeeps = at_least_1(lru + mru);
  const double denied = requests - done;
  requests = at_least_1(requests);
  grab_total = at_least_1(grab_total + grabs);
  const double s = run.interval, x = run.xacts;
  char buf[kResultLineWidth + 1];
  std::snprintf(buf, sizeof buf, kCacheFigures,  //
                searches / s, searches / x, static_cast<int>(searches),            //
                hits / s, hits / x, static_cast<int>(hits), hits * 100 / searches,  //
                misses / s, misses / x, static_cast<int>(misses), misses * 100 / searches,
                lru / s, lru / x, static_cast<int>(lru), lru * 100 / unkeeps,  //
                mru / s, mru / x, static_cast<int>(mru), mru * 100 / unkeeps,  //
                done / s, done / x, static_cast<int>(done), done * 100 / requests,
                denied / s, denied / x, static_cast<int>(denied), denied * 100 / requests,
                grabs / s, grabs / x, static_cast<int>(grab_total),  //
                refs / s, refs / x, static_cast<int>(refs), refs * 100 / grab_total);
  return std::string(buf);
}

std::optional<ResultLines> cacd_proc(ProcedureEnv& env) {
  Run run{env, "CACD"};
  if (!common_figures(run)) return std::nullopt;
  curs* map = run.env.lookup("CACHEMAP");
  if (!map) {
    PRINT('e', run.id("0120").c_str(), "Cursor CACHEMAP not found \n");
    return std::nullopt;
  }
  ResultLines lines;
  if (current_row_from(*map, map->stored.first()) == nullptr) return lines;
  const columns* cn = find_column(*map, "CACHENAME");
  if (!cn) {
    PRINT('e', run.id("0135").c_str(), "Can't get column CACHEMAP.CACHENAME\n");
    return std::nullopt;
  }
  const columns* bn = find_column(*map, "BUFFERNAME");
  if (!bn) {
    PRINT('e', run.id("0140").c_str(), "Can't get column CACHEMAP.BUFFERNAME\n");
    return std::nullopt;
  }
  double grab_total = 0;
  for (const row_data* r = current_row_from(*map, map->stored.first()); r;
       r = current_row_from(*map, r->next)) {
    const std::optional<std::string> figures = cache_figures(run, column_text(*bn, r), grab_total);
    if (!figures) return std::nullopt;
    char name[40];
    std::snprintf(name, sizeof name, "\t%.30s", column_text(*cn, r).c_str());
    chain_internal_res(blank_filled(name + *figures), lines);
  }
  return lines;
}

// The figures of XMBCACD over every cache, without a name.
std::optional<ResultLines> cacs_proc(ProcedureEnv& env) {
  Run run{env, "CACS"};
  if (!common_figures(run)) return std::nullopt;
  double grab_total = 0;
  const std::optional<std::string> figures = cache_figures(run, "buffer_%", grab_total);
  if (!figures) return std::nullopt;
  ResultLines lines;
  chain_internal_res(blank_filled(*figures), lines);
  return lines;
}

// Lock summary: requests (granted and waited) per second, per transaction
// and count; waited count and percent of requests; deadlocks; promotions
// to exclusive and shared table locks.
std::optional<ResultLines> lcks_proc(ProcedureEnv& env) {
  Run run{env, "LCKS"};
  if (!common_figures(run)) return std::nullopt;
  double granted, waited, deadlocks, ex, sh;
  if (!read(run, "granted", Where{"lock", {"granted_%"}, ""}, granted) ||
      !read(run, "waited", Where{"lock", {"waited_%"}, ""}, waited) ||
      !read(run, "deadlock", Where{"lock", {"deadlock_%"}, ""}, deadlocks) ||
      !read(run, "promoted_EX_TAB", Where{"lock", {"promoted_EX_TAB"}, ""}, ex) ||
      !read(run, "promoted_SH_TAB", Where{"lock", {"promoted_SH_TAB"}, ""}, sh))
    return std::nullopt;
  const double requests = granted + waited;
  char buf[kResultLineWidth + 1];
  std::snprintf(buf, sizeof buf, "\t%.1f\t%.1f\t%d\t%d\t%.1f\t%d\t%d\t%d\t", requests / run.interval,
                requests / run.xacts, static_cast<int>(requests), static_cast<int>(waited),
                waited * 100 / at_least_1(requests), static_cast<int>(deadlocks), static_cast<int>(ex),
                static_cast<int>(sh));
  ResultLines lines;
  chain_internal_res(blank_filled(buf), lines);
  return lines;
}

// Log summary: seven counts, no interval or transaction figures.
std::optional<ResultLines> logs_proc(ProcedureEnv& env) {
  Run run{env, "LOGS"};
  double maxused, writes, allocations, logrecs, flushes, calls, granted, waited;
  if (!read(run, "plc_maxused", Where{"xls", {"plc_maxused"}, ""}, maxused) ||
      !read(run, "log_page_writes", Where{"buffer_%", {"log_page_writes"}, ""}, writes) ||
      !read(run, "log_page_allocations", Where{"access", {"log_page_allocations"}, ""}, allocations) ||
      !read(run, "plc_logrecs", Where{"xls", {"plc_logrecs"}, ""}, logrecs) ||
      !read(run, "plc_flush", Where{"xls", {"plc_flush_%"}, ""}, flushes) ||
      !read(run, "plc_lock_calls", Where{"xls", {"plc_lock_calls"}, ""}, calls) ||
      !read(run, "log_lock_granted", Where{"xls", {"log_lock_granted"}, ""}, granted) ||
      !read(run, "log_lock_waited", Where{"xls", {"log_lock_waited"}, ""}, waited))
    return std::nullopt;
  char buf[kResultLineWidth + 1];
  std::snprintf(buf, sizeof buf, "\t%8d\t\t%8d\t\t%8d\t\t%8d\t\t%8d\t\t%8d\t\t%8d\t", static_cast<int>(maxused),
                static_cast<int>(writes), static_cast<int>(allocations), static_cast<int>(logrecs),
                static_cast<int>(flushes), static_cast<int>(calls), static_cast<int>(granted + waited));
  ResultLines lines;
  chain_internal_res(blank_filled(buf), lines);
  return lines;
}

// One row per device of SYSDEV: device and system name; reads, writes and
// their sum, each per second, per transaction, count and percent of the
// I/O of all disks; cache hits and misses of the device.
std::optional<ResultLines> devd_proc(ProcedureEnv& env) {
  Run run{env, "DEVD"};
  if (!common_figures(run)) return std::nullopt;
  double all = 0;
  if (!read(run, "total_io", Where{"disk_%", {"total_reads", "total_writes"}, ""}, all)) return std::nullopt;
  all = at_least_1(all);
  curs* dev = run.env.lookup("SYSDEV");
  if (!dev) {
    PRINT('e', run.id("0120").c_str(), "Cursor SYSDEV not found \n");
    return std::nullopt;
  }
  const char* const kColumns[] = {"DEVNAME", "OSNAME", "DISKMON"};
  const char* const kIds[] = {"0135", "0140", "0145"};
  const columns* cols[3];
  for (int i = 0; i < 3; ++i) {
    cols[i] = find_column(*dev, kColumns[i]);
    if (!cols[i]) {
      PRINT('e', run.id(kIds[i]).c_str(), "Can't get column SYSDEV.%s\n", kColumns[i]);
      return std::nullopt;
    }
  }
  ResultLines lines;
  for (const row_data* r = current_row_from(*dev, dev->stored.first()); r;
       r = current_row_from(*dev, r->next)) {
    const std::string group = column_text(*cols[2], r);
    double reads, writes, hits, misses;
    if (!read(run, "total_reads", Where{group, {"total_reads"}, ""}, reads) ||
        !read(run, "total_writes", Where{group, {"total_writes"}, ""}, writes) ||
        !read(run, "p_hits", Where{group, {"p_hits"}, ""}, hits) ||
        !read(run, "p_misses", Where{group, {"p_misses"}, ""}, misses))
      return std::nullopt;
    std::string line = "\t" + column_text(*cols[0], r) + "\t" + column_text(*cols[1], r);
    for (const double v : {reads, writes, reads + writes}) {
      char buf[128];
      std::snprintf(buf, sizeof buf, "\t%.1f\t%.1f\t%d\t%.1f", v / run.interval, v / run.xacts,
                    static_cast<int>(v), v * 100 / all);
      line += buf;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "\t%d\t%d\t", static_cast<int>(hits), static_cast<int>(misses));
    chain_internal_res(blank_filled(line + buf), lines);
  }
  return lines;
}

// The engine counters each engine line and the summary give.
constexpr const char* kEngineCounters[] = {
    "engine_sleeps",       "context_switches", "max_outstanding_AIOs_engine", "total_dpoll_completed_aios",
    "no_packets_received", "no_bytes_received", "no_packets_sent",            "no_bytes_sent"};
constexpr int kEngineProbes = 100;

// Busy percent of `cpu` ticks in `clock` ticks; a zero clock is taken as 1.
double busy(const Run& run, const char* cursor, double cpu, double clock) {
  if (clock == 0) {
    PRINT('w', run.id("0230").c_str(),
          "In cursor %s there is an attempt to divide by tck1=0: the quotient is assumed to be 1.\n", cursor);
    clock = 1;
  }
  return cpu * 100 / clock;
}

// Counters of the engine groups like `group`: clock and cpu ticks, then kEngineCounters.
bool engine_counters(const Run& run, const std::string& group, double (&v)[10]) {
  if (!read(run, "clock_ticks", Where{group, {"clock_ticks"}, ""}, v[0]) ||
      !read(run, "cpu_ticks", Where{group, {"cpu_ticks"}, ""}, v[1]))
    return false;
  for (int i = 0; i < 8; ++i)
    if (!read(run, kEngineCounters[i], Where{group, {kEngineCounters[i]}, ""}, v[2 + i])) return false;
  return true;
}

// NUMENG of SYSCCONF, or nothing after its message.
std::optional<int> engine_count(const Run& run) {
  const curs* conf = run.env.lookup("SYSCCONF");
  const columns* col = conf ? find_column(*conf, "NUMENG") : nullptr;
  const row_data* row = conf ? conf->stored.last() : nullptr;
  double n = 0;
  if (!col || !row || !to_number(column_text(*col, row), n)) {
    PRINT('e', run.id("0120").c_str(), "Can't get column SYSCCONF.NUMENG\n");
    return std::nullopt;
  }
  return static_cast<int>(n);
}

// One row per engine: number, connections, busy percent, then for each
// engine counter per second, count and percent of all engines.
std::optional<ResultLines> engd_proc(ProcedureEnv& env) {
  Run run{env, "ENGD"};
  if (!common_figures(run)) return std::nullopt;
  const std::optional<int> wanted = engine_count(run);
  if (!wanted) return std::nullopt;
  double totals[10];
  if (!engine_counters(run, "engine_%", totals)) return std::nullopt;
  const curs* info = run.env.lookup("ENGINFO");
  const columns* number = info ? find_column(*info, "EngineNumber") : nullptr;
  const columns* connections = info ? find_column(*info, "Connections") : nullptr;
  if (!number || !connections) {
    PRINT('e', run.id("0140").c_str(), "Can't get column ENGINFO.%s\n", number ? "Connections" : "EngineNumber");
    return std::nullopt;
  }
  if (*wanted > kEngineProbes)
    PRINT('t', run.id("0200").c_str(),
          "Stopped selecting data for cursor XMBENGD since number of engines > 100\n");
  ResultLines lines;
  int found = 0;
  for (int n = 0; n < kEngineProbes && found < *wanted; ++n) {
    const row_data* row = nullptr;
    for (const row_data* r = current_row_from(*info, info->stored.first()); r && !row;
           r = current_row_from(*info, r->next)) {
      double v = 0;
      if (to_number(column_text(*number, r), v) && v == n) row = r;
    }
    if (!row) continue;
    ++found;
    double v[10];
    if (!engine_counters(run, "engine_" + std::to_string(n), v)) return std::nullopt;
    char buf[kResultLineWidth + 1];
    int at = std::snprintf(buf, sizeof buf, "\t%d\t%s\t%.1f", n, column_text(*connections, row).c_str(),
                           busy(run, "XMBENGD", v[1], v[0]));
    for (int i = 2; i < 10 && at > 0 && static_cast<std::size_t>(at) < sizeof buf; ++i)
      at += std::snprintf(buf + at, sizeof buf - static_cast<std::size_t>(at), "\t%.1f\t%d\t%.1f",
                          v[i] / run.interval, static_cast<int>(v[i]), v[i] * 100 / at_least_1(totals[i]));
    chain_internal_res(blank_filled(std::string(buf) + "\t"), lines);
  }
  if (found < *wanted && *wanted <= kEngineProbes)
    PRINT('t', run.id("0210").c_str(),
          "Stopped selecting data for cursor XMBENGD. Found only %i engines within first 100, wanted %i.\n", found,
          *wanted);
  return lines;
}

// One line over all engines: engine count, busy percent, then for each
// engine counter per second, per transaction and count.
std::optional<ResultLines> engs_proc(ProcedureEnv& env) {
  Run run{env, "ENGS"};
  if (!common_figures(run)) return std::nullopt;
  const std::optional<int> engines = engine_count(run);
  if (!engines) return std::nullopt;
  double v[10];
  if (!engine_counters(run, "engine_%", v)) return std::nullopt;
  char buf[kResultLineWidth + 1];
  int at = std::snprintf(buf, sizeof buf, "\t%d\t%.1f", *engines, busy(run, "XMBENGS", v[1], v[0]));
  for (int i = 2; i < 10 && at > 0 && static_cast<std::size_t>(at) < sizeof buf; ++i)
    at += std::snprintf(buf + at, sizeof buf - static_cast<std::size_t>(at), "\t%.1f\t%.1f\t%d",
                        v[i] / run.interval, v[i] / run.xacts, static_cast<int>(v[i]));
  ResultLines lines;
  chain_internal_res(blank_filled(std::string(buf) + "\t"), lines);
  return lines;
}

// Procedures of labelled lines: "\tLABEL\tPER_S\tPER_X\tCOUNT\tPERCENT\t",
// each line a sum (and difference) of counters, its percentage of a sum of
// counters (0 taken as 1; no total: the percentage is 0).
struct Counter {
  const char* short_name;  // in the no-row warning
  const char* group;       // GROUPNAME LIKE pattern
  const char* fldname;     // FLDNAME LIKE pattern
};
// Sets of counters as bits of their indexes in the procedure's counters
// (a procedure reads at most 32 counters).
using CounterSet = uint32_t;
constexpr std::size_t kMaxCounters = 32;
constexpr CounterSet of(std::initializer_list<int> indexes) {
  CounterSet set = 0;
  for (int i : indexes) set |= CounterSet{1} << i;
  return set;
}
struct Item {
  const char* label;
  CounterSet plus;
  CounterSet minus;
  CounterSet total;  // the total of the percentage; none: the percentage is 0
};

template <std::size_t N>
std::optional<ResultLines> labelled_proc(ProcedureEnv& env, const char* code,
                                         const Counter (&counters)[N],
                                         std::span<const Item> items) {
  static_assert(N <= kMaxCounters, "a counter set holds at most 32 counters");
  Run run{env, code};
  if (!common_figures(run)) return std::nullopt;
  std::vector<double> values(N);
  for (std::size_t i = 0; i < N; ++i)
    if (!read(run, counters[i].short_name, Where{counters[i].group, {counters[i].fldname}, ""}, values[i]))
      return std::nullopt;
  auto sum = [&](CounterSet which) {
    double v = 0;
    for (std::size_t k = 0; k < N; ++k)
      if (which & (CounterSet{1} << k)) v += values[k];
    return v;
  };
  ResultLines lines;
  for (const Item& item : items) {
    const double count = sum(item.plus) - sum(item.minus);
    const double percent = item.total == 0 ? 0 : count * 100 / at_least_1(sum(item.total));
    char buf[kResultLineWidth + 1];
    std::snprintf(buf, sizeof buf, "\t%s\t%.1f\t%.1f\t%d\t%.1f\t", item.label, count / run.interval,
                  count / run.xacts, static_cast<int>(count), percent);
    chain_internal_res(blank_filled(buf), lines);
  }
  return lines;
}

std::optional<ResultLines> sqld_proc(ProcedureEnv& env) {
  enum { kNc, kC, kDef, kInpl, kNotinpl, kExp, kDel, kDelDef };
  static constexpr Counter kCounters[] = {
      {"ncinsert", "access", "ncinsert"},
      {"cinsert", "access", "cinsert"},
      {"deferred_update", "access", "deferred_update"},
      {"direct_inplace_update", "access", "direct_inplace_update"},
      {"direct_notinplace_update", "access", "direct_notinplace_update"},
      {"direct_expensive_update", "access", "direct_expensive_update"},
      {"delete", "access", "delete"},
      {"delete_deferred", "access", "delete_deferred"}};
  constexpr CounterSet kAll = of({kNc, kC, kDef, kInpl, kNotinpl, kExp, kDel, kDelDef});
  static constexpr Item kItems[] = {
      {"Total SQL Activity", kAll, 0, kAll},
      {"Inserted Total", of({kNc, kC}), 0, kAll},
      {"Updated Total", of({kDef, kInpl, kNotinpl, kExp}), 0, kAll},
      {"Deleted Total", of({kDel, kDelDef}), 0, kAll},
      {"Inserted Heap Table", of({kNc}), 0, kAll},
      {"Inserted Clustered Table", of({kC}), 0, kAll},
      {"Updated Deferred", of({kDef}), 0, kAll},
      {"Updated Direct In-place", of({kInpl}), 0, kAll},
      {"Updated Direct Cheap", of({kNotinpl}), 0, kAll},
      {"Deleted Deferred", of({kDelDef}), 0, kAll},
      {"Deleted Direct", of({kDel}), 0, kAll}};
  return labelled_proc(env, "SQLD", kCounters, kItems);
}

// Lock requests per lock type (granted plus waited), as percent of all.
std::optional<ResultLines> lckd_proc(ProcedureEnv& env) {
  // The totals, then granted and waited of each lock type.
#define LOCK_TYPE(t) {"granted_" t, "lock", "granted_" t}, {"waited_" t, "lock", "waited_" t}
  static constexpr Counter kCounters[] = {
      {"granted", "lock", "granted_%"}, {"waited", "lock", "waited_%"},
      LOCK_TYPE("EX_TAB"),  LOCK_TYPE("SH_TAB"),  LOCK_TYPE("EX_INT"),  LOCK_TYPE("SH_INT"),
      LOCK_TYPE("EX_PAGE"), LOCK_TYPE("UP_PAGE"), LOCK_TYPE("SH_PAGE"), LOCK_TYPE("EX_ADDR"),
      LOCK_TYPE("SH_ADDR"), LOCK_TYPE("LAST_PG")};
#undef LOCK_TYPE
  constexpr CounterSet kAll = of({0, 1});
  static constexpr Item kItems[] = {
      {"EX-Table Requests", of({2, 3}), 0, kAll},     {"SH-Table Requests", of({4, 5}), 0, kAll},
      {"EX-Intent Requests", of({6, 7}), 0, kAll},    {"SH-Intent Requests", of({8, 9}), 0, kAll},
      {"EX-Page Requests", of({10, 11}), 0, kAll},    {"UP-Page Requests", of({12, 13}), 0, kAll},
      {"SH-Page Requests", of({14, 15}), 0, kAll},    {"EX-Address Requests", of({16, 17}), 0, kAll},
      {"SH-Address Requests", of({18, 19}), 0, kAll}, {"Last Pg Locks Total", of({20, 21}), 0, kAll}};
  return labelled_proc(env, "LCKD", kCounters, kItems);
}

// Log activity: private log cache flushes by cause, semaphore requests.
std::optional<ResultLines> logd_proc(ProcedureEnv& env) {
  enum { kFlush, kCalls, kWaits, kGranted, kWaited, kFull, kEnd, kChg, kSys, kOther };
  static constexpr Counter kCounters[] = {
      {"plc_flush", "xls", "plc_flush_%"},           {"plc_lock_calls", "xls", "plc_lock_calls"},
      {"plc_lock_waits", "xls", "plc_lock_waits"},   {"log_lock_granted", "xls", "log_lock_granted"},
      {"log_lock_waited", "xls", "log_lock_waited"}, {"plc_flush_full", "xls", "plc_flush_full"},
      {"plc_flush_endxact", "xls", "plc_flush_endxact"}, {"plc_flush_chgdb", "xls", "plc_flush_chgdb"},
      {"plc_flush_syslogrec", "xls", "plc_flush_syslogrec"}, {"plc_flush_other", "xls", "plc_flush_other"}};
  constexpr CounterSet kFlushes = of({kFlush}), kCallSet = of({kCalls});
  constexpr CounterSet kLogRequests = of({kGranted, kWaited});
  static constexpr Item kItems[] = {
      {"Total PLC Flushes", kFlushes, 0, kFlushes},
      {"Total PLC Semaphore Req", kCallSet, 0, kCallSet},
      {"Total Log Semaphore Req", kLogRequests, 0, kLogRequests},
      {"Flushes by Full PLC", of({kFull}), 0, kFlushes},
      {"Flushes by End Transaction", of({kEnd}), 0, kFlushes},
      {"Flushes by Change of Database", of({kChg}), 0, kFlushes},
      {"Flushes by System Log Record", of({kSys}), 0, kFlushes},
      {"Flushes by Other", of({kOther}), 0, kFlushes},
      {"Granted PLC Semaphore Req", kCallSet, of({kWaits}), kCallSet},
      {"Waited PLC Semaphore Req", of({kWaits}), 0, kCallSet},
      {"Granted Log Semaphore Req", of({kGranted}), 0, kLogRequests},
      {"Waited Log Semaphore Req", of({kWaited}), 0, kLogRequests}};
  return labelled_proc(env, "LOGD", kCounters, kItems);
}

// Task switches by cause, as percent of all context switches; "Other
// Causes" is what the named causes leave. `latches` gives the later form
// (latch and PLC lock contention, no SYSINDEXES lookups).
std::optional<ResultLines> task_switches(ProcedureEnv& env, const char* code, bool latches) {
  static constexpr Counter kCounters[] = {
      {"context_switches", "engine_%", "context_switches"},
      {"yields", "kernel", "yields"},
      {"bufread_waits", "buffer_%", "bufread_waits"},
      {"bufwrite_waits", "buffer_%", "bufwrite_waits"},
      {"bufstart_waits", "buffer_%", "bufstart_waits"},
      {"lock_waits", "lock", "lock_waits"},
      {"addr_lock_waits", "lock", "addr_lock_waits"},
      {"log_lock_waited", "xls", "log_lock_waited"},
      {"group_commit_sleeps", "xls", "group_commit_sleeps"},
      {"last_log_page_writes", "xls", "last_log_page_writes"},
      {"changing_state_waits", "access", "changing_state_waits"},
      {"p_misses", "disk_%", "p_misses"},
      {"packets_received", "network", "packets_received"},
      {"packets_sent", "network", "packets_sent"},
      {"sysind_bufguess", "access", "sysind_bufguess"},
      {"latch_waits", "lock", "waited_%_LATCH"},
      {"plc_lock_waits", "xls", "plc_lock_waits"}};
  static constexpr const char* kLabels[] = {
      "Voluntary Yields",        "Cache Search Misses",      "System Disk Writes",
      "I/O Pacing",              "Logical Lock Contention",  "Address Lock Contention",
      "Log Semaphore Contention", "Group Commit Sleeps",     "Last Log Page Writes",
      "Modify Conflicts",        "I/O Device Contention",    "Network Packet Received",
      "Network Packet Sent",     "SYSINDEXES Lookup",        "Latch Contention",
      "PLC Lock Contention"};
  constexpr CounterSet kSwitches = of({0});
  CounterSet causes = 0;
  std::vector<Item> items = {{"Total Task Switches", kSwitches, 0, kSwitches}};
  for (int i = 1; i <= 16; ++i) {
    if (latches ? i == 14 : i > 14) continue;
    causes |= of({i});
    items.push_back({kLabels[i - 1], of({i}), 0, kSwitches});
  }
  items.push_back({"Other Causes", kSwitches, causes, kSwitches});
  return labelled_proc(env, code, kCounters, items);
}

std::optional<ResultLines> tskd_proc(ProcedureEnv& env) {
  return task_switches(env, "TSKD", false);
}
std::optional<ResultLines> tsk2_proc(ProcedureEnv& env) {
  return task_switches(env, "TSK2", true);
}

}  // namespace

std::span<const ProcedureEntry> cur_func_tb() {
  static constexpr ProcedureEntry kTable[] = {
      {"XMBCACD", cacd_proc},
      {"XMBCACS", cacs_proc},
      {"XMBSDEVD", devd_proc},
      {"XMBENGD", engd_proc},
      {"XMBENGS", engs_proc},
      {"XMBLCKD", lckd_proc},
      {"XMBLCKS", lcks_proc},
      {"XMBLOGD", logd_proc},
      {"XMBLOGS", logs_proc},
      {"XMBSQLD", sqld_proc},
      {"XMBTSKD", tskd_proc},
      {"XMBTSK2", tsk2_proc},
  };
  return kTable;
}

void chain_internal_res(std::string_view text, ResultLines& chain) { chain.emplace_back(text); }

std::optional<ResultLines> smon_curs_driver(ExprContext& cx, const std::string& name,
                                            const CursorLookup& lookup) {
  if (trace_level(8) > 0)
    PRINT('t', "SMZB010", "cursor %s, len %d\n", name.c_str(), static_cast<int>(name.size()));
  for (const ProcedureEntry& e : cur_func_tb()) {
    if (name != e.name) continue;
    ProcedureEnv env{cx, lookup, {}};
    // The procedures share one select table, kept in the context from run
    // to run: the compiled texts are cached there and point at its terms, so
    // a variable such as "counter_group" is one term whichever procedure
    // compiled a text first. The table is not loose memory: were
    // free_loose_memory to free it, the cached texts would point at freed terms.
    // The select finds cursors as the procedures do.
    const ExprNames before = expr_names(cx);
    ExprNames names = before;
    names.find_cursor = [&env](std::string_view n) -> const curs* {
      return env.lookup(std::string(n));
    };
    set_expr_names(cx, names);
    start_exec_sql(cx, cx.procedure_table);
    std::optional<ResultLines> lines = e.proc(env);
    cleanup_select(cx);
    end_exec_sql(cx, &cx.procedure_table);
    unregister_memory(cx, cx.procedure_table);
    set_expr_names(cx, before);
    return lines;
  }
  PRINT('e', "SMON010", "Can't find a proc for cursor %s\n", name.c_str());
  return std::nullopt;
}

void install_monitor_procedures(ExprContext& cx, CursorLookup lookup) {
  script_procedure() = [&cx, lookup = std::move(lookup)](curs&, const std::string& parms) {
    return smon_curs_driver(cx, parms, lookup);
  };
}

}  // namespace qrx
