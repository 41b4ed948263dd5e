// File helpers: whole-file loading, existence tests and whole-file write locks.
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

}  // namespace qrx
