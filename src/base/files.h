// File helpers: whole-file loading, existence tests, program search, path
// splitting and whole-file write locks. Returned texts belong to the caller.
#pragma once

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
