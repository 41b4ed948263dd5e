#include "ctl/control_parse.h"

#include "base/log.h"
#include "base/relative_time.h"

namespace qrx {

namespace {

const char* type_name(int16_t type) {
  static const char* const kNames[] = {"none", "local", "sql*net", "dial", "ctlib"};
  return type >= 0 && type <= 4 ? kNames[type] : "unknown";
}

// Window times as written in the file: the stored ones have the offset taken off.
void show_windows(const WindowList& list, const char* day, int32_t offset, const char* start_id,
                  const char* end_id) {
  for (const o_ptr& w : list) {
    PRINT('t', start_id, "%s start = %d\n", day, w.start + offset);
    PRINT('t', end_id, "%s end = %d\n", day, w.end + offset);
  }
}

}  // namespace

void show_processes(const Definitions& defs) {
  for (const auto& d : defs.distrib_anchor) {
    PRINT('t', "psp1380", "Process name:%s\n", d->distrib_name.c_str());
    PRINT('t', "psp1390", "Type = %s\n", type_name(d->type));
    PRINT('t', "psp1400", "Logon id = %s\n", d->logon_id.c_str());
    PRINT('t', "psp1410", "Password = ***\n");
    PRINT('t', "psp1420", "Server id = %s\n", d->server_id.c_str());
    PRINT('t', "psp1430", "Time offset = %d\n", d->time_offset);
    show_windows(d->saturday, "Saturday", d->time_offset, "psp1440", "psp1441");
    show_windows(d->sunday, "Sunday", d->time_offset, "psp1450", "psp1451");
    show_windows(d->mon_fri, "Mon_Fri", d->time_offset, "psp1460", "psp1461");
    PRINT('t', "psp1470", "Interval = %d\n", d->interval);
    for (int32_t day : d->holidays) {
      if (day == 0) break;
      PRINT('t', "psp1480", "Holiday = %s\n", real_date(day).c_str());
    }
    PRINT('t', "psp1490", "Window open at %s\n", form_time(secs_to_date(d->window_start)).c_str());
    PRINT('t', "psp1500", "Window closes at %s\n", form_time(secs_to_date(d->window_end)).c_str());
  }
}

}  // namespace qrx
