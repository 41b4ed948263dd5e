// Memory exhaustion: the collector logs and ends rather than running on.
#pragma once

namespace qrx {

// Logs "pgn0001" "No memory" and exits with status 98.
[[noreturn]] void no_mem();

// Makes a failed allocation of the standard containers end the process with
// "utm5400" and exit status 4, as the collector's allocator does.
void install_new_handler();

}  // namespace qrx
