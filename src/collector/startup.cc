#include "collector/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "agent/comm_entry.h"
#include "agent/evaluator.h"
#include "agent/nrqs.h"
#include "agent/request_service.h"
#include "base/command_line.h"
#include "base/control_files.h"
#include "base/env_vars.h"
#include "base/files.h"
#include "base/log.h"
#include "base/memory.h"
#include "base/settings.h"
#include "base/signals.h"
#include "base/stack_limit.h"
#include "base/text.h"
#include "base/trace.h"
#include "collector/collection.h"
#include "collector/exit_path.h"
#include "collector/reload.h"
#include "collector/scheduler.h"
#include "ctl/control_parse.h"
#include "ctl/load_parser.h"
#include "ctl/versions.h"
#include "exec/age_to.h"
#include "exec/bases.h"
#include "exec/column_exits.h"
#include "exec/cursor_links.h"
#include "exec/decode.h"
#include "exec/dynamic_fetch.h"
#include "exec/in_lists.h"
#include "exec/loads.h"
#include "exec/maths.h"
#include "exec/percent_cursor.h"
#include "exec/version_tuning.h"
#include "exec/virtuals.h"
#include "exits/child_process.h"
#include "exits/fetch_exit.h"
#include "expr/context.h"
#include "monitor/procedures.h"
#include "qrx/distributor.h"
#include "session/database.h"

namespace qrx {
namespace {

// Settings as the environment listing shows them, in its order.
constexpr struct {
  const char* label;
  std::string EnvVars::*field;
} kListed[] = {
    {"coll_home", &EnvVars::coll_home},     {"ctl_home", &EnvVars::ctl_home},
    {"bin_home", &EnvVars::bin_home},       {"coll_out", &EnvVars::coll_out},
    {"tmpdir", &EnvVars::tmpdir},           {"localtmpdir", &EnvVars::localtmpdir},
    {"hostname", &EnvVars::hostname},       {"hostlogonid", &EnvVars::hostlogonid},
    {"serverid", &EnvVars::serverid},       {"logonid", &EnvVars::logonid},
    {"db_version", &EnvVars::db_version},   {"db_type", &EnvVars::db_type},
    {"db_home", &EnvVars::db_home},         {"errorlog", &EnvVars::errorlog},
};

// Settings that the control files may name as dictionary parameters.
constexpr struct {
  const char* name;
  std::string EnvVars::*field;
} kSettingParms[] = {
    {"rdbms", &EnvVars::serverid},      {"errlog", &EnvVars::errorlog},
    {"logonid", &EnvVars::logonid},     {"dbhome", &EnvVars::db_home},
    {"dbversion", &EnvVars::db_version}, {"dbtype", &EnvVars::db_type},
    {"password", &EnvVars::password},
};

// Settings the collector cannot start without, and what sets each.
constexpr struct {
  const char* label;
  std::string EnvVars::*field;
  const char* set_by;
} kRequired[] = {
    {"server id", &EnvVars::serverid, "COLL_SERVERID, -rdbms or the collector process's server_id"},
    {"host name", &EnvVars::hostname, "COLL_HOSTNAME (uname -n gave nothing)"},
    {"logon id", &EnvVars::logonid,
     "COLL_LOGON, COLL_LOGONID, -logonid or the collector process's logon_id"},
    {"database type", &EnvVars::db_type, "COLL_VERSION or -dbtype"},
};

void list_environment() {
  PRINT('i', "cml1526", "Environment Setting:\n");
  for (const auto& row : kListed) {
    const std::string& value = env_vars.*row.field;
    if (!value.empty()) PRINT('i', "cml1527", "\t %s=%s\n", row.label, value.c_str());
  }
}

}  // namespace

void apply_logon_defaults(Definitions& defs) {
  distributor* const collector = defs.collector_at;
  if (collector == nullptr) return;
  const std::pair<std::string*, std::string*> shared[] = {
      {&env_vars.logonid, &collector->logon_id},
      {&env_vars.password, &collector->password},
      {&env_vars.serverid, &collector->server_id},
  };
  for (auto [setting, own] : shared) {
    if (setting->empty())
      *setting = *own;
    else
      *own = *setting;
  }
}

void fill_machine_id(const Definitions& defs) {
  // A machine identity named in PROCESS.CTL stands for the host name.
  if (!defs.machine_id_from_control)
    u_str2chr(env_vars.hostname, machine_id.hostname, sizeof machine_id.hostname);
  u_str2chr(env_vars.serverid, machine_id.serverid, sizeof machine_id.serverid);
  u_str2chr("", machine_id.spare, sizeof machine_id.spare);
}

int check_required_settings(bool logon_needed) {
  const auto missing = [logon_needed](const auto& row) {
    return (env_vars.*row.field).empty() && (logon_needed || row.field != &EnvVars::logonid);
  };
  if (std::none_of(std::begin(kRequired), std::end(kRequired), missing)) return 0;
  PRINT('s', "cml1528", "Missing required environment variables.\n");
  for (const auto& row : kRequired)
    if (missing(row)) PRINT('s', "cml1529", "  %s: set %s\n", row.label, row.set_by);
  return 1;
}

void register_setting_parms() {
  for (const auto& row : kSettingParms) {
    const std::string& value = env_vars.*row.field;
    if (!value.empty()) add_dict_parm(row.name, value);
  }
}

int init_cursors(Definitions& defs) {
  // The start-up passes in the order they build on each other; the first
  // failure ends start-up.
  const std::function<int()> passes[] = {
      [&defs] { return parse_curs(defs); },
      [&defs] { return create_percent_cursor(defs); },
      [&defs] { return init_virtuals(defs); },
      [&defs] { return define_vers_chain(defs); },
      [&defs] { return edit_age_to(defs); },
      [&defs] { return edit_decode(defs); },
      [&defs] { return edit_pre_cursors(defs); },
      [&defs] { return edit_in_lists(defs); },
      [&defs] { return edit_bases(defs); },
      [&defs] { return edit_col_exits(defs); },
      [&defs] { return edit_iterates(defs); },
      [&defs] { return edit_math(defs); },
      [&defs] { return edit_iterate_where(defs); },
      [&defs] { return parse_loads(defs); },
      [&defs] { return edit_loads(defs); },
      [&defs] { return set_qualifieds(defs); },
  };
  install_expr_names(defs.expr, defs);
  install_monitor_procedures(defs.expr, [&defs](const std::string& name) { return defs.find_cursor(name); });
  for (const auto& pass : passes) {
    if (pass() != 0) {
      defs.del_curs();
      return kParseFailureCode;
    }
  }
  return 0;
}

void install_hooks(DefinitionsInUse& in_use) {
  // Each hook looks the definitions up when called: a reload replaces them.
  ScheduleHooks& hooks = schedule_hooks();
  hooks.collect = [&in_use] { return collect(*in_use.defs); };
  hooks.tune_up_cursor_versions = [&in_use] {
    tune_up_cursor_versions(*in_use.defs, last_version_update_time);
  };
  hooks.do_history = [&in_use](const std::string& now) { return do_history(*in_use.defs, now); };
  hooks.do_evaluator = [&in_use](const std::string& now, distributor& d) {
    return do_evaluator(*in_use.defs, now, d);
  };
  hooks.do_rqs = [&in_use] { return do_rqs(*in_use.defs); };
  hooks.do_nrqs = [&in_use](distributor& d, const std::string& now) {
    return do_nrqs(*in_use.defs, d, now);
  };
  hooks.wait_for_request = wait_for_request_or_sleep;
  hooks.reload = [&in_use] { return reload_definitions(in_use); };
  fetch_hooks().fetch_exit = run_cursor_fetch_exit;
  hooks.request_waiting = request_waiting;
  ShutdownHooks& shut = shutdown_hooks();
  shut.terminate_channel = terminate_request_channel;
  shut.end_database = end_session;
  shut.send_shut = send_shut;
  shut.delete_cursors = [&in_use] {
    if (in_use.defs) in_use.defs->del_curs();
  };
}

int check_hooks() {
  const std::vector<std::string> missing = missing_schedule_hooks();
  for (const std::string& name : missing)
    PRINT('s', "cml1533", "Cannot start collecting: no %s is installed\n", name.c_str());
  return missing.empty() ? 0 : 1;
}

namespace {

constexpr char kUsage[] =
    "usage: qrxcoll [options]          run the collector (normally as a service)\n"
    "       qrxcoll --check [options]  read every control file, run the start-up passes,\n"
    "                                  print the faults with their locations and exit\n"
    "       qrxcoll --help             print this text\n"
    "\n"
    "options (each also a COLL_* variable; abbreviations in docs/operations.md):\n"
    "  -rdbms SERVER      server id (COLL_SERVERID), names the database\n"
    "  -dbtype TYPE       database type (COLL_VERSION), prefix of the control files\n"
    "  -logonid USER      logon id (COLL_LOGON); the password comes from COLL_PASSWORD\n"
    "  -logsdir DIR       collector home and output directory (COLL_HOME, COLL_OUT)\n"
    "  -ctldir DIR        control-file directory (COLL_CTL_HOME)\n"
    "  -tempdir DIR       temporary directory of the agent channel (COLL_PREFIX)\n"
    "  -ltempdir DIR      local temporary directory (COLL_PREFIX_LOCAL)\n"
    "  -d, -v             tracing, option echo (with --check: every notice too);\n"
    "                     -version  module versions\n"
    "  @FILE, -filein FILE  more options from FILE\n"
    "\n"
    "other settings: COLL_DB_DRIVER (sqlite or odbc), COLL_QUERY_TIMEOUT, COLL_USESHM,\n"
    "COLL_DEBUG, COLL_HISTORY_ROTATE_SIZE, COLL_HISTORY_KEEP,\n"
    "COLL_ENV_FILE (read again by a reload).\n"
    "SIGHUP reads the control files again and takes them when sound; SIGTERM stops.\n"
    "The message log is <output directory>/<host>_<type>_<server>_col.out, with\n"
    "numbered backups; errors are echoed to standard error.\n";

// Takes "--help" and "--check" out of the argument words.
struct Mode {
  bool help = false;
  bool check = false;
  bool verbose = false;  // "-v", which stays for the option echo
};
Mode take_mode(int& argc, char** argv) {
  Mode mode;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--help") {
      mode.help = true;
    } else if (word == "--check") {
      mode.check = true;
    } else {
      if (word == "-v") mode.verbose = true;
      argv[kept++] = argv[i];
    }
  }
  argv[kept] = nullptr;
  argc = kept;
  return mode;
}

}  // namespace

int build_definitions(Definitions& defs, Building building) {
  if (init_dist(defs) != 0) return kExitProcessCtl;
  apply_logon_defaults(defs);
  fill_machine_id(defs);
  set_disable_cursors();
  if (trace_all) list_environment();
  // Checking the files needs no logon: none is made.
  if (check_required_settings(building != Building::kCheck) != 0) return kExitSettings;
  register_setting_parms();
  if (parse_dict(defs) != 0) return kExitDictCtl;
  if (init_cursors(defs) != 0) return kExitCollectCtl;
  // A faulty trace file is only reported; the file is optional, and only
  // start-up reports its absence.
  if (building == Building::kStart || !find_input_file("trac").empty()) parse_trace(defs);
  if (defs.have_evaluator && init_eval(defs) != 0) return kExitEvalCtl;
  return 0;
}

namespace {

// Held for the life of the process: a second collector for the same server
// and temporary directory finds it locked.
int collector_lock = -1;

// 0 when each temporary directory that exists may hold this collector's lock
// and channel files (owned by this user, not open to others' writes); else
// logs why and returns 1. Makes nothing: one that does not exist yet is made
// later as this user's.
int check_temporary_directories() {
  const std::string& tmpdir = env_vars.tmpdir;
  for (const std::string& dir : {tmpdir, channel_uses_pipes() ? env_vars.localtmpdir : ""}) {
    if (dir.empty()) continue;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 && errno == ENOENT) continue;
    if (check_private_directory(dir.c_str()) != 0) {
      PRINT('s', "cml1538", "Temporary directory %s cannot hold the agent channel\n", dir.c_str());
      return 1;
    }
  }
  return 0;
}

// 0 once this process holds the collector lock; else logs why to standard
// error and returns kExitChannel (a temporary directory refused, checked
// before anything is made in it) or kExitRunning (naming the running
// collector, or the lock cannot be made).
int lock_collector() {
  const std::string dir = env_vars.tmpdir.empty() ? "/tmp" : env_vars.tmpdir;
  std::FILE* const saved = stder;
  stder = stderr;  // the running collector's log must not be rotated
  if (check_temporary_directories() != 0) {
    stder = saved;
    return kExitChannel;
  }
  ::mkdir(dir.c_str(), 0770);  // as the channel makes it
  const std::string path = dir + "/" + env_vars.serverid + "_" + env_vars.db_type + "_" +
                           env_vars.hostname + "-coll";
  int rc = kExitRunning;
  const int fd = open_owned_file(path.c_str(), O_RDWR | O_CREAT, 0600);
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fd < 0) {
    PRINT('s', "cml1537", "Cannot open the collector lock %s: %s\n", path.c_str(), std::strerror(errno));
  } else if (fcntl(fd, F_SETLK, &whole) != 0) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
    PRINT('s', "cml1536", "Another collector (pid %ld) is running for server %s with temporary directory %s\n",
          pid, env_vars.serverid.c_str(), dir.c_str());
    ::close(fd);
  } else {
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size())) {
      collector_lock = fd;
      rc = 0;
    } else {
      PRINT('s', "cml1537", "Cannot open the collector lock %s: %s\n", path.c_str(), std::strerror(errno));
      ::close(fd);
    }
  }
  stder = saved;
  return rc;
}

// --check: the definitions only, their faults and warnings on standard error
// (with `verbose`, every notice too); no database, no channel, no log file.
int check_definitions(bool verbose) {
  stder = stderr;
  set_quiet_notices(!verbose);
  Definitions defs;
  int status = build_definitions(defs, Building::kCheck);
  // A condition naming what no cursor has would fail at every pass.
  if (status == 0 && edit_conditions(defs) != 0) status = kExitCollectCtl;
  set_quiet_notices(false);
  stder = nullptr;
  if (status == 0)
    std::printf("qrxcoll --check: the control files are good\n");
  else
    std::printf("qrxcoll --check: the control files have faults (exit status %d)\n", status);
  return status;
}

}  // namespace

int collector_main(int argc, char** argv) {
  const Mode mode = take_mode(argc, argv);
  if (mode.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  install_new_handler();
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");  // numbers in files and rows always use "."
  parse_argv(argc, argv);
  // Every reload starts again from what the command line gave.
  DefinitionsInUse in_use;
  DDB_getenv(argc, argv, &in_use.command_line);
  in_use.command_line_parms = saved_dict_parms();
  in_use.start_trace = saved_trace_state();
  // `ps` shows the words without the password.
  const int scrubbed = scrub_command_line_password();
  if (mode.check) return check_definitions(mode.verbose);
  if (int status = lock_collector(); status != 0) return status;
  init_PRINT();
  if (scrubbed > 0)
    PRINT('w', "cml1535",
          "A password given on the command line can be seen by other users while the "
          "collector starts; set COLL_PASSWORD in the environment file instead\n");
  adjust_stack_limit(system_stack_limit());
  become_child_reaper();
  std::atexit(my_atexit);
  // The definitions live here, for the life of the process; a reload replaces them.
  in_use.defs = std::make_unique<Definitions>();
  if (int status = build_definitions(*in_use.defs); status != 0) quit_with_status(status);
  install_hooks(in_use);
  if (check_hooks() != 0) quit_with_status(kExitHooks);
  set_signal(1);
  PRINT('a', "cml1530", "Start collecting. -------------------------------\n");
  if (stder) std::fflush(stder);
  schedule(*in_use.defs);
  return 0;
}

}  // namespace qrx
