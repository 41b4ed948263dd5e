#include "sqlrt/sqlrt.h"

#include <strings.h>

#include "sqlrt/backend_support.h"

namespace qrx::sqlrt {

namespace {

Driver* override_driver = nullptr;

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

}  // namespace qrx::sqlrt
