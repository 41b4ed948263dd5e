#include "base/control_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// `dir` + `separator` + `rest`, leaving out an empty directory with its
// separator, and a separator "/" that the directory already ends with.
std::string join(const std::string& dir, char separator, const std::string& rest) {
  if (dir.empty()) return rest;
  return separator == '/' && dir.back() == '/' ? dir + rest : dir + separator + rest;
}

// Why a candidate was not opened: it is not there (the search goes on
// quietly), it is no regular file, or it could not be opened for the reason
// in errno.
enum class Miss { kAbsent, kNotRegular, kUnreadable };

// Opens `path` for reading when it is a regular file; otherwise null, with
// the reason in `miss`. The open does not block, so that a FIFO under the
// name cannot stall start-up.
FilePtr open_regular(const std::string& path, Miss* miss = nullptr) {
  Miss why = Miss::kUnreadable;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) why = Miss::kAbsent;
  } else if (fstat(fd, &info) != 0) {
    // errno tells why
  } else if (!S_ISREG(info.st_mode)) {
    why = Miss::kNotRegular;
  } else if (fcntl(fd, F_SETFL, 0) == 0) {
    if (std::FILE* f = fdopen(fd, "r")) return FilePtr(f);
  }
  const int err = errno;
  if (fd >= 0) ::close(fd);
  errno = err;
  if (miss) *miss = why;
  return nullptr;
}

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

// The candidates of every name in `names`, in search order, each once,
// joined by ", ".
std::string joined_places(const std::vector<std::string>& names) {
  std::vector<std::string> seen;
  std::string looked;
  for (const std::string& name : names) {
    for (const std::string& path : candidates(name)) {
      if (std::find(seen.begin(), seen.end(), path) != seen.end()) continue;
      seen.push_back(path);
      looked += (looked.empty() ? "" : ", ") + path;
    }
  }
  return looked;
}

}  // namespace

FilePtr u_openInputFile(const char* base, std::string* path_out) {
  for (int which = 0; which <= 3; ++which) {
    const char* code = u_db_type(which);
    if (code == nullptr) break;
    std::string name = std::string(code) + base + ".ctl";
    for (const std::string& path : candidates(name)) {
      Miss miss = Miss::kAbsent;
      if (FilePtr file = open_regular(path, &miss)) {
        PRINT('i', "uoi0025", "File %s opened\n", path.c_str());
        if (path_out) *path_out = path;
        return file;
      }
      if (miss == Miss::kNotRegular)
        PRINT('e', "uoi0040", "%s is not a regular file, skipped\n", path.c_str());
      else if (miss == Miss::kUnreadable)
        PRINT('e', "uoi0045", "Could not read %s: %s\n", path.c_str(), std::strerror(errno));
      else if (trace_all)
        PRINT('t', "uoi0030", "Could not open %s\n", path.c_str());
    }
    if (std::find(std::begin(kQuietNames), std::end(kQuietNames), name) == std::end(kQuietNames)) {
      PRINT('e', "uoi0055", "Could not find a %s file\n", name.c_str());
      PRINT('e', "uoi0060", "Looked for it as %s\n", joined_places({name}).c_str());
    }
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

std::string input_file_places(const char* base) {
  std::vector<std::string> names;
  for (int which = 0; which <= 3; ++which) {
    const char* code = u_db_type(which);
    if (code == nullptr) break;
    names.push_back(std::string(code) + base + ".ctl");
  }
  return joined_places(names);
}

}  // namespace qrx
