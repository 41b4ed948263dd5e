#include "base/control_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <string_view>
#include <vector>

#include "base/env_vars.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/trace.h"

namespace qrx {
namespace {

// Names whose absence is expected and therefore not reported.
constexpr std::string_view kQuietNames[] = {"xg8proc.ctl", "xg9proc.ctl", "xg8dict.ctl",
                                            "xg9dict.ctl", "xg8coll.ctl", "xg9coll.ctl",
                                            "xg8trac.ctl", "xg9trac.ctl"};

// `dir` + `separator` + `rest`, leaving out an empty directory with its separator.
std::string join(const std::string& dir, char separator, const std::string& rest) {
  return dir.empty() ? rest : dir + separator + rest;
}

// Opens `path` for reading when it is not a directory (which would open but not read).
FilePtr open_regular(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "r"));
  struct stat info;
  if (file && (fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode))) file.reset();
  return file;
}

}  // namespace

namespace {

// The places looked at for control file `name`, in search order.
std::vector<std::string> candidates(const std::string& name) {
  const std::string& home = env_vars.coll_home;
  const std::string& server = env_vars.serverid;
  return {
      join(home, '/', join(server, '/', name)),
      join(home, '/', join(server, '_', name)),
      join(home, '/', name),
      join(env_vars.ctl_home, '/', name),
  };
}

}  // namespace

FilePtr u_openInputFile(const char* base, std::string* path_out) {
  for (int which = 0; which <= 3; ++which) {
    const char* code = u_db_type(which);
    if (code == nullptr) break;
    std::string name = std::string(code) + base + ".ctl";
    for (const std::string& path : candidates(name)) {
      if (FilePtr file = open_regular(path)) {
        PRINT('i', "uoi0025", "File %s opened\n", path.c_str());
        if (path_out) *path_out = path;
        return file;
      }
      if (trace_all) PRINT('t', "uoi0030", "Could not open %s\n", path.c_str());
    }
    if (std::find(std::begin(kQuietNames), std::end(kQuietNames), name) == std::end(kQuietNames))
      PRINT('e', "uoi0055", "Could not find a %s file\n", name.c_str());
  }
  return nullptr;
}

std::string find_input_file(const char* base) {
  for (int which = 0; which <= 3; ++which) {
    const char* code = u_db_type(which);
    if (code == nullptr) break;
    for (const std::string& path : candidates(std::string(code) + base + ".ctl"))
      if (open_regular(path)) return path;
  }
  return {};
}

}  // namespace qrx
