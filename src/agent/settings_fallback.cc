// Stand-ins for the settings reader until the start-up module provides it;
// weak, so the real definitions take precedence as soon as they are linked.
#include <cstdlib>

#include "runtime/settings.h"

namespace qrx {

__attribute__((weak)) std::optional<std::string> u_getenv(const char* name, int,
                                                          const char* default_value) {
  const char* value = std::getenv(name);
  if (value && *value) return std::string(value);
  if (default_value) return std::string(default_value);
  return std::nullopt;
}

__attribute__((weak)) void get_envs(EnvVars& record) {
  auto fill = [](std::string& field, const char* name) {
    const char* value = std::getenv(name);
    if (field.empty() && value) field = value;
  };
  fill(record.serverid, "COLL_SERVERID");
  fill(record.db_type, "COLL_VERSION");
  fill(record.hostname, "COLL_HOSTNAME");
  fill(record.tmpdir, "COLL_PREFIX");
  fill(record.localtmpdir, "COLL_PREFIX_LOCAL");
  fill(record.use_shm, "COLL_USESHM");
  if (record.tmpdir.empty()) record.tmpdir = "/tmp";
  if (record.localtmpdir.empty()) record.localtmpdir = record.tmpdir;
}

}  // namespace qrx
