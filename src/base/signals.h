// Signal handling of the collector: which signals end it, which one asks for
// a reload (SIGHUP), which are only logged, and restoring the dispositions
// that were in force before. The handler only records what arrived (and
// wakes the loop's wait through a pipe); the scheduler's loop acts on it.
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

// True while a terminating signal or a reload request waits for the loop:
// every wait of the loop ends then.
bool signal_waiting();

// Read end of the pipe the handler writes a byte to on SIGHUP and on a
// terminating signal, for waits that poll; -1 while no handlers are installed.
// Readable from such a signal until its request is taken.
int signal_wake_fd();

// For a wait that found the wake pipe readable: true when a signal waits for
// the loop; else empties the pipe (a byte left by a request already taken,
// or by a child between fork and exec) so that the wait can go on.
bool woken_by_signal();

// Forgets recorded signals (tests).
void reset_signals();

}  // namespace qrx
