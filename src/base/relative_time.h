// Relative time: whole seconds counted from the start of 29 February 1992
// (day 0, a Saturday) in local time, and the time texts built on it. Every
// schedule in the collector is computed in these units.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace qrx {

constexpr int32_t kSecondsPerDay = 86400;

// Day of the week of a day number: 0 Saturday, 1 Sunday, 2..6 Monday..Friday.
inline int day_of_week(int32_t day) { return ((day % 7) + 7) % 7; }

// The now text YYYYMMDDhhmmss of `t` in local time.
std::string get_time(std::time_t t);

// The display text YYYY/MM/DD hh:mm:ss of a now text.
std::string form_time(const std::string& now_text);

// Day number of a date text YYYYMMDD (further characters are ignored); -1
// when the text does not start with eight digits.
int32_t relative_date(const std::string& date_text);

// Relative seconds of a now text YYYYMMDDhhmmss; -1 when it is malformed.
int32_t relative_sec(const std::string& now_text);

// Relative seconds of `t` in local time.
int32_t relative_now(std::time_t t);

// Date text YYYYMMDD of a day number.
std::string real_date(int32_t day);

// Date-and-time text YYYYMMDDhhmmss of relative seconds.
std::string secs_to_date(int32_t seconds);

// Listing form hh:mm:ss of a number of seconds from midnight.
std::string secs_to_hour(int32_t seconds);

}  // namespace qrx
