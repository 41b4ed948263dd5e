// The environment every child process of the collector starts with: the
// collector's own, less the settings that hold secrets. The entries returned
// are owned by the caller.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qrx {

// True when environment entry "NAME=value" must not reach a child: a secret
// setting (COLL_PASSWORD in any form, QRX_EXPORT_PASSWORD), or any entry
// whose value is the collector's password.
bool secret_entry(std::string_view entry);

// The collector's environment as "NAME=value" entries, secrets left out.
std::vector<std::string> child_environment();

// `entries` as a null-terminated array for execve; points into `entries`.
std::vector<char*> environment_array(std::vector<std::string>& entries);

}  // namespace qrx
