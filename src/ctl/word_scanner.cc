#include "ctl/word_scanner.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "base/log.h"

namespace qrx {

namespace {

// Farthest a closing quote may lie from the start of its word.
constexpr std::size_t kMaxQuotedLength = 15998;
constexpr char kShiftOut = 14;
constexpr char kShiftIn = 15;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Characters that end a number's exponent.
bool is_terminator(char c) { return c != '\0' && std::strchr(" ,():?+/*-=<>~", c) != nullptr; }
bool is_logical_op(char c) { return c != '\0' && std::strchr("~<|>=", c) != nullptr; }
bool is_math_op(char c) { return c != '\0' && std::strchr("+-*/", c) != nullptr; }

}  // namespace

void WordScanner::reset(bool keep_parens) {
  this_start = 0;
  this_len = 0;
  failed = false;
  message.clear();
  parse_word = {};
  if (!keep_parens) parens = 0;
}

int WordScanner::errmsg(const char* text, std::size_t position, std::size_t len) {
  message = "Syntax error - ";
  if (position != 0) message += "Position = " + std::to_string(position + 1) + " ";
  message += text;
  if (len != 0) {
    message += ", Text = ";
    message += buffer_.substr(std::min(position, buffer_.size()), std::min<std::size_t>(len, 255));
  }
  failed = true;
  return -1;
}

int WordScanner::finish(std::size_t start, std::size_t begin, std::size_t end, uint16_t flags) {
  parse_word.text = std::string_view(buffer_).substr(begin, end - begin);
  parse_word.len = static_cast<uint16_t>(end - begin);
  parse_word.position = static_cast<uint16_t>(begin);
  parse_word.flags |= flags;
  this_len = static_cast<int>(end - start);
  return this_len;
}

int WordScanner::get_word(std::size_t start) {
  parse_word = {};
  const std::size_t n = buffer_.size();
  std::size_t p = start;
  while (p < n && is_blank(buffer_[p])) ++p;
  if (p >= n) {
    this_len = 0;
    return 0;
  }
  const char c = buffer_[p];
  const char next = p + 1 < n ? buffer_[p + 1] : '\0';
  if (c == '(') {
    ++parens;
    return finish(start, p, p + 1, kWordParen);
  }
  if (c == ')') {
    if (--parens >= 0) return finish(start, p, p + 1, kWordParen);
    return errmsg("Right parenthesis without preceeding Left parenthesis", p, 1);
  }
  if (is_digit(c) || ((c == '+' || c == '-') && (is_digit(next) || next == '.')) ||
      (c == '.' && is_digit(next)))
    return number_word(start, p);
  if (c == '-' || c == '+' || c == '*' || c == '/') return finish(start, p, p + 1, kWordArith);
  if (c == ',') return finish(start, p, p + 1, kWordComma);
  if (c == local_hv) {
    ++p;
    while (p < n && is_blank(buffer_[p])) ++p;
    return ordinary_word(start, p, kWordHostVar);
  }
  if (c == '|' && next == '|') return finish(start, p, p + 2, kWordConcat);
  if (c == '|' || c == '<' || c == '>' || c == '=' || c == not_sign)
    return finish(start, p, p + (is_logical_op(next) ? 2 : 1), c == '|' ? 0 : kWordLogical);
  return ordinary_word(start, p, 0);
}

int WordScanner::ordinary_word(std::size_t start, std::size_t begin, uint16_t flags) {
  const std::size_t n = buffer_.size();
  const bool host = flags & kWordHostVar;
  int depth = 0;  // parentheses opened inside a host variable
  std::size_t i = begin;
  while (i < n) {
    const char ch = buffer_[i];
    if (ch == '\'' || ch == '"' || ch == kShiftOut) {
      const char close = ch == kShiftOut ? kShiftIn : ch;
      flags |= kWordLiteral;
      if (ch == '\'') parse_word.number_flags |= kNumSingleQuote;
      if (ch == '"') parse_word.number_flags |= kNumDoubleQuote;
      const std::size_t j = buffer_.find(close, i + 1);
      if (j == std::string::npos)
        return errmsg(ch == kShiftOut ? "Missing an ending SHIFT_IN within max word length"
                                      : "Missing an ending \" or ' within max word length",
                      begin, n - begin);
      if (j - begin > kMaxQuotedLength)
        return errmsg(ch == kShiftOut ? "Excessive length in a DBCS string"
                                      : "Excessive length in a string with a \" or '",
                      begin, j - begin);
      i = j + 1;
      continue;
    }
    if (is_blank(ch)) break;
    if (ch == '(') {
      if (!host) break;
      ++depth;
      ++i;
      continue;
    }
    if (ch == ')') {
      if (depth == 0) break;
      --depth;
      ++i;
      continue;
    }
    if (i > begin) {
      if (ch == ',' || ch == not_sign || ch == ';' || is_logical_op(ch) || ch == local_hv) break;
      if (!host && is_math_op(ch)) break;
    }
    if (ch == '.') flags |= kWordQualified;
    if (ch == '*' && i > begin && buffer_[i - 1] == '.') flags |= kWordDotStar;
    ++i;
  }
  return finish(start, begin, i, flags);
}

int WordScanner::number_word(std::size_t start, std::size_t begin) {
  const std::size_t n = buffer_.size();
  uint16_t& nf = parse_word.number_flags;
  nf |= kNumNumber;
  if (buffer_[begin] == '.') nf |= kNumPoint;
  std::size_t i = begin + 1;
  while (i < n) {
    const char ch = buffer_[i];
    if (is_digit(ch)) {
      ++i;
    } else if (ch == '.' && !(nf & kNumPoint)) {
      nf |= kNumPoint;
      ++i;
    } else {
      break;
    }
  }
  std::size_t e = i;
  while (e < n && is_blank(buffer_[e])) ++e;
  const char after = e + 1 < n ? buffer_[e + 1] : '\0';
  if (e < n && (buffer_[e] == 'e' || buffer_[e] == 'E') &&
      (after == '+' || after == '-' || is_digit(after))) {
    buffer_[e] = 'E';
    nf |= kNumExponent;
    std::size_t k = e + 1;
    const bool negative = buffer_[k] == '-';
    if (buffer_[k] == '+' || buffer_[k] == '-') ++k;
    long value = 0;
    for (std::size_t d = k; d < n && is_digit(buffer_[d]); ++d)
      value = std::min<long>(value * 10 + (buffer_[d] - '0'), SHRT_MAX);
    while (k < n && !is_terminator(buffer_[k])) ++k;
    if (value != 0) parse_word.exponent = static_cast<int16_t>(negative ? -value : value);
    i = k;
  }
  return finish(start, begin, i, kWordLiteral);
}

int WordScanner::next() {
  int consumed = get_word(this_start);
  if (consumed > 0) this_start += static_cast<std::size_t>(consumed);
  return consumed;
}

std::string WordScanner::rest() const {
  std::size_t b = this_start;
  while (b < buffer_.size() && is_blank(buffer_[b])) ++b;
  std::size_t e = buffer_.size();
  while (e > b && is_blank(buffer_[e - 1])) --e;
  return buffer_.substr(b, e - b);
}

int simple_get_word(std::string_view text, std::size_t start, ParseWord& word,
                    std::size_t* consumed) {
  word = {};
  std::size_t p = start;
  while (p < text.size() && text[p] == ' ') ++p;
  if (p < text.size() && text[p] == ',') ++p;
  while (p < text.size() && text[p] == ' ') ++p;
  std::size_t b = p;
  std::size_t e = p;
  if (p < text.size() && (text[p] == '\'' || text[p] == '"' || text[p] == '\t')) {
    const std::size_t close = text.find(text[p], p + 1);
    e = close == std::string_view::npos ? text.size() : close + 1;
    word.flags = 8;
    if (e - b < 2) e = b;
  } else {
    while (e < text.size() && text[e] != ' ' && text[e] != ',' && text[e] != '\0') ++e;
  }
  word.text = text.substr(b, e - b);
  word.len = static_cast<uint16_t>(std::min<std::size_t>(e - b, UINT16_MAX));
  if (consumed) *consumed = e - start;
  return word.len;
}

int w_o_parens(std::string_view text, std::string& out) {
  constexpr std::size_t kSearchLimit = 3100;
  out.clear();
  const std::string_view window = text.substr(0, std::min(text.size(), kSearchLimit));
  const std::size_t open = window.find('(');
  if (open == std::string_view::npos) {
    PRINT('e', "cat1925", "No opening parenthesis\n");
    return 0;
  }
  const std::string_view after = text.substr(open + 1, kSearchLimit);
  const std::size_t close = after.find(')');
  if (close == std::string_view::npos) {
    PRINT('e', "cat1930", "No ending parenthesis\n");
    return 0;
  }
  out.assign(after.substr(0, close));
  return static_cast<int>(out.size());
}

int pad_blanks(std::string& text, std::size_t width) {
  if (text.size() >= width) return 0;
  const std::size_t added = width - text.size();
  text.append(added, ' ');
  return static_cast<int>(added);
}

bool is_two_spelling(std::string_view word, std::string_view keyword) {
  if (word.size() != keyword.size()) return false;
  bool lower = true, upper = true;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char k = keyword[i];
    lower = lower && word[i] == k;
    upper = upper && word[i] == static_cast<char>(std::toupper(static_cast<unsigned char>(k)));
  }
  return lower || upper;
}

int lookup_two_spellings(std::string_view word, const KeywordSpelling* table, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    if (is_two_spelling(word, table[i].word)) return table[i].code;
  return 0;
}

}  // namespace qrx
