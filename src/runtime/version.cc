#include "runtime/version.h"

#include <string_view>

#include "runtime/log.h"
#include "runtime/text.h"

namespace qrx {
namespace {

// One module's header: version, check-in date (day, month, year) and time,
// developer id, and a free-form stamp. The compile date is this build's.
struct ModuleHeader {
  const char* program;
  const char* version;
  const char* checkin_day;
  const char* checkin_month;
  const char* checkin_year;
  const char* checkin_time;
  const char* devid;
  const char* stamp;
};

constexpr ModuleHeader kModules[] = {
    {"qrxcoll", "1.0", "10", "Dec", "2026", "00:00:00", "qrx", "collector start-up and scheduler"},
    {"qrxutil", "1.0", "10", "Dec", "2026", "00:00:00", "qrx", "settings, messages and files"},
    {"qrxutl2", "1.0", "10", "Dec", "2026", "00:00:00", "qrx", "command line and environment"},
};

bool selected(const ModuleHeader& module, std::span<const std::string> names) {
  if (names.empty()) return true;
  for (const std::string& name : names) {
    std::string_view bare = name;
    if (bare.starts_with('-')) bare.remove_prefix(1);
    if (u_strlower(bare) == module.program) return true;
  }
  return false;
}

}  // namespace

void print_version_headers(std::span<const std::string> names) {
  // __DATE__ is "Mmm dd yyyy".
  static constexpr std::string_view kDate = __DATE__;
  const std::string day(kDate.substr(4, 2)), month(kDate.substr(0, 3)), year(kDate.substr(7, 4));
  PRINT('i', "ush0100",
        "program            vv check_in_date_time  devid compile__date_time stamp\n");
  for (const ModuleHeader& m : kModules) {
    if (!selected(m, names)) continue;
    PRINT('i', "ush0100", "%-12.12s %8.8s %2.2s%3.3s%4.4s %8.8s %6.6s %2.2s%3.3s%4.4s %8.8s %.66s\n",
          m.program, m.version, m.checkin_day, m.checkin_month, m.checkin_year, m.checkin_time,
          m.devid, day.c_str(), month.c_str(), year.c_str(), __TIME__, m.stamp);
  }
}

}  // namespace qrx
