// The version-header listing of the program's modules: written under the log
// banner and, for the "-version" option, on its own before the process exits.
#pragma once

#include <span>
#include <string>

namespace qrx {

// Logs ("ush0100") the heading and one line per module; with `names` given
// (each may carry a leading "-"), only the modules named, ignoring case.
void print_version_headers(std::span<const std::string> names);

}  // namespace qrx
