#include "exec/sql_quoting.h"

#include <algorithm>
#include <cctype>

namespace qrx {

namespace {

bool is_digit(char ch) { return std::isdigit(static_cast<unsigned char>(ch)) != 0; }

// A character that continues an identifier, so that a prefix letter before
// it does not start a token of its own.
bool is_word_char(char ch) {
  const auto byte = static_cast<unsigned char>(ch);
  return std::isalnum(byte) || ch == '_' || ch == '$' || byte >= 0x80;
}

// True when the letter at `at` is one of `letters` and starts a token.
bool lone_letter(std::string_view sql, std::size_t at, std::string_view letters) {
  return letters.find(sql[at]) != std::string_view::npos && (at == 0 || !is_word_char(sql[at - 1]));
}

// True when the text before `end` is a lone q or nq: a quote there opens
// an Oracle q'...' text, whose end this reader does not follow.
bool q_prefix(std::string_view sql, std::size_t end) {
  if (end == 0 || (sql[end - 1] != 'q' && sql[end - 1] != 'Q')) return false;
  return lone_letter(sql, end - 1, "qQ") || (end >= 2 && lone_letter(sql, end - 2, "nN"));
}

// The index of the "$" that closes a dollar-quote tag opened at `at`, or npos
// ("$1" is a parameter, not a tag).
std::size_t dollar_tag_end(std::string_view sql, std::size_t at) {
  std::size_t end = at + 1;
  while (end < sql.size() && sql[end] != '$' && is_word_char(sql[end]) && !(end == at + 1 && is_digit(sql[end])))
    ++end;
  return end < sql.size() && sql[end] == '$' ? end : std::string_view::npos;
}

constexpr std::string_view kQuotes = "'\"`";

}  // namespace

SqlPlace sql_place_after(std::string_view sql) {
  SqlPlace p;
  std::string_view tag;  // the "$tag$" that ends a dollar-quoted text
  const std::size_t n = sql.size();
  std::size_t i = 0;
  while (i < n) {
    const char ch = sql[i];
    const std::string_view ahead = sql.substr(i, 2);
    switch (p.kind) {
      case SqlPlace::kCode:
        p.backslash = false;
        if (kQuotes.find(ch) != std::string_view::npos) {
          if (ch == '\'' && q_prefix(sql, i)) return SqlPlace{SqlPlace::kUnknown};
          p.kind = SqlPlace::kQuoted;
          p.quote = ch;
          p.backslash = ch == '\'' && i > 0 && lone_letter(sql, i - 1, "eE");
          ++i;
        } else if (ahead == "--") {
          p.kind = SqlPlace::kLineComment;
          i += 2;
        } else if (ahead == "/*") {
          p.kind = SqlPlace::kBlockComment;
          i += 2;
        } else if (ch == '[') {
          // A bracketed name to some servers, a subscript to others: the
          // two readings agree only when no quote is inside.
          const std::size_t close = sql.find(']', i);
          if (close == std::string_view::npos || sql.substr(i, close - i).find_first_of(kQuotes) != std::string_view::npos)
            return SqlPlace{SqlPlace::kUnknown};
          i = close + 1;
        } else if (ch == '$' && (i == 0 || !is_word_char(sql[i - 1])) &&
                   dollar_tag_end(sql, i) != std::string_view::npos) {
          const std::size_t end = dollar_tag_end(sql, i);
          tag = sql.substr(i, end + 1 - i);
          p.kind = SqlPlace::kDollarQuoted;
          i = end + 1;
        } else {
          ++i;
        }
        break;
      case SqlPlace::kQuoted:
        if (p.backslash && ch == '\\') {
          p.escape_open = i + 1 == n;
          i += 2;
        } else if (ch != p.quote) {
          ++i;
        } else if (i + 1 < n && sql[i + 1] == p.quote) {
          i += 2;
        } else {
          // A quote written next would continue this text, escapes and all.
          p = SqlPlace{SqlPlace::kCode, 0, p.backslash && p.quote == '\''};
          ++i;
        }
        break;
      case SqlPlace::kLineComment:
        // Some servers end the line at a carriage return as well.
        if (ch == '\n' || ch == '\r') p.kind = SqlPlace::kCode;
        ++i;
        break;
      case SqlPlace::kBlockComment:
        if (ahead == "*/") {
          p.kind = SqlPlace::kCode;
          i += 2;
        } else if (ahead == "/*") {
          return SqlPlace{SqlPlace::kUnknown};  // nested on some servers, not on others
        } else {
          ++i;
        }
        break;
      case SqlPlace::kDollarQuoted:
        if (sql.substr(i, tag.size()) == tag) {
          p.kind = SqlPlace::kCode;
          i += tag.size();
        } else {
          ++i;
        }
        break;
      case SqlPlace::kUnknown:
        return p;
    }
  }
  if (p.kind == SqlPlace::kCode && n > 0) {
    if (q_prefix(sql, n)) return SqlPlace{SqlPlace::kUnknown};
    if (lone_letter(sql, n - 1, "eE")) p.backslash = true;
  }
  return p;
}

bool is_sql_number(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return false;
  text = text.substr(first, text.find_last_not_of(' ') + 1 - first);
  std::size_t i = 0;
  if (text[i] == '+' || text[i] == '-') ++i;
  std::size_t digits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (is_digit(text[i])) ++digits;
    else if (text[i] == '.' && !point) point = true;
    else break;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t exponent = i;
    while (i < text.size() && is_digit(text[i])) ++i;
    if (i == exponent) return false;
  }
  return i == text.size();
}

bool is_sql_value_list(std::string_view text) {
  std::size_t i = 0;
  const auto skip_blanks = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  skip_blanks();
  if (i == text.size() || text[i++] != '(') return false;
  for (;;) {
    skip_blanks();
    if (i < text.size() && text[i] == '\'') {
      for (++i;; i += 2) {
        i = text.find('\'', i);
        if (i == std::string_view::npos) return false;
        if (i + 1 == text.size() || text[i + 1] != '\'') break;
      }
      ++i;
    } else {
      const std::size_t end = std::min(text.find_first_of(" ,)", i), text.size());
      if (!is_sql_number(text.substr(i, end - i))) return false;
      i = end;
    }
    skip_blanks();
    if (i == text.size()) return false;
    if (text[i++] == ')') break;
    if (text[i - 1] != ',') return false;
  }
  skip_blanks();
  return i == text.size();
}

std::string doubled_quotes(std::string_view value, char quote, bool backslash) {
  std::string out;
  out.reserve(value.size() + 2);
  for (const char ch : value) {
    if (ch == quote || (backslash && ch == '\\')) out.push_back(ch);
    out.push_back(ch);
  }
  return out;
}

}  // namespace qrx
