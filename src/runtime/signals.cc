#include "runtime/signals.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>

#include "qrx/env_vars.h"
#include "runtime/clock.h"
#include "runtime/exit_path.h"
#include "runtime/log.h"
#include "runtime/settings.h"

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
    {SIGINT, 4, false},  {SIGTERM, 4, false}, {SIGHUP, 3, true},   {SIGTTOU, 3, true},
    {SIGQUIT, 3, false}, {SIGABRT, 3, false}, {SIGUSR1, 3, false}, {SIGUSR2, 3, false},
};

struct SavedSignals {
  bool installed = false;
  bool touched[std::size(kSignals)] = {};
  struct sigaction previous[std::size(kSignals)] = {};
};
SavedSignals saved;

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
      // A second terminating signal must not re-enter the shutdown while it
      // waits; SIGALRM stays open for the channel's bounded waits.
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
  if (sig == SIGHUP || sig == SIGTTOU || sig == SIGCHLD || sig == SIGUSR1) {
    PRINT('i', "cir5004", "Received interupt (%d). Returning\n", sig);
    return;
  }
  go_home = go_home + 1;
  PRINT('a', "cir5005", "Received interupt (%d). Quitting.\n", sig);
  the_clock().sleep_seconds(shutdown_wait);
  ShutdownHooks& hooks = shutdown_hooks();
  if (hooks.terminate_channel && hooks.terminate_channel() != 0)
    u_msg(nullptr, nullptr, 0, "ePt", "cir5008", "Error terminating RQS IPC environment");
  if (hooks.end_database) hooks.end_database();
  the_clock().sleep_seconds(shutdown_wait);
  quitting(0);
}

}  // namespace qrx
