// The collector's environment file (COLL_ENV_FILE): the NAME=value lines a
// service manager loads into the environment at start, read again by a
// reload so that new settings and a new password reach the next run.
// Returned lists belong to the caller.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qrx {

// One NAME=value line of the file.
using EnvAssignment = std::pair<std::string, std::string>;

// The assignments of environment file `path`, in file order; nothing after
// logging each fault: "uen0060" (cannot be opened or read), "uen0061" (not a
// regular file of this user, or others may read or write it), "uen0062" (a
// line that is no NAME=value, with its line number). Blank lines and lines
// starting with '#' or ';' are skipped; a value may stand in single or double
// quotes.
std::optional<std::vector<EnvAssignment>> read_env_file(const std::string& path);

// Parses the text of an environment file named `path` (for messages); as
// read_env_file without the file checks.
std::optional<std::vector<EnvAssignment>> parse_env_text(const std::string& text,
                                                         const std::string& path);

// Puts every assignment into this process's environment; 0, or 1 when one
// could not be set ("uen0045").
int apply_env_assignments(const std::vector<EnvAssignment>& assignments);

}  // namespace qrx
