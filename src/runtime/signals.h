// Signal handling of the collector: which signals end it, which are only
// logged, and restoring the dispositions that were in force before.
#pragma once

namespace qrx {

// on = 1 installs the handlers (as far as nosignals allows) and saves the
// previous dispositions; on = 0 restores them. Repeating either is a no-op.
void set_signal(int on);

// Handler: logs and returns for SIGHUP, SIGTTOU, SIGCHLD and SIGUSR1; for any
// other signal raises go_home, ends the channel and the database session
// between two waits of 10 seconds each (COLL_SHUTDOWN_WAIT overrides) and
// quits.
void do_interrupt(int sig);

}  // namespace qrx
