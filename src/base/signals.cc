#include "base/signals.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>

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

// Seconds of each of the two waits of the shutdown on a signal: 10, or
// COLL_SHUTDOWN_WAIT (0 to 600) when set. Read outside the handler.
unsigned shutdown_wait = 10;

unsigned read_shutdown_wait() {
  const std::optional<std::string> text = u_getenv("COLL_SHUTDOWN_WAIT", 0, nullptr);
  if (!text) return 10;
  const long value = std::strtol(text->c_str(), nullptr, 10);
  return static_cast<unsigned>(std::clamp(value, 0L, 600L));
}

}  // namespace

void set_signal(int on) {
  if (on) {
    if (saved.installed) return;
    saved.installed = true;
    shutdown_wait = read_shutdown_wait();
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
}

void do_interrupt(int sig) {
  if (sig == SIGHUP) {
    reload_wanted = 1;
    return;
  }
  if (only_noted(sig)) {
    noted = noted | (1 << sig);
    return;
  }
  if (terminating_signal == 0) terminating_signal = sig;
  go_home = go_home + 1;
}

int take_signals() {
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
  reload_wanted = 0;  // a SIGHUP arriving from here on asks for another reload
  return true;
}

unsigned shutdown_wait_seconds() { return shutdown_wait; }

void reset_signals() {
  terminating_signal = 0;
  noted = 0;
  reload_wanted = 0;
}

}  // namespace qrx
