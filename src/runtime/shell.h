// Running a shell command and capturing its output as one line of text.
#pragma once

#include <optional>
#include <string>

namespace qrx {

// Output of `command` with each line's trailing white space removed and lines
// joined by single blanks (at most 500 lines, 4094 characters); nothing when
// the command cannot be started ("uti2050").
std::optional<std::string> u_shell(const char* command);

}  // namespace qrx
