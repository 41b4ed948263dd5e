#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/dump.h"

namespace qrx {

namespace {

constexpr std::size_t kMaxStripSet = 19;
constexpr std::size_t kMaxTestWord = 59;

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

}  // namespace

std::string u_strlower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower(c);
  return out;
}

std::string u_strupper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upper(c);
  return out;
}

std::string u_stripx(std::string_view text, char mode, const char* set) {
  std::string_view chars = set && *set ? std::string_view(set) : std::string_view(" ");
  if (chars.size() > kMaxStripSet) chars = chars.substr(0, kMaxStripSet);
  const char m = upper(mode);
  const bool leading = m == 'B' || m == 'L';
  const bool trailing = m != 'L';
  if (leading) {
    std::size_t first = text.find_first_not_of(chars);
    text.remove_prefix(first == std::string_view::npos ? text.size() : first);
  }
  if (trailing) {
    std::size_t last = text.find_last_not_of(chars);
    text = text.substr(0, last == std::string_view::npos ? 0 : last + 1);
  }
  return std::string(text);
}

int u_chktoken(const char* text, const char* keyword, int max_length, int min_length) {
  if (!text || !keyword) return 301;
  if (max_length < 1) max_length = static_cast<int>(std::strlen(keyword));
  if (max_length >= 32) return 300;
  if (min_length == 0) min_length = max_length;
  const int length = static_cast<int>(strnlen(text, static_cast<std::size_t>(max_length)));
  if (length < min_length || length > max_length) return 301;
  for (int i = 0; i < length; ++i) {
    const int diff = static_cast<unsigned char>(lower(text[i])) -
                     static_cast<unsigned char>(keyword[i]);
    if (diff != 0) return diff;  // also stops at the end of a shorter keyword
  }
  return 0;
}

std::vector<std::string> u_tokenset(std::string_view text, const char* delimiters) {
  static constexpr std::string_view kOpeners = "\"'({[<";
  static constexpr std::string_view kClosers = "\"')}]>";
  const std::string_view delims =
      delimiters ? std::string_view(delimiters) : std::string_view(" \n\t\"'");
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    const std::size_t opener = kOpeners.find(c);
    if (opener != std::string_view::npos) {
      // Quotes only enclose the word; brackets belong to it.
      const bool quote = opener < 2;
      const std::size_t close = text.find(kClosers[opener], i + 1);
      const std::size_t end = close == std::string_view::npos ? text.size() : close;
      if (quote)
        words.emplace_back(text.substr(i + 1, end - i - 1));
      else
        words.emplace_back(text.substr(i, std::min(end + 1, text.size()) - i));
      i = end + 1;
      continue;
    }
    if (delims.find(c) != std::string_view::npos) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && delims.find(text[end]) == std::string_view::npos) ++end;
    words.emplace_back(text.substr(i, end - i));
    i = end;
  }
  return words;
}

int u_test_word(const char* word, const char* const* table, int count, int flags) {
  if (!word || !table) return 0;
  const std::size_t length = std::strlen(word);
  if (length > kMaxTestWord) return 0;
  const std::string key = (flags & 1) ? std::string(word, length) : u_strlower(word);
  if (count < 1) count = 99;
  for (int i = 0; i < count; ++i) {
    if (!table[i] || !*table[i]) break;
    const int order = std::strcmp(table[i], key.c_str());
    if (order == 0) return i + 1;
    if ((flags & 2) && order > 0) break;
  }
  return 0;
}

std::string us_ps(std::string_view text, int maximum, int flags) {
  const std::size_t limit = maximum < 1 || maximum > 200 ? 201 : static_cast<std::size_t>(maximum);
  const std::string_view part = text.substr(0, std::min(limit, text.size()));
  std::string body;
  if (flags & kPsCompressed)
    body = u_printable(part, 'c');
  else if (flags & kPsPrintable)
    body = u_printable(part, 'p');
  else
    body = u_stripx(part, 'B', " \t\r\n");
  std::string out;
  if (flags & kPsQuote) out = "'" + body + "'";
  else out = body;
  if (flags & kPsLength)
    out += ((flags & kPsQuote) ? "(" : " (") + std::to_string(text.size()) + ")";
  return out;
}

long long u_hex2long(const char* text) {
  if (!text) return 0;
  if (*text == '"') ++text;
  unsigned long long value = 0;
  for (; std::isxdigit(static_cast<unsigned char>(*text)); ++text) {
    const char c = lower(*text);
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return static_cast<long long>(value);
}

int qrxstrtoll(const char* text, long long* value_out) {
  errno = 0;
  if (value_out) *value_out = 0;
  if (!text || !value_out) return -1;
  *value_out = std::strtoll(text, nullptr, 10);
  return errno;
}

std::string u_chr2str(const char* field, std::size_t width) {
  if (!field) return {};
  return u_stripx(std::string_view(field, strnlen(field, width)), 'T', nullptr);
}

void u_str2chr(std::string_view text, char* field, std::size_t width) {
  if (!field) return;
  const std::size_t n = std::min(text.size(), width);
  std::memcpy(field, text.data(), n);
  std::memset(field + n, ' ', width - n);
}

std::string just_right(std::string_view text, std::size_t width) {
  std::string body = u_stripx(text, 'T', nullptr);
  if (body.size() >= width) return body;
  return std::string(width - body.size(), ' ') + body;
}

std::size_t utf8_cut_length(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  // Back up over the continuation bytes (10xxxxxx) of the character the cut meets.
  std::size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

std::string_view fit_number(std::string_view number, std::size_t width) {
  if (number.size() <= width) return number;
  if (number.find('.') > width) return {};
  number = number.substr(0, width);
  if (number.back() == '.') number.remove_suffix(1);
  return number;
}

}  // namespace qrx
