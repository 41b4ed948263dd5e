// The command line: the first option pass over the raw words, the expansion
// of argument files into the word list, and the second option pass with the
// environment pass behind it. The expanded words are owned by this module.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace qrx {

struct EnvVars;  // base/env_vars.h

// Options of the command line that no setting holds.
struct DdbOptions {
  bool console = false;
  std::string initfile;
  // Set by the words "-testI32Cap" and "-testI64Cap"; read by tests only.
  bool test_i32_cap = false;
  bool test_i64_cap = false;
};
extern DdbOptions ddb_options;

// First pass over the raw words (before the log is open): settings,
// debug switches, and unknown options as dictionary parameters.
void parse_argv(int argc, char** argv);

// Expands "-filein FILE" and "@FILE" into the file's words and removes the
// debug and test words; ends the process with status 15 (files nested too
// deeply) or 95 (a file that cannot be read). Returns the expanded words.
const std::vector<std::string>& parseCmdline(int argc, char** argv);

// Second pass over expanded words; produces the version listing and exits
// for "-version". Returns the number of words consumed.
int parseDDBCmdline(const std::vector<std::string>& words);

// Overwrites with '*' every password value the first pass read from the
// argument words, so that `ps` no longer shows it; call once every pass has
// read them. Returns the number of values scrubbed.
int scrub_command_line_password();

// Applies the option word `words[i]` ("-" and a keyword, the value glued or
// in the next word) when it names a setting qrxprobe takes, exactly as the
// collector's passes apply it. Returns the words used (1 or 2), 0 when it is
// no such option, -1 when its value is missing.
int take_probe_option(std::span<char* const> words, size_t i);

// parseCmdline, parseDDBCmdline and get_envs in turn; returns the number of
// words the second pass consumed. `command_line`, when given, receives the
// settings as the command line left them, before the environment's.
int DDB_getenv(int argc, char** argv, EnvVars* command_line = nullptr);

}  // namespace qrx
