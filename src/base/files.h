// File helpers: whole-file loading, existence tests, program search, path
// splitting, whole-file write locks, and the safe opening of files kept in
// directories other users may reach. Returned texts belong to the caller.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace qrx {

// The whole content of `path`; nothing when it is empty or cannot be read
// ("ufl1025" on a failing read).
std::optional<std::string> u_loadfile(const char* path);

// Write-locks (or, for issue_unlock, unlocks) the whole file behind `fd`,
// waiting when `wait` is 1; 0 on success, 1 on failure ("cgn3985"/"cgn3990").
int issue_write_lock(int fd, const char* name, int wait);
int issue_unlock(int fd, const char* name, int wait);

// Opens a file of this process in a directory others may reach: never
// through a symbolic link, only a regular file owned by this user, and with
// exactly `mode` whatever the umask. `flags` are open(2) flags; O_TRUNC takes
// effect only once the file has passed the checks. The descriptor (close on
// exec), or -1 with errno set: ELOOP for a link, EPERM for another user's
// file, EISDIR for a directory, EINVAL for anything else not a regular file.
int open_owned_file(const char* path, int flags, mode_t mode);

// 0 when directory `path` may hold this process's channel files: owned by
// this user and, when others may write to it, sticky. Otherwise 1 after
// "ufl1030" (owner), "ufl1035" (writable by others) or "ufl1040" (no stat).
int check_private_directory(const char* path);

// Option of file_exists: also require execute permission.
constexpr int kFileExecutable = 2;

// 0 non-empty regular file, 1 empty regular file, 2 missing, 3 not a regular
// file, 4 not executable by anyone / 5 not executable by this process
// (kFileExecutable only), -1 any other error.
int file_exists(const char* path, int options);

// True when `path` names a directory.
bool is_directory(const char* path);

// Full path of program `name`: a name with a directory part as it stands,
// otherwise the first hit on PATH (trying each COLL_PATHEXT extension when
// set); nothing when not found.
std::optional<std::string> uf_where(const char* name);

// A path split into directory (with its final '/'), name and extension
// (with its leading '.').
struct PathParts {
  std::string directory;
  std::string name;
  std::string extension;
};

// Splits `path` after removing blanks and quotes around it.
PathParts u_pfilen(const char* path);

}  // namespace qrx
