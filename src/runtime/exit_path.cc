#include "runtime/exit_path.h"

#include <cstdlib>
#include <ctime>

#include "qrx/env_vars.h"
#include "runtime/clock.h"
#include "runtime/log.h"
#include "runtime/signals.h"

namespace qrx {

ShutdownHooks& shutdown_hooks() {
  static ShutdownHooks hooks;
  return hooks;
}

std::string time_text() {
  std::time_t now = the_clock().now();
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

void quitting(int code) {
  std::string now = time_text();
  set_signal(0);
  ShutdownHooks& hooks = shutdown_hooks();
  if (hooks.send_shut) hooks.send_shut();
  if (hooks.delete_cursors) hooks.delete_cursors();
  PRINT('s', "ggn1505", "Time = %s, Collector ended\n", now.c_str());
  close_PRINT();
  if (code != -1) std::exit(0);
}

void my_atexit() {
  if (go_home) return;
  PRINT('s', "col9999", "Exiting collector at %s\n", time_text().c_str());
}

}  // namespace qrx
