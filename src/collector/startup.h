// The collector's start-up sequence: command line and environment into the
// settings record, the message log, the control files in their fixed order,
// signal handling, then the scheduler.
#pragma once

#include "collector/reload.h"
#include "ctl/definitions.h"

namespace qrx {

// Runs start-up and the scheduler; returns the process exit status.
int collector_main(int argc, char** argv);

// Parses COLLECT.CTL (against `defs`' dictionary and distributors) and runs
// the start-up editing passes; 0 on success, else deletes every cursor and
// returns kParseFailureCode.
int init_cursors(Definitions& defs);

// Why definitions are built: for start-up; for a reload (the process runs on
// other definitions already, and an absent trace file, which start-up
// reported, is not reported again); or to check the files (--check), which
// needs no logon setting and reports no absent trace file (it is optional).
enum class Building { kStart, kReload, kCheck };

// Builds every definition from the control files into `defs`, with the
// settings the environment gives (the collector distributor's logon, the
// machine identity, the dictionary parameters); 0, or the exit status of the
// first failure (each failure is logged with its location).
int build_definitions(Definitions& defs, Building building = Building::kStart);

// Connects the collection pass, the historian, the evaluator, the request
// server, the reload and the channel's and session's ends to the scheduler
// and the exit path; the hooks keep `in_use`, which must outlive them, and
// reach the definitions it holds at each call.
void install_hooks(DefinitionsInUse& in_use);

// Logs "cml1533" for each required scheduler hook that is missing and
// returns 1; else returns 0.
int check_hooks();

// Settings and the collector distributor share logon id, password and server
// id: an empty setting takes the distributor's value, else the setting wins.
void apply_logon_defaults(Definitions& defs);

// Fills machine_id from hostname (unless `defs` names the machine) and
// serverid, blank-padded.
void fill_machine_id(const Definitions& defs);

// 0 when serverid, hostname, logonid (unless not `logon_needed`) and db_type
// are all set; else logs "cml1528", then "cml1529" for each missing setting
// with what sets it, and returns 1.
int check_required_settings(bool logon_needed = true);

// Registers the present settings as dictionary parameters ("rdbms", ...).
void register_setting_parms();

}  // namespace qrx
