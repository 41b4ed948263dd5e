#include "sqlrt/backend_support.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace qrx::sqlrt {

void put_null(Binding& column) {
  if (column.indicator) *column.indicator = -1;
  column.returned_bytes = 0;
  column.returned_chars = 0;
}

namespace {

// UTF-8 continuation bytes (10xxxxxx) among the `n` bytes at `p`, eight at a
// time: every text value of every fetched row is counted.
size_t continuation_bytes(const char* p, size_t n) {
  size_t count = 0, i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, sizeof w);
    // Bit 7 of each byte whose bit 7 is set and bit 6 clear, moved to bit
    // 0 and summed into the top byte by the multiplication.
    const uint64_t marks = (w & ~(w << 1) & 0x8080808080808080ULL) >> 7;
    count += static_cast<size_t>((marks * 0x0101010101010101ULL) >> 56);
  }
  for (; i < n; ++i) count += (static_cast<unsigned char>(p[i]) & 0xC0) == 0x80;
  return count;
}

}  // namespace

void put_text(Binding& column, std::string_view text) {
  const size_t n = utf8_cut_length(text, static_cast<size_t>(std::max(column.length, 0)));
  if (n) std::memcpy(column.data, text.data(), n);
  column.returned_bytes = static_cast<int>(n);
  column.returned_chars = static_cast<int>(n - continuation_bytes(text.data(), n));
  if (column.indicator) {
    *column.indicator = n == text.size() ? 0 : text.size() > 32767 ? -2 : static_cast<int16_t>(text.size());
  }
}

std::optional<std::string> canonical_number(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  std::string digits;
  long point = 0;  // digits before the decimal point
  bool seen_point = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      digits += c;
      if (!seen_point) ++point;
    } else if (c == '.' && !seen_point) {
      seen_point = true;
    } else {
      break;
    }
  }
  if (digits.empty()) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) exp_negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    long exponent = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
      exponent = exponent * 10 + (text[i] - '0');
      if (exponent > 1000) return std::nullopt;
    }
    point += exp_negative ? -exponent : exponent;
  }
  if (i != text.size()) return std::nullopt;

  size_t lead = digits.find_first_not_of('0');
  if (lead == std::string::npos) return std::string("0");
  digits.erase(0, lead);
  point -= static_cast<long>(lead);
  digits.erase(digits.find_last_not_of('0') + 1);
  std::string out = negative ? "-" : "";
  long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else if (point >= n) {
    out += digits + std::string(static_cast<size_t>(point - n), '0');
  } else {
    out += digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  }
  return out;
}

namespace {

// `number` (canonical, with a point) rounded half up to `keep` fraction digits.
std::string round_fraction(const std::string& number, size_t keep) {
  bool negative = number[0] == '-';
  std::string body = number.substr(negative ? 1 : 0);
  size_t point = body.find('.');
  std::string digits = body.substr(0, point) + body.substr(point + 1, keep);
  size_t integer_digits = point;
  if (point + 1 + keep < body.size() && body[point + 1 + keep] >= '5') {
    size_t j = digits.size();
    while (j > 0 && digits[j - 1] == '9') digits[--j] = '0';
    if (j == 0) {
      digits.insert(0, "1");
      ++integer_digits;
    } else {
      ++digits[j - 1];
    }
  }
  std::string rounded = (negative ? "-" : "") + digits.substr(0, integer_digits);
  if (digits.size() > integer_digits) rounded += "." + digits.substr(integer_digits);
  return canonical_number(rounded).value_or("0");
}

}  // namespace

int put_number(Binding& column, std::string number) {
  size_t width = static_cast<size_t>(std::max(column.length, 0));
  if (number.size() > width) {
    size_t point = number.find('.');
    if (point == std::string::npos || point > width) return kValueTooLarge;
    number = round_fraction(number, point + 1 < width ? width - point - 1 : 0);
    if (number.size() > width) return kValueTooLarge;
  }
  put_text(column, number);
  return 0;
}

int place_number(const std::string& name, const std::optional<std::string>& number, std::string_view raw,
                 Binding& column, Diagnostics& diag) {
  if (!number) {
    return diag.set(kInvalidNumber, "invalid number in column " + name + ": '" + std::string(raw.substr(0, 40)) + "'");
  }
  if (put_number(column, *number) != 0) {
    return diag.set(kValueTooLarge, "value of column " + name + " (" + *number + ") is wider than its " +
                                        std::to_string(column.length) + " characters");
  }
  return 0;
}

std::optional<std::string> double_text(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  return canonical_number(text);
}

std::string date_text(int year, int month, int day) {
  static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  char text[16];
  std::snprintf(text, sizeof text, "%02d-%s-%02d", day, kMonths[(month - 1) % 12],
                ((year % 100) + 100) % 100);
  return text;
}

std::optional<CivilDate> parse_iso_date(std::string_view text) {
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  auto number = [&](size_t from, size_t count) {
    int value = 0;
    for (size_t k = from; k < from + count; ++k) {
      if (!std::isdigit(static_cast<unsigned char>(text[k]))) return -1;
      value = value * 10 + (text[k] - '0');
    }
    return value;
  };
  CivilDate date{number(0, 4), number(5, 2), number(8, 2)};
  if (date.year < 0 || date.month < 1 || date.month > 12 || date.day < 1) return std::nullopt;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (date.year % 4 == 0 && date.year % 100 != 0) || date.year % 400 == 0;
  int days = date.month == 2 && !leap ? 28 : kDays[date.month - 1];
  if (date.day > days) return std::nullopt;
  return date;
}

std::string hex_text(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

void StatementRegistry::remove(Detachable* statement) {
  live_.erase(std::remove(live_.begin(), live_.end(), statement), live_.end());
}

void StatementRegistry::detach_all() {
  std::vector<Detachable*> live;
  live.swap(live_);
  for (Detachable* statement : live) statement->detach();
}

int not_logged_on(Diagnostics& diag) {
  return diag.set(kNotLoggedOn, "not logged on to the database");
}

}  // namespace qrx::sqlrt
