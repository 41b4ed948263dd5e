#include "base/env_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/log.h"
#include "base/settings.h"
#include "base/text.h"

namespace qrx {
namespace {

// An environment file holds the password: larger files are no such file.
constexpr off_t kMaxEnvFileBytes = 1 << 20;

bool name_char(char c, bool first) {
  const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  return alpha || (!first && c >= '0' && c <= '9');
}

bool valid_name(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (!name_char(name[i], i == 0)) return false;
  return true;
}

// Blanks around a line, a name or a value go (and a DOS line end).
std::string trim(std::string_view s) { return u_stripx(s, 'B', " \t\r"); }

// The value of a line: quotes around it go; a quote of the same kind inside
// a quoted value or an unmatched opening quote makes the line faulty.
std::optional<std::string> unquote(std::string_view value) {
  if (value.empty() || (value.front() != '"' && value.front() != '\'')) return std::string(value);
  const char quote = value.front();
  if (value.size() < 2 || value.back() != quote) return std::nullopt;
  value = value.substr(1, value.size() - 2);
  if (value.find(quote) != std::string_view::npos) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<std::vector<EnvAssignment>> parse_env_text(const std::string& text,
                                                         const std::string& path) {
  std::vector<EnvAssignment> out;
  bool faulty = false;
  int line_number = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = trim(std::string_view(text).substr(at, end - at));
    at = end + 1;
    ++line_number;
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    const std::size_t eq = line.find('=');
    const std::string name = eq == std::string::npos ? line : trim(std::string_view(line).substr(0, eq));
    std::optional<std::string> value;
    if (eq != std::string::npos && valid_name(name)) value = unquote(trim(std::string_view(line).substr(eq + 1)));
    if (!value) {
      // The line is not shown: it may hold the password.
      PRINT('e', "uen0062", "%s:%d: not a NAME=value line\n", path.c_str(), line_number);
      faulty = true;
      continue;
    }
    out.emplace_back(name, std::move(*value));
  }
  if (faulty) return std::nullopt;
  return out;
}

std::optional<std::vector<EnvAssignment>> read_env_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    PRINT('e', "uen0060", "Cannot read the environment file %s: %s\n", path.c_str(),
          std::strerror(errno));
    return std::nullopt;
  }
  struct stat st {};
  std::optional<std::vector<EnvAssignment>> result;
  if (fstat(fd, &st) != 0) {
    PRINT('e', "uen0060", "Cannot read the environment file %s: %s\n", path.c_str(),
          std::strerror(errno));
  } else if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0 ||
             st.st_size > kMaxEnvFileBytes) {
    PRINT('e', "uen0061",
          "The environment file %s is not a regular file of this user that only its owner "
          "may read and write (mode %04o, owner %u); it is not read\n",
          path.c_str(), static_cast<unsigned>(st.st_mode & 07777),
          static_cast<unsigned>(st.st_uid));
  } else {
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    int err = 0;
    while (done < text.size()) {
      const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = n < 0 ? errno : EIO;  // a file cut while it is read
        break;
      }
      done += static_cast<std::size_t>(n);
    }
    if (err == 0)
      result = parse_env_text(text, path);
    else
      PRINT('e', "uen0060", "Cannot read the environment file %s: %s\n", path.c_str(),
            std::strerror(err));
  }
  ::close(fd);
  return result;
}

int apply_env_assignments(const std::vector<EnvAssignment>& assignments) {
  int rc = 0;
  for (const auto& [name, value] : assignments)
    if (!u_putenv(name.c_str(), value.c_str())) rc = 1;
  return rc;
}

}  // namespace qrx
