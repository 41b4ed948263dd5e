// Outside programs run as child processes: a shell command whose output is
// wanted back, a timed child with its output captured through a pipe or a
// file, a permanent child talked to through its standard input and output,
// and a detached child. Every child runs in a process group of its own, gets
// the collector's environment without its secrets and dies with the
// collector; the end of a run ends whatever the run started. Output comes
// back as a chain of lines that the caller owns (exec_lines frees it).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qrx {

// One output line.
struct r_exec_chain {
  r_exec_chain* next = nullptr;
  int32_t length = 0;  // bytes of text
  std::string text;    // without its newline
};

// Frees a whole chain (null is allowed).
void u_free_r_chain(r_exec_chain* chain);

struct r_chain_free {
  void operator()(r_exec_chain* chain) const { u_free_r_chain(chain); }
};
// An owned chain of output lines; null when there are none.
using exec_lines = std::unique_ptr<r_exec_chain, r_chain_free>;

// Option flags of execopt::flags.
enum : uint8_t {
  kExecOptionsSet = 0x01,   // the caller set the options: no defaults applied
  kExecParmsStdin = 0x02,   // parameters on standard input
  kExecParmsFile = 0x04,    // parameters in a file
  kExecByLength = 0x08,     // command line when short enough
  kExecMarker = 0x10,       // " --" or " @file" added to the command
  kExecStderrToOut = 0x20,  // standard error goes with standard output
  kExecOutFile = 0x40,      // standard output to a temporary file
  kExecPermanent = 0x80,    // the child stays: not waited for
};
// Second flags of execopt::flags2.
enum : uint8_t {
  kExecChildExists = 0x01,  // skip creation
  kExecNoLimit = 0x02,      // no time limit
  kExecStdinPipe = 0x04,    // always make a standard-input pipe
  kExecShellText = 0x08,    // the caller's own text uses shell syntax: run it through "sh"
};
// execopt::status values.
enum : int32_t { kExecNormal = 0, kExecTimedOut = 1, kExecNotCreated = 2 };

constexpr int32_t kDefaultExecLines = 30000;  // output lines read at most
constexpr int32_t kDefaultExecSeconds = 600;  // time limit of a timed child
constexpr std::size_t kExecLineMax = 8192;    // bytes kept of one output line
constexpr std::size_t kCommandLineMax = 1024; // longest command line passed as it stands

struct createProcessComm;

// Options and results of one child; owned by the caller. Destroying it ends
// a child still attached (its whole group) and removes its files.
struct execopt {
  uint8_t flags = 0;
  uint8_t flags2 = 0;
  int32_t status = kExecNormal;
  int32_t max_lines = 0;    // 0 or less: kDefaultExecLines
  int32_t time_limit = 0;   // seconds; 0 or less at wait time: kDefaultExecSeconds;
                            // after a normal end the seconds used
  int exit_status = 0;      // the child's exit status; 128 + signal when a signal ended it
  std::unique_ptr<createProcessComm> comm;  // while a child is handled

  execopt();
  ~execopt();
  execopt(const execopt&) = delete;
  execopt& operator=(const execopt&) = delete;
};

// Runs "cmd parms" through "sh" and returns its output lines (at most
// 10,000; empty lines skipped; more than five empty reads in a row stop the
// reading), or null when it could not be run. `exit_status`, when given,
// receives the command's exit status. The command is bounded by `seconds`
// (0 or less: kDefaultExecSeconds); nothing it started outlives it.
exec_lines u_exec(const char* cmd, const char* parms, int* exit_status = nullptr, int seconds = 0);

// Runs `cmd` with `parms` as a timed child (see execopt) and returns its
// output lines, or null; the status is left in `options`. The program is
// found on the search path and the parameters are split into its words as
// the shell would split them, unless kExecShellText asks for the shell. A child still
// running when the collector is told to stop (go_home) is ended as at its
// time limit.
exec_lines u_exec_timed(const char* cmd, const char* parms, int seconds, execopt& options);

// Starts a permanent child; 0 when it runs, 1 when it could not be created.
int u_exec_perm(const char* cmd, const char* parms, execopt& options);

// The descriptors of a permanent child's standard input (write end) and
// output (read end; the output file when it goes to one): 0, or the sum of
// 1 (no standard input) and 2 (no standard output); 4 when no child exists.
int u_exec_get_fh(int* stdin_fd, int* stdout_fd, execopt& options);

// Closes everything of a permanent child and ends its group (SIGTERM, then
// SIGKILL when it lingers) and reaps it; 0.
int u_exec_term(execopt& options);

// Starts "cmd parms" detached: not waited for, it outlives its run but not
// the collector, and is reaped once ended when a later child is started;
// 0, or 4 when it could not be started.
int u_AsynProcess(const char* cmd, const char* parms);

// Reaps the detached children that have ended; how many still run.
int u_reap_detached();

// Makes the collector the reaper of its descendants' orphans, so that the
// end of a run finds what the run's child left behind (setsid or double
// forking included), and starts the warden, a process that ends the
// children's process groups should the collector be killed; 0, or 1 after
// logging when either cannot be had.
int become_child_reaper();

// Tells the warden that the collector ends and reaps it (waiting at most two
// seconds), so that a collector that ends normally leaves no zombie behind.
void end_warden();

// 1 when `text` is a message line: longer than 9 characters and three
// capital letters, four digits, a severity letter from "EWIST" and a blank
// at position 9, or four capitals, four digits, the letter and a blank at 10.
int u_ismessage(std::string_view text);

// `text` quoted for the shell: in single quotes, an inner single quote
// written as '\''.
std::string shell_quote(std::string_view text);

// Splits a command line into words as the shell would for plain words and
// quotes (single quotes, double quotes, backslashes); at most 500 words.
std::vector<std::string> split_command_words(std::string_view line);

}  // namespace qrx
