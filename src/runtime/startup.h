// The collector's start-up sequence: command line and environment into the
// settings record, the message log, the control files in their fixed order,
// signal handling, then the scheduler.
#pragma once

namespace qrx {

// Runs start-up and the scheduler; returns the process exit status.
int collector_main(int argc, char** argv);

// Settings and the collector distributor share logon id, password and server
// id: an empty setting takes the distributor's value, else the setting wins.
void apply_logon_defaults();

// Fills machine_id from hostname and serverid, blank-padded.
void fill_machine_id();

// 0 when serverid, hostname, logonid and db_type are all set; else logs
// "cml1528" and returns 1.
int check_required_settings();

// Registers the present settings as dictionary parameters ("rdbms", ...).
void register_setting_parms();

}  // namespace qrx
