// Stand-ins for settings and control-file look-ups that the start-up module
// provides. They are weak: the start-up module's definitions replace them.

#include <cstdlib>
#include <strings.h>
#include <utility>
#include <vector>

#include "runtime/control_files.h"
#include "runtime/settings.h"

namespace qrx {

namespace {
std::vector<std::pair<std::string, std::string>>& parms() {
  static std::vector<std::pair<std::string, std::string>> list;
  return list;
}
}  // namespace

__attribute__((weak)) std::optional<std::string> u_getenv(const char* name, int, const char* default_value) {
  if (const char* v = std::getenv(name); v && *v) return std::string(v);
  if (default_value) return std::string(default_value);
  return std::nullopt;
}

__attribute__((weak)) std::optional<std::string> u_retrieveEnvVar(const char*) { return std::nullopt; }

__attribute__((weak)) void add_dict_parm(const std::string& name, const std::string& value) {
  parms().emplace_back(name, value);
}

__attribute__((weak)) const std::string* search_dict_parm(const std::string& name) {
  for (const auto& [n, v] : parms())
    if (strcasecmp(n.c_str(), name.c_str()) == 0) return &v;
  return nullptr;
}

__attribute__((weak)) void clear_dict_parms() { parms().clear(); }

__attribute__((weak)) FilePtr u_openInputFile(const char*, std::string*) { return nullptr; }

}  // namespace qrx
