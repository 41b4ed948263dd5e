// The collector's single way out: quitting and the at-exit message, plus the
// shutdown hooks through which the channel and the database session take
// part in it. Hooks are installed by the subsystem that owns the resource.
#pragma once

#include <functional>

namespace qrx {

// Work that later subsystems attach to the exit path; an empty hook is skipped.
struct ShutdownHooks {
  std::function<int()> terminate_channel;  // request "term"; 0 on success
  std::function<void()> end_database;      // commit and end the session when open
  std::function<void()> send_shut;         // request "shut" on the agent channel
};

// The process-wide hooks; the owner of each resource sets its member.
ShutdownHooks& shutdown_hooks();

// Restores signals, sends "shut", deletes cursors, logs "ggn1505" and closes
// the log; then exits with status 0 unless `code` is -1.
void quitting(int code);

// At-exit handler: logs "col9999" unless a terminating signal was received.
void my_atexit();

}  // namespace qrx
