#include "base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/log.h"
#include "base/text.h"
#include "base/trace.h"

namespace qrx {

namespace {

bool tracing_files() { return trace_level(5) > 0 || trace_level(9) > 0; }

// One fcntl record lock over the whole file (start 0, length 0).
int whole_file_lock(int fd, short type, int wait) {
  struct flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  int rc;
  do {
    rc = fcntl(fd, wait == 1 ? F_SETLKW : F_SETLK, &lock);
  } while (rc == -1 && errno == EINTR && wait == 1);
  return rc;
}

}  // namespace

std::optional<std::string> u_loadfile(const char* path) {
  if (!path) return std::nullopt;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st{};
  if (fstat(fd, &st) != 0 || st.st_size < 1) {
    ::close(fd);
    return std::nullopt;
  }
  std::string data(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t have = 0;
  while (have < data.size()) {
    const ssize_t n = ::read(fd, data.data() + have, data.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      PRINT('w', "ufl1025", "read() returned -1. errno=%d %s\n", err, std::strerror(err));
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;  // the file shrank while being read: keep what is there
    have += static_cast<std::size_t>(n);
  }
  ::close(fd);
  data.resize(have);
  if (data.empty()) return std::nullopt;
  return data;
}

namespace {

// Sets or clears the whole-file lock and reports a failure with its own line.
int change_lock(int fd, short type, const char* name, int wait) {
  if (whole_file_lock(fd, type, wait) == 0) return 0;
  const int err = errno;
  if (!name) name = "";
  if (type == F_UNLCK)
    PRINT('e', "cgn3990", "Unlock error %d on %s. %s!!\n", err, name, std::strerror(err));
  else
    PRINT('e', "cgn3985", "Write_lock error %d on %s. %s\n", err, name, std::strerror(err));
  return 1;
}

}  // namespace

int issue_write_lock(int fd, const char* name, int wait) {
  return change_lock(fd, F_WRLCK, name, wait);
}

int issue_unlock(int fd, const char* name, int wait) { return change_lock(fd, F_UNLCK, name, wait); }

int open_owned_file(const char* path, int flags, mode_t mode) {
  // Non-blocking, so that a FIFO planted under the name cannot stall the open.
  const int fd = ::open(path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  struct stat st{};
  int err = 0;
  if (fstat(fd, &st) != 0)
    err = errno;
  else if (!S_ISREG(st.st_mode))
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  else if (st.st_uid != geteuid())
    err = EPERM;
  // Then the file gets its mode, its truncation and, unless the caller asked
  // for a non-blocking one, a blocking descriptor.
  else if (fchmod(fd, mode) != 0 || ((flags & O_TRUNC) && ftruncate(fd, 0) != 0) ||
           ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags & O_APPEND) != 0))
    err = errno;
  if (err == 0) return fd;
  ::close(fd);
  errno = err;
  return -1;
}

int check_private_directory(const char* path) {
  struct stat st{};
  if (!path || ::stat(path, &st) != 0) {
    const int err = path ? errno : ENOENT;
    PRINT('e', "ufl1040", "Directory %s cannot be checked: %s\n", path ? path : "",
          std::strerror(err));
    return 1;
  }
  if (st.st_uid != geteuid()) {
    PRINT('e', "ufl1030", "Directory %s is owned by uid %d, not by this user (uid %d): refused\n",
          path, static_cast<int>(st.st_uid), static_cast<int>(geteuid()));
    return 1;
  }
  if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX)) {
    PRINT('e', "ufl1035", "Directory %s is writable by others without the sticky bit: refused\n",
          path);
    return 1;
  }
  return 0;
}

int file_exists(const char* path, int options) {
  if (!path || !*path) return 2;
  struct stat st{};
  if (::stat(path, &st) != 0) {
    const int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      if (tracing_files()) PRINT('t', "ust4000", "File %s does not exist\n", path);
      return 2;
    }
    if (tracing_files())
      PRINT('t', "ust4010", "stat(%s) failed: errno=%d %s\n", path, err, std::strerror(err));
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    if (tracing_files()) PRINT('t', "ust4020", "%s is not a regular file\n", path);
    return 3;
  }
  if (options & kFileExecutable) {
    if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
      if (tracing_files()) PRINT('t', "ust4030", "%s is not executable\n", path);
      return 4;
    }
    if (::access(path, X_OK) != 0) {
      if (tracing_files()) PRINT('t', "ust4040", "%s is not executable by this process\n", path);
      return 5;
    }
  }
  if (st.st_size == 0) {
    if (tracing_files()) PRINT('t', "ust4050", "%s is empty\n", path);
    return 1;
  }
  if (tracing_files())
    PRINT('t', "ust4070", "%s exists, %lld bytes\n", path, static_cast<long long>(st.st_size));
  return 0;
}

bool is_directory(const char* path) {
  struct stat st{};
  return path && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> uf_where(const char* name) {
  if (!name || !*name) return std::nullopt;
  const std::string program = u_stripx(name, 'B', " \"");
  if (program.find('/') != std::string::npos) return program;

  std::vector<std::string> extensions{""};
  if (const char* pathext = std::getenv("COLL_PATHEXT")) {
    for (const std::string& ext : u_tokenset(pathext, ";: ")) extensions.push_back(ext);
  }
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "";
  while (true) {
    const std::size_t colon = dirs.find(':');
    const std::string_view entry = dirs.substr(0, colon);
    const std::string dir = entry.empty() ? std::string(".") : std::string(entry);
    for (const std::string& ext : extensions) {
      std::string candidate = dir + "/" + program + ext;
      if (file_exists(candidate.c_str(), kFileExecutable) <= 1) {
        if (trace_something) PRINT('t', "ufw3090", "Found file path %s\n", candidate.c_str());
        return candidate;
      }
    }
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

PathParts u_pfilen(const char* path) {
  PathParts parts;
  if (!path) return parts;
  const std::string whole = u_stripx(path, 'B', " \t\"'");
  const std::size_t slash = whole.rfind('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  parts.directory = whole.substr(0, name_start);
  std::string file = whole.substr(name_start);
  const std::size_t dot = file.rfind('.');
  // A leading dot names a hidden file rather than starting an extension.
  if (dot != std::string::npos && dot > 0) {
    parts.extension = file.substr(dot);
    file.resize(dot);
  }
  parts.name = std::move(file);
  return parts;
}

}  // namespace qrx
