#include "base/settings.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string_view>

#include "base/log.h"
#include "base/shell.h"
#include "base/text.h"
#include "base/trace.h"

namespace qrx {
namespace {

constexpr uint32_t kDefaultMaxRead = 20480000;

// The text of a non-empty environment variable, else nothing.
std::optional<std::string> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

// The output of a shell command, or empty when it fails or prints nothing.
std::string shell_text(const char* command) { return u_shell(command).value_or(""); }

// The working directory as the shell sees it: PWD, else "pwd", else HOME, else "~".
std::string working_directory(const EnvVars&) {
  if (auto pwd = env_text("PWD")) return *pwd;
  std::string out = shell_text("pwd");
  if (!out.empty()) return out;
  return env_text("HOME").value_or("~");
}

std::string default_tmpdir(const EnvVars& record) {
  if (auto base = env_text("QRXLOGDIR")) return *base + "/" + record.hostlogonid;
  return "/tmp/" + record.hostlogonid;
}

std::string default_coll_out(const EnvVars& record) {
  return record.localtmpdir != record.tmpdir ? record.localtmpdir : record.coll_home;
}

// One text setting of the environment pass: the variables tried in turn and
// the default for a field that is still empty afterwards (null: none).
struct TextSetting {
  const char* variable;
  const char* alternative;
  std::string EnvVars::*field;
  std::string (*fallback)(const EnvVars&);
};

// In filling order: every default reads only fields filled above it.
constexpr TextSetting kTextSettings[] = {
    {"COLL_HOME", nullptr, &EnvVars::coll_home, working_directory},
    {"COLL_CTL_HOME", nullptr, &EnvVars::ctl_home, working_directory},
    {"COLL_BINPATH", nullptr, &EnvVars::bin_home, nullptr},
    {"COLL_HOSTNAME", nullptr, &EnvVars::hostname,
     [](const EnvVars&) { return shell_text("uname -n"); }},
    {"USER", nullptr, &EnvVars::hostlogonid, [](const EnvVars&) { return shell_text("whoami"); }},
    {"COLL_SERVERID", nullptr, &EnvVars::serverid, nullptr},
    {"COLL_LOGON", "COLL_LOGONID", &EnvVars::logonid, nullptr},
    {"COLL_PASSWORD", nullptr, &EnvVars::password, nullptr},
    {"COLL_ERRORLOG", nullptr, &EnvVars::errorlog, nullptr},
    {"COLL_VERSION", "COLL_VERSION_HOME", &EnvVars::db_type,
     [](const EnvVars&) { return std::string("qrx"); }},
    {"COLL_PREFIX", nullptr, &EnvVars::tmpdir, default_tmpdir},
    {"COLL_PREFIX_LOCAL", nullptr, &EnvVars::localtmpdir,
     [](const EnvVars& r) { return r.tmpdir; }},
    {"COLL_OUT", nullptr, &EnvVars::coll_out, default_coll_out},
    {"COLL_USESHM", nullptr, &EnvVars::use_shm, nullptr},
    {"QRXCFGDIR", nullptr, &EnvVars::cfgdir, [](const EnvVars& r) { return r.ctl_home; }},
    {"COLL_DBHOME", nullptr, &EnvVars::db_home, nullptr},
    {"COLL_DBVERSION", nullptr, &EnvVars::db_version, nullptr},
};

}  // namespace

// A decimal environment number, or nothing when unset; a text that is not a
// whole number within `limit` is reported and treated as unset.
std::optional<uint32_t> env_number(const char* name, uint32_t limit) {
  auto text = u_getenv(name, 0, nullptr);
  if (!text) return std::nullopt;
  uint32_t value = 0;
  const char* end = text->data() + text->size();
  auto [ptr, ec] = std::from_chars(text->data(), end, value);
  if (ec != std::errc() || ptr != end || value > limit) {
    PRINT('w', "uen0022", "'%s' is not a number up to %u (%s), ignored\n", name, limit,
          text->c_str());
    return std::nullopt;
  }
  return value;
}

namespace {

// Database-type code cache: slot 0 the code, 1..3 the aliases.
struct DbTypeCache {
  bool known[4] = {};
  std::optional<std::string> code[4];
};
DbTypeCache db_type_cache;

std::string normalise_db_type(const std::string& db_type) {
  if (db_type.empty()) return "und";
  std::string code = db_type.substr(0, 3);
  if (code == "xpa") code = db_type.substr(0, 5);
  code = u_strlower(code);
  static constexpr const char* kAccepted[] = {"xmb", "xpa", "xcn",   "xvt",   "xpa08", "xfw",
                                              "xpa09", "xpa10", "xpa11", "qrx", "xhh", "xjl"};
  for (const char* accepted : kAccepted)
    if (code == accepted) return code;
  static constexpr struct {
    const char* vendor;
    const char* code;
  } kVendors[] = {{"syb", "xmb"}, {"ora", "xpa"}, {"inf", "xcn"}, {"sql", "xvt"}, {"db2", "xjl"}};
  for (const auto& row : kVendors)
    if (code == row.vendor) return row.code;
  return "unk";
}

std::optional<std::string> db_type_alias(const std::string& code, int which) {
  static constexpr struct {
    const char* code;
    const char* alias[3];
  } kAliases[] = {{"xfw", {"xpa", nullptr, nullptr}},
                  {"xjl", {"db2", nullptr, nullptr}},
                  {"xhh", {"xxx", "yyy", "zzz"}}};
  for (const auto& row : kAliases)
    if (code == row.code && row.alias[which - 1]) return std::string(row.alias[which - 1]);
  return std::nullopt;
}

// Settings reachable by name; kind 2 and 3 fall back to the server's own
// variables for the database type.
struct NamedSetting {
  const char* name;
  int kind;
  std::string EnvVars::*field;
};
constexpr NamedSetting kNamedSettings[] = {
    {"COLL_LOGON", 0, &EnvVars::logonid},        {"COLL_PASSWORD", 0, &EnvVars::password},
    {"COLL_CTL_HOME", 0, &EnvVars::ctl_home},    {"COLL_HOME", 0, &EnvVars::coll_home},
    {"COLL_SERVERID", 2, &EnvVars::serverid},    {"COLL_ERRORLOG", 0, &EnvVars::errorlog},
    {"COLL_VERSION", 0, &EnvVars::db_type},      {"COLL_DBVERSION", 0, &EnvVars::db_version},
    {"COLL_DBHOME", 3, &EnvVars::db_home},       {"HUBAG_CELL_NAME", 0, &EnvVars::cell_name},
};

struct ServerVariables {
  const char* code;
  const char* server_id;  // kind 2
  const char* home;       // kind 3
};
constexpr ServerVariables kServerVariables[] = {
    {"xmb", "DSQUERY", "SYBASE"},        {"xcn", "INFORMIXSERVER", "INFORMIXDIR"},
    {"xpa", "ORACLE_SID", "ORACLE_HOME"}, {"xpa08", "ORACLE_SID", "ORACLE_HOME"},
    {"xpa09", "ORACLE_SID", "ORACLE_HOME"}, {"xpa10", "ORACLE_SID", "ORACLE_HOME"},
    {"xpa11", "ORACLE_SID", "ORACLE_HOME"}, {"xfw", "ORACLE_SID", "ORACLE_HOME"},
    {"xvt", "MSSQL", "MSSQL_HOME"},
};

// A deque keeps the values returned by search_dict_parm in place on append.
std::deque<DictParm> dict_parms;

}  // namespace

std::optional<std::string> u_getenv(const char* name, int mode, const char* default_value) {
  const char* raw = std::getenv(name);
  if (raw && *raw) {
    if (mode != 1 && mode != -1 && mode != -2 && trace_level(3))
      PRINT('t', "uen0025", "Env var %s=%s.\n", name, raw);
    return std::string(raw);
  }
  bool has_default = default_value && *default_value;
  if (mode == 1) {
    char severity = has_default ? 'i' : 'w';
    if (raw)
      PRINT(severity, "uen0010", "Environment variable \"%s\" is not available\n", name);
    else
      PRINT(severity, "uen0015", "Environment variable \"%s\" not set\n", name);
    if (has_default) PRINT(severity, "uen0020", "Using default of %s\n", default_value);
  } else if (mode != -1 && mode != -2 && trace_level(3)) {
    PRINT('t', "uen0026", "Env var %s was not set.\n", name);
  }
  if (!has_default) return std::nullopt;
  if (mode == -1) return u_putenv(name, default_value);
  return std::string(default_value);
}

std::optional<std::string> u_putenv(const char* name, const char* value) {
  int rc = value ? ::setenv(name, value, 1) : ::unsetenv(name);
  if (rc != 0) {
    u_msg(nullptr, nullptr, 0, "ePt", "uen0045",
          "Environment variable \"%s\" could not be set.", name);
    return std::nullopt;
  }
  if (trace_level(0))
    u_msg(nullptr, nullptr, 0, "tP", "uen0046", "Set environment variable \"%s\".", name);
  return std::string(value ? value : "");
}

const char* u_db_type(int which) {
  if (which < 0 || which > 3) return nullptr;
  if (!db_type_cache.known[0]) {
    db_type_cache.code[0] = normalise_db_type(env_vars.db_type);
    db_type_cache.known[0] = true;
  }
  if (!db_type_cache.known[which]) {
    db_type_cache.code[which] = db_type_alias(*db_type_cache.code[0], which);
    db_type_cache.known[which] = true;
  }
  return db_type_cache.code[which] ? db_type_cache.code[which]->c_str() : nullptr;
}

void reset_db_type_cache() { db_type_cache = DbTypeCache{}; }

std::optional<std::string> u_retrieveEnvVar(const char* name) {
  if (name == nullptr || std::strlen(name) > 32) return std::nullopt;
  std::string key = u_strupper(name);
  for (const NamedSetting& row : kNamedSettings) {
    if (key != row.name) continue;
    std::string& field = env_vars.*row.field;
    if (field.empty()) field = u_getenv(row.name, 0, nullptr).value_or("");
    if (field.empty() && (row.kind == 2 || row.kind == 3)) {
      std::string code = u_db_type(0);
      for (const ServerVariables& server : kServerVariables) {
        if (code != server.code) continue;
        const char* variable = row.kind == 2 ? server.server_id : server.home;
        field = u_getenv(variable, 0, nullptr).value_or("");
      }
    }
    if (field.empty()) return std::nullopt;
    return field;
  }
  return std::nullopt;
}

void get_envs(EnvVars& record) {
  static bool debug_read = false;
  if (!debug_read) {
    debug_read = true;
    if (auto debug = u_getenv("COLL_DEBUG", 0, nullptr)) trace_set(debug->c_str());
  }
  for (const TextSetting& row : kTextSettings) {
    std::string& field = record.*row.field;
    if (!field.empty()) continue;
    auto value = u_getenv(row.variable, 0, nullptr);
    if (!value && row.alternative) value = u_getenv(row.alternative, 0, nullptr);
    if (value)
      field = *value;
    else if (row.fallback)
      field = row.fallback(record);
  }
  if (record.maxread == 0) {
    if (auto value = env_number("MAXREADSZ_ERRORLOG", UINT32_MAX)) {
      record.maxread = *value;
    } else {
      record.maxread = kDefaultMaxRead;
      if (trace_level(6))
        PRINT('i', "uen0021", "'%s' not set, using default of %d\n", "MAXREADSZ_ERRORLOG",
              static_cast<int>(kDefaultMaxRead));
    }
  }
  if (record.nosignals == 0)
    record.nosignals = static_cast<uint16_t>(env_number("COLL_NOSIGNALS", UINT16_MAX).value_or(0));
  coll_disable_cursors = u_getenv("COLL_DISABLE_CURSORS", 0, nullptr).value_or("");
}

void set_disable_cursors() {
  if (coll_disable_cursors.empty()) {
    PRINT('t', "cml1526", "Disable Cursors Environment is not set...\n");
    return;
  }
  std::erase(coll_disable_cursors, ' ');
  coll_disable_cursors = u_strupper(coll_disable_cursors);
  PRINT('i', "cml1527", "Disable Cursors Environment Settings:\n");
  PRINT('i', "cml1527", "\t COLL_DISABLE_CURSORS=%s\n", coll_disable_cursors.c_str());
  std::string_view rest = coll_disable_cursors;
  while (!rest.empty()) {
    size_t comma = rest.find(',');
    std::string_view token = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (token.empty()) continue;
    std::string variable = "COLL_DISABLE_CURSOR_" + std::string(token);
    const char* value = token == "KF1" ? "AND FIL.FILE_ID < 128" : token == "KF4" ? "0" : "1";
    u_putenv(variable.c_str(), value);
    PRINT('i', "cml1527", "\t %s=%s\n", variable.c_str(), value);
  }
}

void add_dict_parm(const std::string& name, const std::string& value) {
  dict_parms.push_back({name, value});
}

const std::string* search_dict_parm(const std::string& name) {
  for (const DictParm& parm : dict_parms)
    if (u_strlower(parm.name) == u_strlower(name)) return &parm.value;
  return nullptr;
}

void clear_dict_parms() { dict_parms.clear(); }

std::vector<DictParm> saved_dict_parms() { return {dict_parms.begin(), dict_parms.end()}; }

void restore_dict_parms(const std::vector<DictParm>& parms) {
  dict_parms.assign(parms.begin(), parms.end());
}

}  // namespace qrx
