#include "exec/maths.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/log.h"
#include "base/messages.h"
#include "base/text.h"
#include "ctl/control_parse.h"
#include "ctl/math_parser.h"
#include "exec/find_col.h"

namespace qrx {

namespace {

// The row a math word reads: this row, or the other cursor's last row (null
// when it has none).
const char* row_of(const curs& c, const math_in& w, const char* row) {
  if (!w.cursor || w.cursor == &c) return row;
  const row_data* last = w.cursor->stored.last();
  return last ? last->data() : nullptr;
}

// Combines the operators of `kinds` within cells [first, last] from left to
// right; false after a division by zero or an overflow (the answer is then 0).
bool combine(m_anch& m, const curs& c, std::size_t first, std::size_t last, uint16_t op1,
             uint16_t op2) {
  std::vector<math_cell>& w = m.work;
  for (std::size_t i = first; i <= last && i < w.size(); ++i) {
    if (w[i].kind != op1 && w[i].kind != op2) continue;
    std::size_t left = i, right = i;
    while (left > first && w[--left].kind == kMathConsumed) {}
    while (right < last && w[++right].kind == kMathConsumed) {}
    if (left == i || right == i || w[left].kind != kMathConstant || w[right].kind != kMathConstant)
      continue;  // the parser lets no such array through; do_arith reports what is left
    const double a = w[left].value, b = w[right].value;
    double r = 0;
    switch (w[i].kind) {
      case kMathTimes:
        r = a * b;
        if (c.tracem) PRINT('t', "cma3645", "%f * %f = %f\n", a, b, r);
        break;
      case kMathDivide:
        if (b == 0) {
          PRINT('w', "cma3650", "Attempted divide by zero - forcing answer of 0 in %s\n",
                m.name.c_str());
          return false;
        }
        r = a / b;
        if (c.tracem) PRINT('t', "cma3655", "%f / %f = %f\n", a, b, r);
        break;
      case kMathPlus:
        r = a + b;
        if (c.tracem) PRINT('t', "cma3660", "%f + %f = %f\n", a, b, r);
        break;
      default:
        r = a - b;
        if (c.tracem) PRINT('t', "cma3665", "%f - %f = %f\n", a, b, r);
        break;
    }
    if (!std::isfinite(r)) {
      PRINT('w', "cma3668", "Math overflow - forcing answer of 0 in %s\n", m.name.c_str());
      return false;
    }
    w[left].value = r;
    w[i].kind = kMathConsumed;
    w[right].kind = kMathConsumed;
  }
  return true;
}

// The answer as "%f" cut after `decimals` places (at the point when none).
std::string answer_text(double answer, int decimals) {
  char printed[400];  // the largest finite double prints 316 characters
  std::snprintf(printed, sizeof printed, "%f", answer);
  std::string text(printed);
  if (const std::size_t point = text.find('.'); point != std::string::npos)
    text.resize(decimals > 0 ? std::min(text.size(), point + 1 + decimals) : point);
  return text.empty() ? "0" : text;
}

// Blank field with "0" in its last position.
void zero_field(char* field, int width) {
  if (width <= 0) return;
  std::memset(field, ' ', static_cast<std::size_t>(width));
  field[width - 1] = '0';
}

}  // namespace

double do_arith(m_anch& m, const curs& c) {
  std::vector<math_cell>& w = m.work;
  if (c.tracem) {
    std::string shown;
    for (const math_in& word : m.math) shown += word.text + " ";
    PRINT('t', "cma3595", "do_arith: %.150s\n", shown.c_str());
  }
  for (int pass = 0; pass <= m.parentheses; ++pass) {
    std::size_t first = 0, last = w.empty() ? 0 : w.size() - 1;
    std::size_t open = w.size();
    for (std::size_t i = 0; i < w.size(); ++i)
      if (w[i].kind == kMathOpen) open = i;
    if (open < w.size()) {
      std::size_t close = open + 1;
      while (close < w.size() && w[close].kind != kMathClose) ++close;
      if (close >= w.size() || close == open + 1) break;  // unbalanced: reported below
      w[open].kind = kMathConsumed;
      w[close].kind = kMathConsumed;
      first = open + 1;
      last = close - 1;
    }
    if (!combine(m, c, first, last, kMathTimes, kMathDivide) ||
        !combine(m, c, first, last, kMathPlus, kMathMinus))
      return 0;
  }
  const math_cell* answer = nullptr;
  for (const math_cell& cell : w) {
    if (cell.kind == kMathConstant && !answer) {
      answer = &cell;
    } else if (cell.kind != kMathConsumed) {
      answer = nullptr;
      break;
    }
  }
  if (!answer) {
    PRINT('e', "cma3670", "Math execution error (%s)\n", m.name.c_str());
    return 0;
  }
  return answer->value;
}

int do_math(curs& c, const columns& col, char* row) {
  m_anch* m = find_math(c, col.name);
  if (!m) return 0;
  const int width = col.stored_length;
  char* field = row + col.stored_offset;
  if (c.tracem) {
    PRINT('t', "cma3525", "Doing math for %s.%s\n", c.name.c_str(), col.name.c_str());
    PRINT('t', "cma3540", "Math: name = %s %.*s Len= %d, offset= %d\n", m->name.c_str(),
          std::max(width, 0), field, width, col.stored_offset);
  }
  m->work.assign(m->math.size(), math_cell{});
  bool answered = false;  // the answer is 0 without evaluating
  for (std::size_t i = 0; i < m->math.size() && !answered; ++i) {
    const math_in& word = m->math[i];
    math_cell& cell = m->work[i];
    cell.kind = word.type;
    if (word.type == kMathConstant) cell.value = word.value;
    if (word.type != kMathName) continue;
    cell.kind = kMathConstant;
    if (!word.column) {
      answered = true;  // not resolved at start-up (reported there)
      continue;
    }
    if (c.post_copy && word.cursor && word.cursor != &c && word.cursor->name == c.age_to) {
      answered = true;  // the aged rows are being replaced
      continue;
    }
    const char* from = row_of(c, word, row);
    if (!from) {
      if (!word.cursor->empty)
        PRINT('w', "cma3530",
              "Math statement %s for cursor %s references %s which has no rows, setting answer to 0\n",
              m->name.c_str(), c.name.c_str(), word.cursor->name.c_str());
      answered = true;
      continue;
    }
    const int source_width = word.column->stored_length;
    if (source_width < 0 || source_width > kMaxColumnLength) {
      PRINT('w', "cma3560", "Excessive size for math sending field %s\n", word.text.c_str());
      zero_field(field, width);
      return 0;
    }
    const std::string text(from + word.column->stored_offset, static_cast<std::size_t>(source_width));
    cell.value = std::atof(text.c_str());
  }
  double answer = answered ? 0 : do_arith(*m, c);
  if (m->high_low != 0) {
    if (!m->has_extreme) {
      m->has_extreme = true;
    } else if (m->high_low == 1 ? m->extreme >= answer : m->extreme <= answer) {
      answer = m->extreme;
    }
    m->extreme = answer;
  }
  if (answer > 0) answer += m->rounding;
  if (answer < 0) answer -= m->rounding;
  const std::string text = answer_text(answer, m->decimals);
  if (width <= 0) return 0;
  std::memset(field, ' ', static_cast<std::size_t>(width));
  const auto w = static_cast<std::size_t>(width);
  std::string_view shown = text;
  if (text.size() > w) {
    PRINT('w', "cma3580", "Glopping off answer for %s in %s Source= %s, target= %d bytes\n",
          m->name.c_str(), c.name.c_str(), text.c_str(), width);
    // An answer whose whole part does not fit is an overflow, never its last digits.
    shown = fit_number(text, w);
    if (shown.empty()) {
      PRINT('w', "cma3668", "Math overflow - forcing answer of 0 in %s\n", m->name.c_str());
      shown = "0";
    }
  }
  std::memcpy(field + w - shown.size(), shown.data(), shown.size());
  if (c.tracem)
    PRINT('t', "cma3590", "ans= %f , len= %d, len2= %d, offset= %d, row= %d\n", answer, width,
          static_cast<int>(text.size()), col.stored_offset, c.stored.count() + 1);
  return 0;
}

void compute_maths(curs& c, char* row) {
  for (const auto& m : c.maths)
    if (const columns* col = column_named(c, m->name)) do_math(c, *col, row);
}

int edit_math(cursor_set& cursors) {
  bool ok = true;
  const std::string where = current_message_location();
  for (auto& owned : cursors.cur_anchor) {
    curs& c = *owned;
    for (auto& m : c.maths) {
      set_message_location(m->location);
      for (math_in& word : m->math) {
        if (word.type != kMathName) continue;
        columns* col = nullptr;
        curs* owner = nullptr;
        if (find_col(c, word.text, &col, &owner) != 0) {
          PRINT('e', "pma3480", "In math, variable (%s) not matched\n", word.text.c_str());
          ok = false;
          continue;
        }
        word.column = col;
        word.cursor = owner;
      }
    }
  }
  set_message_location(where);
  return report_pass(ok, {"pma3485", "Math edits successful\n"}, {"pma3490", "Math edits failed\n"});
}

}  // namespace qrx
