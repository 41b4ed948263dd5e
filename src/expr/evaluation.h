// What the full and the compiled evaluator share: numbers read from term
// values and stored texts, results written into work values, and the rows
// column terms read. Internal to the evaluators.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "expr/context.h"
#include "expr/terms.h"

namespace qrx {

// A number taken from a term: its class and value.
struct Num {
  int32_t cls = kNotNumeric;
  int32_t i = 0;
  double d = 0;
  double as_double() const { return cls == kNumInteger ? i : d; }
};

// Parses the whole of `text` as a number: a base-10 32-bit integer gives
// class 2, else a double without a range error class 3; 1 when neither.
int parse_number(const char* text, int len, Num* out);

// Stored values are blank-padded: blanks are skipped eight at a time.
constexpr std::uint64_t kEightBlanks = 0x2020202020202020ULL;
inline std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Length of the `len` bytes at `text` without trailing blanks (0: all blanks).
[[gnu::always_inline]] inline int text_len(const char* text, int len) {
  while (len >= 8 && load8(text + len - 8) == kEightBlanks) len -= 8;
  if (len >= 8) {
    // The last word holds a byte that is no blank: the blanks after it are
    // the zero bytes at its end once blanks are cleared.
    const std::uint64_t cleared = load8(text + len - 8) ^ kEightBlanks;
    return len - (std::endian::native == std::endian::little ? std::countl_zero(cleared)
                                                             : std::countr_zero(cleared)) / 8;
  }
  while (len > 0 && text[len - 1] == ' ') --len;
  return std::max(len, 0);
}

// The length texts are compared over: without trailing blanks, at least 1
// (less_blanks_len, for the evaluators' own inlining).
[[gnu::always_inline]] inline int compared_len(const char* text, int len) {
  return std::max(1, text_len(text, len));
}

// The general way of value_atof.
double general_atof(const char* text, const char* end);

// atof over a value that is not zero-terminated: leading blanks and a plus
// sign skipped, the longest number prefix taken, 0 when there is none.
[[gnu::always_inline]] inline double value_atof(const char* text, int len) {
  const char* end = text + len;
  // Stored numbers are mostly short integers after blanks: those are read
  // directly when no fraction or exponent follows (15 digits convert to a
  // double exactly); anything else takes the general way.
  const char* p = text;
  if (p < end && *p == ' ') {
    while (end - p >= 8 && load8(p) == kEightBlanks) p += 8;
    while (p < end && *p == ' ') ++p;
  }
  const bool minus = p < end && *p == '-';
  p += minus;
  const char* const first = p;
  std::int64_t whole = 0;
  for (const char* stop = end - first > 15 ? first + 15 : end; p < stop; ++p) {
    const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (digit > 9) break;
    whole = whole * 10 + digit;
  }
  // Digits ended by the end or a blank: anything else (a fraction, an
  // exponent, a 16th digit) takes the general way, which reads the same number.
  if (p > first && (p == end || *p == ' '))
    return minus ? -static_cast<double>(whole) : static_cast<double>(whole);
  return general_atof(text, end);
}

inline Num term_num(const TERM_TABLE& t) { return {t.num_class, t.ivalue, t.dvalue}; }

// Room for any number's text: a double in fixed notation.
constexpr std::size_t kNumberTextMax = 400;

// The text of number `n` ("%li" or "%lf") in `buf`.
std::string_view number_text(const Num& n, char (&buf)[kNumberTextMax]);

// Makes `t` hold number `n` as value and text.
void set_number(TERM_TABLE& t, const Num& n);
// Makes `t` a logical result: it points at a constant text instead of formatting one.
inline void set_logical(TERM_TABLE& t, bool v) {
  t.value = v ? "1" : "0";
  t.value_len = 1;
  t.value_owned = 0;
  t.num_class = kNumInteger;
  t.ivalue = v ? 1 : 0;
  t.dvalue = 0;
}

inline bool is_zero(const TERM_TABLE& t) {
  return t.num_class == kNumInteger ? t.ivalue == 0 : t.dvalue == 0.0;
}
inline bool is_numeric(const TERM_TABLE& t) {
  return t.num_class == kNumInteger || t.num_class == kNumFloat;
}

// The value of `t` without trailing blanks.
inline std::string_view trimmed(const TERM_TABLE& t) {
  return {t.value, static_cast<std::size_t>(text_len(t.value, t.value_len))};
}

// The percent cursor's row for its column `col`, or null.
inline const row_data* percent_cursor_row(const ExprContext& cx, const columns& col) {
  return cx.names.percent_row && cx.names.cursors ? cx.names.percent_row(*cx.names.cursors, col) : nullptr;
}

// The row a column of `cursor` reads when `current` is the current cursor.
inline const row_data* cursor_row(const ExprContext& cx, const curs* cursor, const curs* current) {
  return cursor == current && cx.current_row != nullptr ? cx.current_row : cursor->stored.last();
}

// Points a bound column term at its value in `row`; false (value cleared)
// when there is none.
inline bool point_column(TERM_TABLE& t, const row_data* row) {
  const columns& col = *t.bound_column;
  if (row == nullptr || col.stored_length <= 0) {
    t.value = nullptr;
    t.value_len = 0;
    return false;
  }
  t.value = row->data() + col.stored_offset;
  t.value_len = col.stored_length;
  if (t.data_type == kTypeFloat) t.dvalue = value_atof(t.value, t.value_len);
  return true;
}

// The full evaluation: every term edited and every operation's arguments
// gathered from the list as it is. The result is a work value; null after
// logging why.
TERM_TABLE* full_evaluation(ExprContext& cx, const LexList& rpn);

}  // namespace qrx
