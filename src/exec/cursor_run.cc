#include "exec/cursor_run.h"

#include "exec/dynamic_fetch.h"
#include "runtime/database.h"

namespace qrx {

int run_cursor(curs& c, const std::string& time_text) {
  if (c.hold == 'Y') return 0;
  if (!c.no_sql && !c.fetch_exit) {
    if (int code = ensure_session(c); code != 0) return code;
  }
  int32_t rows = 0;
  return prep_l_fetch(c, time_text, rows);
}

int pre_prep_l_fetch(curs& c, const std::string& time_text) { return run_cursor(c, time_text); }

void queue_post_cursor(curs&, curs&, int32_t) {}

}  // namespace qrx
