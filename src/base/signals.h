// Signal handling of the collector: which signals end it, which one asks for
// a reload (SIGHUP), which are only logged, and restoring the dispositions
// that were in force before. The handler only records what arrived; the
// scheduler's loop acts on it.
#pragma once

namespace qrx {

// on = 1 installs the handlers (as far as nosignals allows) and saves the
// previous dispositions; on = 0 restores them. Repeating either is a no-op.
void set_signal(int on);

// Handler: records the signal; SIGHUP asks for a reload of the definitions;
// any signal but SIGHUP, SIGTTOU, SIGCHLD and SIGUSR1 also raises go_home.
// Safe for any moment of the process.
void do_interrupt(int sig);

// Logs "cir5004" for each signal that was only to be noted since the last
// call. Returns the terminating signal received, or 0. Called by the loop.
int take_signals();

// True once for each reload request (SIGHUP) since the last call. Called by
// the loop.
bool take_reload_request();

// Seconds of each of the two waits of the shutdown on a signal: 10, or
// COLL_SHUTDOWN_WAIT (0 to 600) as read when the handlers were installed.
unsigned shutdown_wait_seconds();

// Forgets recorded signals (tests).
void reset_signals();

}  // namespace qrx
