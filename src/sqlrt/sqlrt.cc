#include "sqlrt/sqlrt.h"

#include <charconv>
#include <cstdlib>
#include <strings.h>

#include "sqlrt/backend_support.h"

namespace qrx::sqlrt {

namespace {

Driver* override_driver = nullptr;

// Whole seconds from environment variable `name`, or `fallback` when unset or
// not a number of 0 or more.
int seconds_from(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  int value = 0;
  const char* end = text + std::char_traits<char>::length(text);
  auto [ptr, ec] = std::from_chars(text, end, value);
  return ec == std::errc() && ptr == end && value >= 0 ? value : fallback;
}

}  // namespace

int Diagnostics::set(int new_code, std::string new_text) {
  code = new_code;
  text = std::move(new_text);
  return code;
}

int Diagnostics::clear() {
  code = 0;
  text.clear();
  return 0;
}

Driver* driver_named(std::string_view name) {
  if (override_driver) return override_driver;
  std::string lower(name);
  if (strcasecmp(lower.c_str(), "sqlite") == 0) return &sqlite_driver();
  if (strcasecmp(lower.c_str(), "odbc") == 0) return &odbc_driver();
  return nullptr;
}

void set_driver_override(Driver* driver) { override_driver = driver; }

Settings settings_from_environment() {
  Settings settings;
  if (const char* driver = std::getenv("COLL_DB_DRIVER"); driver && *driver) settings.driver = driver;
  settings.query_timeout = seconds_from("COLL_QUERY_TIMEOUT", settings.query_timeout);
  settings.connect_timeout = seconds_from("COLL_CONNECT_TIMEOUT", settings.connect_timeout);
  return settings;
}

}  // namespace qrx::sqlrt
