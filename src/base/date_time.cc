#include "base/date_time.h"

#include <cctype>
#include <cstdio>

#include "base/log.h"
#include "base/trace.h"

namespace qrx {

namespace {

constexpr std::size_t kMaxInput = 99;
constexpr std::size_t kStampLength = 16;
constexpr std::size_t kMaxCompactDigits = 16;
constexpr std::size_t kMaxFieldDigits = 9;  // keeps field values within int

// Error numbers. Compact digit forms and checks:
//   662 compact form starting with 0 that is not an agent stamp
//   677 compact form starting with 2 without a month after 20 or 20YY
//   700 compact form starting with 1 without a month in any accepted place
//   709 compact form starting with 7, 8 or 9 without a month after the year
//   607 month, 608 day, 609 hour, 610 minute, 611 second out of range
//   619 year offset (year minus 1900, two-digit years below 50 in 20xx) not 0..250
// Separated forms, one number per place where a field or separator is wrong:
//   519 m/d/y: day missing after "m/"
//   520 m/d/y: separator after the day is not "/"
//   521 m/d/y: year missing after "m/d/"
//   530 y/m/d: month missing after "y/"
//   531 y/m/d: separator after the month is not "/"
//   532 y/m/d: day missing after "y/m/"
//   540 d-m-y: month missing after "d-"
//   541 d-m-y: separator after the month is not "-"
//   542 d-m-y: year missing after "d-m-"
//   550 time: minute missing after the hour's ":" or "."
//   551 time: separator after the minute is not ":" or "."
//   552 time: second missing after the minute's ":" or "."
//   553 time: second not exactly two digits
//   570 the first field is followed by a separator other than "/" and "-"
//   581 the text begins with a separator (first field missing)
//   589 a time block without separators that is not six digits
//   603 anything left over after the date and time
enum DateError : int {
  kErrMdyDay = 519, kErrMdySep = 520, kErrMdyYear = 521,
  kErrYmdMonth = 530, kErrYmdSep = 531, kErrYmdDay = 532,
  kErrDmyMonth = 540, kErrDmySep = 541, kErrDmyYear = 542,
  kErrMinute = 550, kErrMinuteSep = 551, kErrSecond = 552, kErrSecondDigits = 553,
  kErrFirstSep = 570, kErrFirstField = 581, kErrTimeBlock = 589, kErrLeftOver = 603,
  kErrMonth = 607, kErrDay = 608, kErrHour = 609, kErrMinuteRange = 610, kErrSecondRange = 611,
  kErrYear = 619, kErrCompact0 = 662, kErrCompact2 = 677, kErrCompact1 = 700,
  kErrCompact7 = 709,
};

bool digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// A digit run: its value (capped) and length.
struct Field {
  int value = 0;
  std::size_t length = 0;
};

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  Field number() {
    Field f;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && digit(text_[pos_])) {
      if (f.length < kMaxFieldDigits) f.value = f.value * 10 + (text_[pos_] - '0');
      else f.value = 999999999;
      ++f.length;
      ++pos_;
    }
    if (trace_level(9) > 0 && f.length > 0) {
      const std::string shown(text_.substr(start, f.length));
      if (pos_ < text_.size()) PRINT('t', "udt8082", "tcpin:%s %c\n", shown.c_str(), text_[pos_]);
      else PRINT('t', "udt8081", "tcpin:%s %c.\n", shown.c_str(), ' ');
    }
    return f;
  }
  void skip_blanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
  }
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  bool accept(char a, char b = '\0') {
    const char c = peek();
    if (c == '\0' || (c != a && c != b)) return false;
    ++pos_;
    return true;
  }
  bool at_end() const { return pos_ >= text_.size(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

struct Stamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// A month field at `pos`: 0 and any digit, or 1 and 0, 1 or 2.
bool month_at(std::string_view d, std::size_t pos) {
  if (pos + 1 >= d.size()) return false;
  return (d[pos] == '0' && digit(d[pos + 1])) ||
         (d[pos] == '1' && d[pos + 1] >= '0' && d[pos + 1] <= '2');
}

// Lays the compact digit form `d` into `out`; 0 or an error number.
int compact_form(std::string_view d, std::string& out) {
  std::string laid;
  switch (d[0]) {
    case '0':
      if (d.size() > 1 && d[1] == '9' && month_at(d, 3)) laid = d;
      else return kErrCompact0;
      break;
    case '2':
      if (d.size() > 1 && d[1] == '0' && month_at(d, 4)) laid = "1" + std::string(d.substr(2));
      else if (d.size() > 1 && d[1] == '0' && month_at(d, 2)) laid = "1" + std::string(d);
      else return kErrCompact2;
      break;
    case '1':
      if (d.size() > 1 && d[1] >= '0' && d[1] <= '6' && month_at(d, 3)) laid = d;
      else if (d.size() > 1 && d[1] == '9' && month_at(d, 4)) laid = "0" + std::string(d.substr(2));
      else if (d.size() > 1 && d[1] == '9' && month_at(d, 3)) laid = d;
      else return kErrCompact1;
      break;
    case '7':
    case '8':
    case '9':
      if (month_at(d, 2)) laid = "0" + std::string(d);
      else return kErrCompact7;
      break;
    default:
      // No form starts with 3 to 6; treated like a text without a known separator.
      return kErrFirstSep;
  }
  out.assign(kStampLength, '0');
  out.replace(0, std::min(laid.size(), kStampLength), laid.substr(0, kStampLength));
  return 0;
}

// The time after the date: "h:m:s" / "h.m.s", "hhmmss" or nothing.
int time_part(Scanner& in, Stamp& s) {
  in.skip_blanks();
  if (in.at_end()) return 0;
  if (!digit(in.peek())) return kErrLeftOver;
  const Field first = in.number();
  if (in.accept(':', '.')) {
    s.hour = first.value;
    const Field minute = in.number();
    if (minute.length == 0) return kErrMinute;
    s.minute = minute.value;
    if (!in.accept(':', '.')) return kErrMinuteSep;
    const Field second = in.number();
    if (second.length == 0) return kErrSecond;
    if (second.length != 2) return kErrSecondDigits;
    s.second = second.value;
  } else {
    if (first.length != 6) return kErrTimeBlock;
    s.hour = first.value / 10000;
    s.minute = first.value / 100 % 100;
    s.second = first.value % 100;
  }
  in.skip_blanks();
  return in.at_end() ? 0 : kErrLeftOver;
}

// A date with separators ("m/d/y", "y/m/d", "d-m-y") and its optional time.
int separated_form(std::string_view text, Stamp& s) {
  Scanner in(text);
  const Field first = in.number();
  const char sep = in.peek();
  if (sep != '/' && sep != '-') return kErrFirstSep;
  if (first.length == 0) return kErrFirstField;
  in.accept(sep);

  // Where each later field goes and the error for each missing piece.
  int* second_slot;
  int* third_slot;
  int missing_second, wrong_sep, missing_third;
  if (sep == '/' && first.value < 13) {
    s.month = first.value;
    second_slot = &s.day, third_slot = &s.year;
    missing_second = kErrMdyDay, wrong_sep = kErrMdySep, missing_third = kErrMdyYear;
  } else if (sep == '/') {
    s.year = first.value;
    second_slot = &s.month, third_slot = &s.day;
    missing_second = kErrYmdMonth, wrong_sep = kErrYmdSep, missing_third = kErrYmdDay;
  } else {
    s.day = first.value;
    second_slot = &s.month, third_slot = &s.year;
    missing_second = kErrDmyMonth, wrong_sep = kErrDmySep, missing_third = kErrDmyYear;
  }
  in.skip_blanks();
  const Field second = in.number();
  if (second.length == 0) return missing_second;
  *second_slot = second.value;
  if (!in.accept(sep)) return wrong_sep;
  in.skip_blanks();
  const Field third = in.number();
  if (third.length == 0) return missing_third;
  *third_slot = third.value;
  return time_part(in, s);
}

int check_and_format(Stamp& s, std::string& out) {
  if (s.month < 1 || s.month > 12) return kErrMonth;
  if (s.day < 1 || s.day > 31) return kErrDay;
  if (s.hour > 23) return kErrHour;
  if (s.minute > 59) return kErrMinuteRange;
  if (s.second > 59) return kErrSecondRange;
  int offset;
  if (s.year < 50) offset = s.year + 100;
  else if (s.year < 1901) offset = s.year;
  else offset = s.year - 1900;
  if (offset < 0 || offset > 250) return kErrYear;
  char text[64];
  std::snprintf(text, sizeof text, "%03d%02d%02d%02d%02d%02d%03d", offset, s.month, s.day, s.hour,
                s.minute, s.second, 0);
  out.assign(text, kStampLength);
  return 0;
}

bool special_value(std::string_view t) {
  return t.size() == kStampLength && t.substr(0, 15) == "000000000000000" && t[15] >= '0' &&
         t[15] <= '3';
}

}  // namespace

int us_normalizeDateTime(std::string_view text, std::string& out) {
  text = text.substr(0, std::min(text.size(), kMaxInput));
  constexpr std::string_view kTrim = " \t\r\n\"'";
  const std::size_t first = text.find_first_not_of(kTrim);
  if (first == std::string_view::npos) {
    out.assign(kStampLength, ' ');
    return 0;
  }
  text = text.substr(first, text.find_last_not_of(kTrim) - first + 1);
  if (special_value(text)) {
    out.assign(text);
    return 0;
  }

  int rc;
  bool all_digits = true;
  for (char c : text) all_digits = all_digits && digit(c);
  if (all_digits) {
    rc = compact_form(text.substr(0, std::min(text.size(), kMaxCompactDigits)), out);
  } else {
    Stamp stamp;
    rc = separated_form(text, stamp);
    if (rc == 0) rc = check_and_format(stamp, out);
  }
  if (rc != 0) {
    out = "DateFmtErr=" + std::to_string(rc);
    out.resize(kStampLength, ' ');
  }
  return rc;
}

}  // namespace qrx
