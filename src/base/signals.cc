#include "base/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

#include "base/env_vars.h"
#include "base/log.h"
#include "base/settings.h"

namespace qrx {
namespace {

// One signal the collector handles: the nosignals value below which it is
// touched, and whether it is ignored rather than handled.
struct SignalRow {
  int sig;
  int below;
  bool ignore;
};
constexpr SignalRow kSignals[] = {
    {SIGINT, 4, false},  {SIGTERM, 4, false}, {SIGHUP, 3, false},  {SIGTTOU, 3, true},
    {SIGQUIT, 3, false}, {SIGABRT, 3, false}, {SIGUSR1, 3, false}, {SIGUSR2, 3, false},
};

struct SavedSignals {
  bool installed = false;
  bool touched[std::size(kSignals)] = {};
  struct sigaction previous[std::size(kSignals)] = {};
};
SavedSignals saved;

// What the handler recorded: the first terminating signal, and a bit per
// noted signal that the loop has still to log (all of them are below 32).
volatile std::sig_atomic_t terminating_signal = 0;
volatile std::sig_atomic_t noted = 0;
// Set by SIGHUP until the loop takes the reload request.
volatile std::sig_atomic_t reload_wanted = 0;

bool only_noted(int sig) { return sig == SIGTTOU || sig == SIGCHLD || sig == SIGUSR1; }

// The wake pipe: the handler writes to [1], the loop's waits poll [0]. Both
// ends are non-blocking, so that a full pipe never stops the handler.
volatile std::sig_atomic_t wake_pipe[2] = {-1, -1};

void wake_loop() {
  const int fd = wake_pipe[1];
  if (fd < 0) return;
  const int saved_errno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  errno = saved_errno;
}

void drain_wake_pipe() {
  const int fd = wake_pipe[0];
  if (fd < 0) return;
  char bytes[64];
  while (::read(fd, bytes, sizeof bytes) > 0) {
  }
}

void open_wake_pipe() {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;  // waits then end on EINTR only
  wake_pipe[0] = fds[0];
  wake_pipe[1] = fds[1];
}

void close_wake_pipe() {
  for (int i : {1, 0}) {
    const int fd = wake_pipe[i];
    wake_pipe[i] = -1;
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace

void set_signal(int on) {
  if (on) {
    if (saved.installed) return;
    saved.installed = true;
    open_wake_pipe();
    for (size_t i = 0; i < std::size(kSignals); ++i) {
      const SignalRow& row = kSignals[i];
      saved.touched[i] = env_vars.nosignals < row.below;
      if (!saved.touched[i]) continue;
      struct sigaction action {};
      action.sa_handler = row.ignore ? SIG_IGN : do_interrupt;
      // No SA_RESTART: a sleep or a wait that the signal interrupts returns,
      // so that the loop sees it at once.
      sigemptyset(&action.sa_mask);
      for (const SignalRow& other : kSignals) sigaddset(&action.sa_mask, other.sig);
      sigaction(row.sig, &action, &saved.previous[i]);
    }
    return;
  }
  if (!saved.installed) return;
  for (size_t i = 0; i < std::size(kSignals); ++i)
    if (saved.touched[i]) sigaction(kSignals[i].sig, &saved.previous[i], nullptr);
  saved = SavedSignals{};
  close_wake_pipe();
}

void do_interrupt(int sig) {
  if (sig == SIGHUP) {
    reload_wanted = 1;
    wake_loop();
    return;
  }
  if (only_noted(sig)) {
    noted = noted | (1 << sig);
    return;
  }
  if (terminating_signal == 0) terminating_signal = sig;
  go_home = go_home + 1;
  wake_loop();
}

int take_signals() {
  // A wake-up left from a request already taken would end every wait early.
  if (!signal_waiting()) drain_wake_pipe();
  // Block the handled signals while the noted bits are read and cleared.
  sigset_t block, previous;
  sigemptyset(&block);
  for (const SignalRow& row : kSignals) sigaddset(&block, row.sig);
  sigaddset(&block, SIGCHLD);
  sigprocmask(SIG_BLOCK, &block, &previous);
  const unsigned bits = static_cast<unsigned>(noted);
  noted = 0;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  for (int sig = 1; sig < 32; ++sig)
    if ((bits >> sig) & 1u) PRINT('i', "cir5004", "Received interupt (%d). Returning\n", sig);
  return terminating_signal;
}

bool take_reload_request() {
  if (!reload_wanted) return false;
  // Drained first: a SIGHUP between the two leaves a byte behind, which at
  // worst ends one wait early, never a request without its wake-up.
  drain_wake_pipe();
  reload_wanted = 0;  // a SIGHUP arriving from here on asks for another reload
  return true;
}

bool signal_waiting() { return go_home != 0 || reload_wanted != 0; }

int signal_wake_fd() { return wake_pipe[0]; }

bool woken_by_signal() {
  if (signal_waiting()) return true;
  drain_wake_pipe();
  return signal_waiting();  // one that came meanwhile keeps its flag
}

void reset_signals() {
  terminating_signal = 0;
  noted = 0;
  reload_wanted = 0;
  drain_wake_pipe();
}

}  // namespace qrx
