#include "base/time_text.h"

#include <cstdio>

#include "base/clock.h"

namespace qrx {

std::tm u_localtime(std::time_t when) {
  std::tm tm{};
  localtime_r(&when, &tm);
  return tm;
}

std::string u_format_time(std::time_t when, int form) {
  const std::tm tm = u_localtime(when);
  char text[128];
  switch (form) {
    case kTimeSlashed:
      std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
      break;
    case kTimeLocale:
      if (std::strftime(text, sizeof text, "%c", &tm) == 0) text[0] = '\0';
      break;
    case kTimeAgent:
    case kTimeAgentMs:
      std::snprintf(text, sizeof text, "%03d%02d%02d%02d%02d%02d%s", tm.tm_year, tm.tm_mon + 1,
                    tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, form == kTimeAgentMs ? "000" : "");
      break;
    default:
      std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
      break;
  }
  return text;
}

std::string u_get_time(int form) { return u_format_time(the_clock().now(), form); }

std::string u_local_time() {
  const std::tm tm = u_localtime(the_clock().now());
  char text[16];
  std::snprintf(text, sizeof text, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

}  // namespace qrx
