#include "base/relative_time.h"

#include <cctype>
#include <cstdio>

#include "base/time_text.h"

namespace qrx {
namespace {

// Floor division: the day formulas need it for dates before day 0.
int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

bool digits(const std::string& text, size_t from, size_t count, int* value) {
  if (text.size() < from + count) return false;
  int v = 0;
  for (size_t i = from; i < from + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

}  // namespace

std::string get_time(std::time_t t) { return u_format_time(t, kTimeCompact); }

std::string form_time(const std::string& now_text) {
  if (now_text.size() < 14) return now_text;
  return now_text.substr(0, 4) + "/" + now_text.substr(4, 2) + "/" + now_text.substr(6, 2) + " " +
         now_text.substr(8, 2) + ":" + now_text.substr(10, 2) + ":" + now_text.substr(12, 2);
}

int32_t relative_date(const std::string& date_text) {
  int year, month, day;
  if (!digits(date_text, 0, 4, &year) || !digits(date_text, 4, 2, &month) ||
      !digits(date_text, 6, 2, &day))
    return -1;
  if (year < 1900) year += year < 81 ? 2000 : 1900;
  if (month > 2) {
    month -= 3;
  } else {
    month += 9;
    year -= 1;
  }
  return static_cast<int32_t>(floor_div(36525LL * year - 72757800LL, 100) +
                              floor_div(306LL * month + 5, 10) + day);
}

int32_t relative_sec(const std::string& now_text) {
  int hh, mm, ss;
  int32_t day = relative_date(now_text);
  if (day < 0 || !digits(now_text, 8, 2, &hh) || !digits(now_text, 10, 2, &mm) ||
      !digits(now_text, 12, 2, &ss))
    return -1;
  return day * kSecondsPerDay + hh * 3600 + mm * 60 + ss;
}

int32_t relative_now(std::time_t t) { return relative_sec(get_time(t)); }

std::string real_date(int32_t n) {
  int64_t q = floor_div(100LL * n, 36525);
  int64_t d = n - floor_div(36525LL * q, 100);
  int64_t year = 1992 + q, month = 2, day = 29;  // day 0 of a cycle's March is 29 February
  if (d > 0) {
    int64_t m = floor_div(10 * d - 5, 306);
    day = d - floor_div(306 * m + 5, 10);
    month = m + 3;
    if (month > 12) {
      month = m - 9;
      year = 1993 + q;
    }
  }
  char buf[64];  // room for any three 64-bit numbers, so nothing is ever cut
  std::snprintf(buf, sizeof buf, "%04lld%02lld%02lld", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day));
  return buf;
}

std::string secs_to_date(int32_t seconds) {
  int32_t day = static_cast<int32_t>(floor_div(seconds, kSecondsPerDay));
  int32_t rest = seconds - day * kSecondsPerDay;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d%02d%02d", rest / 3600, rest / 60 % 60, rest % 60);
  return real_date(day) + buf;
}

std::string secs_to_hour(int32_t seconds) {
  int32_t rest = static_cast<int32_t>(seconds - floor_div(seconds, kSecondsPerDay) * kSecondsPerDay);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", rest / 3600, rest / 60 % 60, rest % 60);
  return buf;
}

}  // namespace qrx
