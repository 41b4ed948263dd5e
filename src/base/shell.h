// Running a shell command and capturing its output as one line of text.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace qrx {

// Output of `command` with each line's trailing white space removed and lines
// joined by single blanks (at most 500 lines, 4094 characters; reading stops
// at the third empty line); nothing when the command cannot be started ("uti2050").
// The shell gets the environment children get: no secrets.
std::optional<std::string> u_shell(const char* command);

// The joining rules of u_shell applied to the lines read from `in`.
std::string join_shell_output(std::FILE* in);

}  // namespace qrx
