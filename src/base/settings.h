// Filling the settings record from the environment, environment look-ups,
// the database-type code and its aliases, and the dictionary parameters that
// the command line hands to the control-file reader. Returned texts are owned
// by the caller (std::string) or by this module (const char* into its caches).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/env_vars.h"

namespace qrx {

// Value of environment variable `name`, or `default_value`, or nothing; a set
// but empty variable counts as unset. Modes as the start-up rules give them
// (1 report, -1 put the default into the environment, -2 never trace).
std::optional<std::string> u_getenv(const char* name, int mode, const char* default_value);

// A decimal environment number, or nothing when unset; a text that is not a
// whole number within `limit` is reported ("uen0022") and treated as unset.
std::optional<uint32_t> env_number(const char* name, uint32_t limit);

// Puts name=value into the environment; returns the value, or nothing on failure.
std::optional<std::string> u_putenv(const char* name, const char* value);

// Settings field behind `name` (COLL_LOGON, COLL_SERVERID, ...), read from the
// environment and the database-type fallbacks when empty; nothing when unknown.
std::optional<std::string> u_retrieveEnvVar(const char* name);

// Database-type code (which = 0) or alias code (1..3) used to name control
// files; null when there is none. Points into this module's cache.
const char* u_db_type(int which);

// Forgets the cached database-type codes (after db_type changes).
void reset_db_type_cache();

// Fills the still-empty fields of `record` from the environment.
void get_envs(EnvVars& record);

// Normalises coll_disable_cursors (no blanks, upper case) and puts one
// COLL_DISABLE_CURSOR_<name> variable per listed name into the environment.
void set_disable_cursors();

// One dictionary parameter: a name the control files may substitute and its value.
struct DictParm {
  std::string name;
  std::string value;
};

// Appends a dictionary parameter (name, value) in insertion order.
void add_dict_parm(const std::string& name, const std::string& value);

// Value of the first dictionary parameter named `name` ignoring case, or null.
const std::string* search_dict_parm(const std::string& name);

// Removes every dictionary parameter.
void clear_dict_parms();

// Every dictionary parameter, in insertion order (a copy).
std::vector<DictParm> saved_dict_parms();

// Replaces every dictionary parameter by `parms`, in their order.
void restore_dict_parms(const std::vector<DictParm>& parms);

}  // namespace qrx
