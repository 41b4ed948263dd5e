// Reloading the definitions on request (SIGHUP). The control files are read
// and edited by a run of this program with --check, under the settings of
// the environment file (COLL_ENV_FILE) as they now stand, so that the
// definitions in use are never touched; the scheduler restarts the collector
// on sound ones and goes on with the old ones otherwise.
#pragma once

#include <string>
#include <vector>

namespace qrx {

// Seconds a --check run may take before it is killed and the reload refused.
constexpr int kReloadCheckSeconds = 60;

// 0 when the definitions a restart would build are sound: the environment
// file's assignments are then in this process's environment, for the
// restart. Otherwise logs every fault as the check reported it, with its
// location, then "cml1561" with the reason, leaves the environment as it was
// and returns 1.
int check_reload();

// The program file a restart runs: `argv0` when it names a directory part,
// else this process's own executable (so that a collector started through
// PATH can be restarted), else `argv0`.
std::string program_file(const std::string& argv0);

}  // namespace qrx
