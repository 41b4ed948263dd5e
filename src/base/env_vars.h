// The process-wide settings record and the collector's identity.
// Start-up fills both once (command line first, then the environment for
// fields still empty); every other module only reads them.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

namespace qrx {

// Settings of one collector process. An empty text means "not set".
struct EnvVars {
  std::string coll_home;
  std::string ctl_home;
  std::string bin_home;
  std::string coll_out;
  std::string hostname;
  std::string hostlogonid;
  std::string serverid;
  std::string logonid;
  std::string password;
  std::string errorlog;
  std::string db_type;
  std::string cell_name;
  std::string tmpdir;
  std::string localtmpdir;
  uint32_t maxread = 0;  // 0 until the environment pass sets it
  std::string use_shm;
  uint16_t nosignals = 0;
  std::string cfgdir;
  std::string db_home;
  std::string db_version;
};

// Three blank-padded fields (no terminator) naming this collector to the agent.
struct MachineId {
  char hostname[64];
  char serverid[32];
  char spare[64];
};

extern EnvVars env_vars;
extern MachineId machine_id;

// Raised by a terminating signal or a "SHUTDOWN" request; loops stop when set
// and every wait returns promptly.
extern volatile std::sig_atomic_t go_home;

// Text of COLL_DISABLE_CURSORS as read by the environment pass, or empty.
extern std::string coll_disable_cursors;

}  // namespace qrx
