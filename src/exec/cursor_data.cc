#include "exec/cursor_data.h"

#include "exec/cursor_run.h"
#include "runtime/relative_time.h"

namespace qrx {

int get_cursor_data(int32_t seconds, curs& c) {
  if (c.is_virtual) {
    c.rows_changed = 1;
    return 0;
  }
  return pre_prep_l_fetch(c, secs_to_date(seconds)) == 0 ? 0 : 1;
}

}  // namespace qrx
