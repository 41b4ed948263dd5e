#include "collector/reload.h"

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/env_file.h"
#include "base/log.h"
#include "collector/exit_path.h"
#include "collector/startup.h"
#include "exec/version_tuning.h"
#include "exits/fetch_exit.h"
#include "session/database.h"

extern char** environ;

namespace qrx {
namespace {

// Settings that name the process's lock file, its channel and its message
// log, which are made once: a reload cannot change them.
constexpr struct {
  const char* variable;
  std::string EnvVars::*field;
} kIdentity[] = {
    {"COLL_SERVERID", &EnvVars::serverid},  {"COLL_VERSION", &EnvVars::db_type},
    {"COLL_HOSTNAME", &EnvVars::hostname},  {"COLL_PREFIX", &EnvVars::tmpdir},
    {"COLL_PREFIX_LOCAL", &EnvVars::localtmpdir}, {"COLL_HOME", &EnvVars::coll_home},
    {"COLL_OUT", &EnvVars::coll_out},       {"COLL_USESHM", &EnvVars::use_shm},
};

// Settings a logon is made with, besides the collector distributor's.
constexpr std::string EnvVars::*kLogonSettings[] = {
    &EnvVars::logonid, &EnvVars::password, &EnvVars::db_home, &EnvVars::db_version};
constexpr const char* kLogonVariables[] = {"COLL_DB_DRIVER", "COLL_CONNECT_TIMEOUT",
                                           "COLL_QUERY_TIMEOUT", "ODBCINI", "ODBCSYSINI"};

// The process's environment as NAME -> value.
std::map<std::string, std::string> environment_now() {
  std::map<std::string, std::string> out;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry = *e;
    const std::size_t equals = entry.find('=');
    if (equals != std::string_view::npos)
      out.emplace(entry.substr(0, equals), entry.substr(equals + 1));
  }
  return out;
}

// Everything a build of definitions writes outside them, taken before the
// build so that a refused reload can put it back.
struct ProcessSettings {
  EnvVars settings = env_vars;
  MachineId machine = machine_id;
  std::string disabled_cursors = coll_disable_cursors;
  std::vector<DictParm> parms = saved_dict_parms();
  TraceState trace = saved_trace_state();
  std::map<std::string, std::string> environment = environment_now();
  // Start-up points the script procedures at the definitions it builds.
  ScriptProcedure procedure = script_procedure();

  void restore() const {
    script_procedure() = procedure;
    env_vars = settings;
    machine_id = machine;
    coll_disable_cursors = disabled_cursors;
    restore_dict_parms(parms);
    restore_trace_state(trace);
    for (const auto& [name, value] : environment_now()) {
      const auto was = environment.find(name);
      if (was == environment.end())
        ::unsetenv(name.c_str());
      else if (was->second != value)
        ::setenv(name.c_str(), was->second.c_str(), 1);
    }
    for (const auto& [name, value] : environment)
      if (std::getenv(name.c_str()) == nullptr) ::setenv(name.c_str(), value.c_str(), 1);
  }
};

std::string variable(const std::map<std::string, std::string>& environment, const char* name) {
  const auto it = environment.find(name);
  return it == environment.end() ? std::string() : it->second;
}

// True when the next logon would be made differently from the last.
bool logon_changed(const ProcessSettings& before, const Definitions& old_defs,
                   const Definitions& new_defs) {
  for (const auto field : kLogonSettings)
    if (before.settings.*field != env_vars.*field) return true;
  const std::map<std::string, std::string> now = environment_now();
  for (const char* name : kLogonVariables)
    if (variable(before.environment, name) != variable(now, name)) return true;
  const distributor* a = old_defs.collector_at;
  const distributor* b = new_defs.collector_at;
  if (!a || !b) return a != b;
  return a->logon_id != b->logon_id || a->password != b->password || a->server_id != b->server_id;
}

int refuse(const std::string& reason) {
  PRINT('e', "cml1561", "Reload refused (%s): going on with the definitions in use\n",
        reason.c_str());
  return 1;
}

// Builds `fresh` under the environment file's settings laid over the
// process's environment, from the settings and dictionary parameters the
// command line gave; 0, or 1 after logging why (refuse).
int build_fresh(const DefinitionsInUse& in_use, const ProcessSettings& before, Definitions& fresh) {
  if (const char* path = std::getenv("COLL_ENV_FILE"); path && *path) {
    const std::optional<std::vector<EnvAssignment>> assignments = read_env_file(path);
    if (!assignments) return refuse(std::string("the environment file ") + path + " has faults");
    if (apply_env_assignments(*assignments) != 0)
      return refuse("the environment file's settings could not be set");
  }
  env_vars = in_use.command_line;
  restore_dict_parms(in_use.command_line_parms);
  restore_trace_state(in_use.start_trace);
  get_envs(env_vars);
  // Only what must be acted on reaches the log: the faults with their
  // locations, not the notices of a second start-up.
  set_quiet_notices(true);
  take_first_fault_location();
  int status = build_definitions(fresh, Building::kReload);
  // A condition naming what no cursor has would fail at every pass.
  if (status == 0 && edit_conditions(fresh) != 0) status = kExitCollectCtl;
  set_quiet_notices(false);
  if (status != 0) {
    const std::string where = take_first_fault_location();
    return refuse("the definitions have faults, exit status " + std::to_string(status) +
                  (where.empty() ? "" : ", the first at " + where));
  }
  for (const auto& row : kIdentity)
    if (before.settings.*row.field != env_vars.*row.field)
      return refuse(std::string("the setting ") + row.variable +
                    " changes: a restart is needed for that setting");
  return 0;
}

// Cursors whose layout or rows `c` takes from: its age_to partners and the
// cursors its qualified columns, bases, iterate, pre-cursors and column
// exits name.
std::vector<const curs*> cursors_named_by(const curs& c) {
  std::vector<const curs*> out{c.age_target, c.age_source};
  for (const auto& col : c.cols) out.push_back(col->source_cursor);
  for (const base& b : c.bases) out.push_back(b.cursor);
  if (c.iterator) out.push_back(c.iterator->cursor);
  for (const pre_cursor& p : c.pre_cursors) out.push_back(p.cursor);
  for (const col_exit_block& block : c.col_exits)
    for (const col_exit& e : block.exits) out.push_back(e.other_cursor);
  return out;
}

// Moves `from`'s rows and run state to `to`, which has the same definition.
// What start-up made for `to` (links to other cursors, bound values, the
// flags of iterated runs) stays; what points at other cursors of the old
// set (queued post-cursors, the cut SQL text) is made again by the next run.
void move_run_state(curs& from, curs& to) {
  static_cast<cursor_state&>(to) = std::move(static_cast<cursor_state&>(from));
  to.rows = from.rows;
  to.row_length = from.row_length;
  to.history_due = from.history_due;
  to.exit_table = std::move(from.exit_table);
  to.stored = std::move(from.stored);
  to.column_data = std::move(from.column_data);
  to.sample_no = from.sample_no;
  to.row_size = from.row_size;
  to.layout_fixed = from.layout_fixed;
  to.rows_changed = from.rows_changed;
  to.format_dumped = from.format_dumped;
  to.dummy_row = std::move(from.dummy_row);
  to.stale_time = from.stale_time;
  to.fetch_time = std::move(from.fetch_time);
  to.rows_this_run = from.rows_this_run;
  to.function_row = from.function_row;
  from.function_row = nullptr;
  for (std::size_t i = 0; i < to.cols.size(); ++i) {
    columns& n = *to.cols[i];
    const columns& o = *from.cols[i];
    static_cast<column_layout&>(n) = o;
    n.ordinal = o.ordinal;
    n.output_offset = o.output_offset;
    n.select_item = o.select_item;
    n.mark = o.mark;
  }
  for (std::size_t i = 0; i < to.in_lists.size(); ++i) {
    to.in_lists[i].list = from.in_lists[i].list;
    to.in_lists[i].built = from.in_lists[i].built;
  }
}

}  // namespace

int carry_over(Definitions& from, Definitions& to) {
  // New cursor -> the old cursor it continues.
  std::map<const curs*, curs*> kept;
  for (const auto& n : to.cur_anchor) {
    if (n.get() == to.percent_cursor || n->versions || n->source.empty()) continue;
    curs* o = from.find_cursor(n->name);
    if (o && o != from.percent_cursor && !o->versions && o->source == n->source &&
        o->cols.size() == n->cols.size() && o->in_lists.size() == n->in_lists.size())
      kept.emplace(n.get(), o);
  }
  // A cursor laid out after another keeps its rows only with that one's.
  for (bool dropped = true; dropped;) {
    dropped = false;
    for (auto it = kept.begin(); it != kept.end();) {
      bool alone = false;
      for (const curs* other : cursors_named_by(*it->first))
        alone = alone || (other && other != it->first && !kept.contains(other));
      if (alone) {
        it = kept.erase(it);
        dropped = true;
      } else {
        ++it;
      }
    }
  }
  for (const auto& [n, o] : kept) move_run_state(*o, *const_cast<curs*>(n));
  // Distributors go on with their windows and due times: a reload neither
  // runs nor skips one.
  for (const auto& d : to.distrib_anchor) {
    for (const auto& old : from.distrib_anchor) {
      if (old->distrib_name != d->distrib_name) continue;
      d->window_start = old->window_start;
      d->window_end = old->window_end;
      d->next_time = old->next_time;
      d->status = old->status;
      d->last_run = old->last_run;
      break;
    }
  }
  return static_cast<int>(kept.size());
}

Definitions* reload_definitions(DefinitionsInUse& in_use) {
  const ProcessSettings before;
  auto fresh = std::make_unique<Definitions>();
  if (build_fresh(in_use, before, *fresh) != 0) {
    fresh.reset();
    before.restore();
    return nullptr;
  }
  const bool renew = logon_changed(before, *in_use.defs, *fresh);
  const int kept = carry_over(*in_use.defs, *fresh);
  in_use.defs = std::move(fresh);
  if (renew)
    renew_logon();
  else
    lift_logon_stop();
  const Definitions& now = *in_use.defs;
  const int cursors = static_cast<int>(now.cur_anchor.size()) - (now.percent_cursor ? 1 : 0);
  PRINT('a', "cgn1561", "Definitions reloaded: %d cursors, %d kept their rows\n", cursors, kept);
  return in_use.defs.get();
}

}  // namespace qrx
