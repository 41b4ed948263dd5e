#include "exec/column_exits.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "base/log.h"
#include "base/text.h"
#include "base/time_text.h"
#include "ctl/control_parse.h"
#include "ctl/cursor_clauses.h"
#include "exec/bases.h"
#include "exec/find_col.h"

namespace qrx {

namespace {

constexpr std::size_t kTimeFieldWidth = 16;

using Routine = int (*)(curs&, columns&, char*, const col_exit&, std::string_view);

// Indexed by ColExitRoutine, as the parser's name table.
constexpr Routine kRoutines[kColexCount] = {colex_r, colex_l, colex_m, colex_s, colex_c, colex_m2, colex_t};

std::size_t width_of(const columns& col) { return static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0)); }

// `value` written into the field: right-aligned for a numeric column,
// left-aligned otherwise, blank-padded, cut to the width.
void put(char* field, std::size_t width, std::string_view value, bool right) {
  std::memset(field, ' ', width);
  const std::size_t n = std::min(value.size(), width);
  if (right)
    std::memcpy(field + width - n, value.data() + value.size() - n, n);
  else
    std::memcpy(field, value.data(), n);
}

// Local time of the 14-digit `text` (YYYYMMDDhhmmss), or -1.
std::time_t local_time_of(std::string_view text) {
  if (text.size() < 14) return -1;
  std::tm tm{};
  if (std::sscanf(std::string(text.substr(0, 14)).c_str(), "%4d%2d%2d%2d%2d%2d", &tm.tm_year, &tm.tm_mon,
                  &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
    return -1;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// Whole minutes, rounded, from `then` to the fetch time; 0 for a later time.
long minutes_to_fetch(std::time_t then, std::string_view fetch_time) {
  const std::time_t fetched = local_time_of(fetch_time);
  if (then == -1 || fetched == -1 || fetched <= then) return 0;
  return std::lround(static_cast<double>(fetched - then) / 60.0);
}

// The minutes written right-aligned; the column counts as numeric from now on.
void put_minutes(columns& col, char* field, long minutes) {
  const std::string text = std::to_string(minutes);
  put(field, kTimeFieldWidth, text, true);
  col.col_type = kColNumeric;
}

// The 16-character timestamp of the binary time (seconds since the epoch)
// in the field's first four bytes.
std::string binary_timestamp(const char* field, std::time_t* when) {
  int32_t seconds = 0;
  std::memcpy(&seconds, field, sizeof seconds);
  PRINT('t', "ccc4049", "UNIX time() value: %d\n", seconds);
  *when = seconds;
  std::tm tm = u_localtime(*when);
  int year = tm.tm_year;
  if (year < 1900) year = year < 81 ? 2000 + year : 1900 + year;
  char text[80];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d00", year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec);
  return std::string(text, kTimeFieldWidth);
}

// The three exits that read a 16-character time field: their messages.
struct TimeExit {
  const char* call_id;
  const char* length_id;
  const char* label;  // "Minutes", "Minutes2", "Timestamp"
};
constexpr TimeExit kMinutesExit{"ccc4045", "ccc4046", "Minutes"};
constexpr TimeExit kMinutes2Exit{"ccc4047", "ccc4048", "Minutes2"};
constexpr TimeExit kTimestampExit{"ccc4052", "ccc4053", "Timestamp"};

// The field of `col` in `data`, or null after logging that it is not 16 wide.
char* time_field(const curs& c, const columns& col, char* data, const TimeExit& exit) {
  PRINT('t', exit.call_id, "%s call for %s in cursor %s\n", exit.label, col.name.c_str(), c.name.c_str());
  if (width_of(col) == kTimeFieldWidth) return data + col.stored_offset;
  PRINT('e', exit.length_id, "%s calculation for column %s when length != 16\n", exit.label, col.name.c_str());
  return nullptr;
}

}  // namespace

int edit_col_exits(cursor_set& cursors) {
  int failed = 0;
  for (const auto& cp : cursors.cur_anchor) {
    curs& c = *cp;
    for (col_exit_block& block : c.col_exits) {
      block.resolved = column_named(c, block.column);
      if (!block.resolved) {
        PRINT('e', "pce4190", "Column %s in cursor %s not matched for column exit\n", block.column.c_str(),
              c.name.c_str());
        failed = 1;
        continue;
      }
      for (col_exit& e : block.exits) {
        if (e.routine != kColexC) continue;
        if (find_col(c, e.other, &e.other_column, &e.other_cursor) != 0) {
          PRINT('e', "pce4185", "Column (%s) in concatenate not found\n", e.other.c_str());
          failed = 1;
        }
      }
    }
  }
  if (failed)
    PRINT('e', "pce4195", "Column exit editing failed\n");
  else
    PRINT('i', "pce4200", "Column exit editing was successful\n");
  return failed;
}

int column_exit_driver(curs& c, const col_exit_block& block, char* data, std::string_view fetch_time) {
  if (!block.resolved) return 1;
  for (const col_exit& e : block.exits)
    if (int rc = kRoutines[e.routine](c, *block.resolved, data, e, fetch_time); rc != 0) return rc;
  return 0;
}

int run_column_exits(curs& c, char* data, std::string_view fetch_time) {
  for (const col_exit_block& block : c.col_exits)
    if (int rc = column_exit_driver(c, block, data, fetch_time); rc != 0) return rc;
  return 0;
}

int colex_r(curs&, columns& col, char* data, const col_exit&, std::string_view) {
  char* field = data + col.stored_offset;
  // A text column is sent as its first output-length bytes: the value ends
  // where they end, the stored bytes after them stay blank.
  std::size_t width = width_of(col);
  if (col.output_length > 0 && col.output_length < width) {
    std::memset(field + col.output_length, ' ', width - col.output_length);
    width = col.output_length;
  }
  const std::string_view value(field, width);
  const std::size_t last = value.find_last_not_of(' ');
  if (last == std::string_view::npos) return 0;
  const std::string kept(value.substr(0, last + 1));
  put(field, width, kept, true);
  return 0;
}

int colex_l(curs&, columns& col, char* data, const col_exit&, std::string_view) {
  char* field = data + col.stored_offset;
  const std::size_t width = width_of(col);
  const std::string_view value(field, width);
  const std::size_t first = value.find_first_not_of(' ');
  if (first == std::string_view::npos) return 0;
  const std::string kept(value.substr(first));
  put(field, width, kept, false);
  return 0;
}

int colex_s(curs& c, columns& col, char* data, const col_exit& e, std::string_view) {
  char* field = data + col.stored_offset;
  const std::size_t width = width_of(col);
  const auto start = static_cast<std::size_t>(e.first);
  if (start > width) {
    PRINT('e', "ccc4056", "Substring starting position exceeds length of %s in cursor %s\n", col.name.c_str(),
          c.name.c_str());
    return 1;
  }
  std::size_t length = static_cast<std::size_t>(e.second);
  if (start - 1 + length > width) {
    PRINT('w', "ccc4060", "Substring starting plus len exceeds length of %s in cursor %s\n", col.name.c_str(),
          c.name.c_str());
    length = width - (start - 1);
  }
  const std::string part(field + start - 1, length);
  put(field, width, part, false);
  return 0;
}

int colex_c(curs& c, columns& col, char* data, const col_exit& e, std::string_view) {
  if (!e.other_column || !e.other_cursor) return 1;
  const columns& other = *e.other_column;
  const char* at = e.other_cursor == &c ? data + other.stored_offset
                                        : locate_base(*e.other_cursor, c, other.stored_offset);
  if (!at) {
    PRINT('e', "ccf4580", "In concat, second column (%s) is in cursor(%s) with no rows\n", other.name.c_str(),
          e.other_cursor->name.c_str());
    return 1;
  }
  const std::string second = u_stripx(std::string_view(at, width_of(other)), 'B');
  if (second.empty()) return 0;
  char* field = data + col.stored_offset;
  const std::size_t width = width_of(col);
  std::string joined = u_stripx(std::string_view(field, width), 'B');
  joined.append(second);
  joined.resize(std::min(joined.size(), width));
  put(field, width, joined, col.col_type == kColNumeric);
  return 0;
}

int colex_m(curs& c, columns& col, char* data, const col_exit&, std::string_view fetch_time) {
  char* field = time_field(c, col, data, kMinutesExit);
  if (!field) return 1;
  // MM?DD?YYYY?hh?mm
  const std::string text(field, kTimeFieldWidth);
  const std::string stamp = text.substr(6, 4) + text.substr(0, 2) + text.substr(3, 2) + text.substr(11, 2) +
                            text.substr(14, 2) + "00";
  const bool digits = std::all_of(stamp.begin(), stamp.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
  put_minutes(col, field, digits ? minutes_to_fetch(local_time_of(stamp), fetch_time) : 0);
  return 0;
}

int colex_m2(curs& c, columns& col, char* data, const col_exit&, std::string_view fetch_time) {
  char* field = time_field(c, col, data, kMinutes2Exit);
  if (!field) return 1;
  std::time_t when = 0;
  const std::string stamp = binary_timestamp(field, &when);
  PRINT('t', "ccc4050", "Converted Timestamp value = %s\n", stamp.c_str());
  const long minutes = minutes_to_fetch(when, fetch_time);
  PRINT('t', "ccc4051", "Converted Minutes value = %ld\n", minutes);
  put_minutes(col, field, minutes);
  return 0;
}

int colex_t(curs& c, columns& col, char* data, const col_exit&, std::string_view) {
  char* field = time_field(c, col, data, kTimestampExit);
  if (!field) return 1;
  std::time_t when = 0;
  const std::string stamp = binary_timestamp(field, &when);
  PRINT('t', "ccc4055", "Converted Timestamp value = %s\n", stamp.c_str());
  std::memcpy(field, stamp.data(), kTimeFieldWidth);
  return 0;
}

}  // namespace qrx
