#include "runtime/startup.h"

#include <clocale>
#include <cstdlib>
#include <string>

#include "agent/request_service.h"
#include "ctl/control_parse.h"
#include "qrx/distributor.h"
#include "qrx/env_vars.h"
#include "runtime/command_line.h"
#include "runtime/control_files.h"
#include "runtime/exit_path.h"
#include "runtime/log.h"
#include "runtime/memory.h"
#include "runtime/scheduler.h"
#include "runtime/settings.h"
#include "runtime/signals.h"
#include "runtime/stack_limit.h"
#include "runtime/text.h"
#include "runtime/trace.h"

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

void list_environment() {
  PRINT('i', "cml1526", "Environment Setting:\n");
  for (const auto& row : kListed) {
    const std::string& value = env_vars.*row.field;
    if (!value.empty()) PRINT('i', "cml1527", "\t %s=%s\n", row.label, value.c_str());
  }
}

}  // namespace

void apply_logon_defaults() {
  if (collector_at == nullptr) return;
  const std::pair<std::string*, std::string*> shared[] = {
      {&env_vars.logonid, &collector_at->logon_id},
      {&env_vars.password, &collector_at->password},
      {&env_vars.serverid, &collector_at->server_id},
  };
  for (auto [setting, own] : shared) {
    if (setting->empty())
      *setting = *own;
    else
      *own = *setting;
  }
}

void fill_machine_id() {
  // A machine identity named in PROCESS.CTL stands for the host name.
  if (!machine_id_from_control)
    u_str2chr(env_vars.hostname, machine_id.hostname, sizeof machine_id.hostname);
  u_str2chr(env_vars.serverid, machine_id.serverid, sizeof machine_id.serverid);
  u_str2chr("", machine_id.spare, sizeof machine_id.spare);
}

int check_required_settings() {
  if (!env_vars.serverid.empty() && !env_vars.hostname.empty() && !env_vars.logonid.empty() &&
      !env_vars.db_type.empty())
    return 0;
  PRINT('s', "cml1528", "Missing required environment variables.\n");
  return 1;
}

void register_setting_parms() {
  for (const auto& row : kSettingParms) {
    const std::string& value = env_vars.*row.field;
    if (!value.empty()) add_dict_parm(row.name, value);
  }
}

int collector_main(int argc, char** argv) {
  install_new_handler();
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");  // numbers in files and rows always use "."
  parse_argv(argc, argv);
  DDB_getenv(argc, argv);
  init_PRINT();
  adjust_stack_limit(system_stack_limit());
  std::atexit(my_atexit);
  if (init_dist() != 0) quitting(kParseFailureCode);
  apply_logon_defaults();
  fill_machine_id();
  set_disable_cursors();
  if (trace_all) list_environment();
  if (check_required_settings() != 0) quitting(-1002);
  register_setting_parms();
  if (parse_dict() != 0) quitting(kControlFileFailureCode);
  if (init_cursors() != 0) quitting(kParseFailureCode);
  parse_trace();  // a faulty trace file is only reported
  if (have_evaluator && init_eval() != 0) quitting(kParseFailureCode);
  set_signal(1);
  PRINT('a', "cml1530", "Start collecting. -------------------------------\n");
  if (stder) std::fflush(stder);
  program_words.assign(argv, argv + argc);
  install_request_service();  // do_rqs, do_nrqs, the request wait and the channel's exit
  schedule();
  return 0;
}

}  // namespace qrx
