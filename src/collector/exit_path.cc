#include "collector/exit_path.h"

#include <cstdlib>

#include "base/env_vars.h"
#include "base/log.h"
#include "base/signals.h"
#include "base/time_text.h"
#include "exits/child_process.h"

namespace qrx {

ShutdownHooks& shutdown_hooks() {
  static ShutdownHooks hooks;
  return hooks;
}

void quitting(int code) {
  std::string now = u_get_time(kTimeSlashed);
  set_signal(0);
  ShutdownHooks& hooks = shutdown_hooks();
  if (hooks.send_shut) hooks.send_shut();
  if (hooks.delete_cursors) hooks.delete_cursors();
  end_warden();
  PRINT('s', "ggn1505", "Time = %s, Collector ended\n", now.c_str());
  close_PRINT();
  if (code != -1) std::exit(0);
}

void quit_with_status(int status) {
  quitting(-1);
  std::exit(status);
}

void my_atexit() {
  if (go_home) return;
  PRINT('s', "col9999", "Exiting collector at %s\n", u_get_time(kTimeSlashed).c_str());
}

}  // namespace qrx
