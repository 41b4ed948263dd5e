// Local-time texts for messages, file headers and row stamps, all read from
// the clock seam (base/clock.h).
#pragma once

#include <ctime>
#include <string>

namespace qrx {

// Forms of u_get_time.
enum : int {
  kTimeSlashed = 1,   // "%04d/%02d/%02d %02d:%02d:%02d"
  kTimeLocale = 2,    // the locale's "%c"
  kTimeAgent = 3,     // "%03d%02d%02d%02d%02d%02d", year minus 1900 first
  kTimeAgentMs = 4,   // kTimeAgent followed by "000" milliseconds
  kTimeCompact = 0,   // any other form: "%04d%02d%02d%02d%02d%02d"
};

// The current local time in `form`.
std::string u_get_time(int form);

// `when` as local time in `form`.
std::string u_format_time(std::time_t when, int form);

// The current local time as "HHMMSS", as message prefixes show it.
std::string u_local_time();

// `when` broken down as local time.
std::tm u_localtime(std::time_t when);

}  // namespace qrx
