// The collector's single way out: quitting and the at-exit message, plus the
// shutdown hooks through which the channel and the database session take
// part in it. Hooks are installed by the subsystem that owns the resource.
#pragma once

#include <functional>

namespace qrx {

// Exit statuses of a collector that could not start or go on; a shutdown
// request and a terminating signal end with 0, and the command line has 15
// (argument files nested too deeply) and 95 (an argument file unreadable).
enum ExitStatus : int {
  kExitProcessCtl = 20,  // PROCESS.CTL missing or faulty, or no "collector"
  kExitDictCtl = 21,     // DICT.CTL faulty
  kExitCollectCtl = 22,  // COLLECT.CTL faulty, or a start-up editing pass failed
  kExitEvalCtl = 23,     // the evaluator file missing or faulty
  kExitSettings = 24,    // a required setting missing
  kExitChannel = 25,     // the agent channel could not be built
  kExitHooks = 26,       // a turn of the scheduler not connected
  kExitRunning = 27,     // another collector runs for the server and temporary directory
};

// Work that later subsystems attach to the exit path; an empty hook is skipped.
struct ShutdownHooks {
  std::function<int()> terminate_channel;  // request "term"; 0 on success
  std::function<void()> end_database;      // commit and end the session when open
  std::function<void()> send_shut;         // request "shut" on the agent channel
  std::function<void()> delete_cursors;    // the definitions' cursors, before the log closes
};

// The process-wide hooks; the owner of each resource sets its member.
ShutdownHooks& shutdown_hooks();

// Restores signals, sends "shut", deletes cursors, logs "ggn1505" and closes
// the log; then exits with status 0 unless `code` is -1.
void quitting(int code);

// Runs the exit path as quitting(-1) does, then ends the process with `status`.
[[noreturn]] void quit_with_status(int status);

// At-exit handler: logs "col9999" unless a terminating signal was received.
void my_atexit();

}  // namespace qrx
