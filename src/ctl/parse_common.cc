#include "ctl/parse_common.h"

#include <algorithm>
#include <climits>

#include "base/clock.h"
#include "base/log.h"
#include "base/relative_time.h"

namespace qrx {

namespace {

constexpr const char* kDashes = "------------------------------------------------------------\n";

void write_banner(const char* const ids[3], const char* format) {
  const std::string time = display_time();
  PRINT('i', ids[0], "%s", kDashes);
  PRINT('i', ids[1], format, time.c_str());
  PRINT('i', ids[2], "%s", kDashes);
}

}  // namespace

void write_start_banner(const ParseBanner& banner) {
  write_banner(banner.start_ids, banner.start_format);
}

void write_end_banner(const ParseBanner& banner) {
  write_banner(banner.end_ids, banner.end_format);
}

std::string display_time() { return form_time(get_time(the_clock().now())); }

std::optional<int32_t> decimal_value(std::string_view word) {
  std::size_t i = 0;
  bool negative = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
  if (i == word.size()) return std::nullopt;
  long long value = 0;
  for (; i < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9') return std::nullopt;
    if (value <= INT32_MAX) value = value * 10 + (word[i] - '0');
  }
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(negative ? -value : value);
}

std::string_view strip(std::string_view text, std::string_view chars) {
  const std::size_t b = text.find_first_not_of(chars);
  if (b == std::string_view::npos) return {};
  const std::size_t e = text.find_last_not_of(chars);
  return text.substr(b, e - b + 1);
}

}  // namespace qrx

namespace qrx {

std::string_view next_word(std::string_view& text) {
  const std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    text = {};
    return {};
  }
  text.remove_prefix(start);
  const std::size_t end = std::min(text.find(' '), text.size());
  const std::string_view word = text.substr(0, end);
  text.remove_prefix(end);
  return word;
}

}  // namespace qrx
