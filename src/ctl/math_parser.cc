// Math statements: options, name and the words of the expression, checked
// for balance and for what may stand next to what.

#include "ctl/math_parser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "base/log.h"
#include "base/text.h"
#include "ctl/parse_common.h"

namespace qrx {

namespace {

constexpr std::size_t kNameMax = 50;  // a math name must be shorter
constexpr std::size_t kWordMax = 49;

// Option words of a math statement, each in lower or upper case.
enum class Option { kRound, kNoRound, kHigh, kLow, kDecimal, kInitial };
constexpr struct {
  const char* word;
  Option option;
} kOptions[] = {
    {"round", Option::kRound},   {"noround", Option::kNoRound}, {"high", Option::kHigh},
    {"low", Option::kLow},       {"decimal", Option::kDecimal}, {"initial", Option::kInitial},
};

// The one-character tokens of an expression.
constexpr struct {
  char c;
  MathKind kind;
  const char* shown;  // trace text
} kTokens[] = {
    {'(', kMathOpen, ": Left Parenthesis"}, {')', kMathClose, ": Right parenthesis"},
    {'+', kMathPlus, ": Addition"},         {'-', kMathMinus, ": Subtraction"},
    {'*', kMathTimes, ": Multiplicaton"},   {'/', kMathDivide, ": Division"},
};

const Option* option_of(std::string_view word) {
  for (const auto& o : kOptions) {
    if (word == o.word || word == u_strupper(o.word)) return &o.option;
  }
  return nullptr;
}

// The value of a word that is wholly a decimal number.
bool number_of(std::string_view word, double* value) {
  if (word.empty()) return false;
  const std::size_t digit = word[0] == '+' || word[0] == '-' ? 1 : 0;
  if (digit >= word.size() || !(std::isdigit(static_cast<unsigned char>(word[digit])) ||
                                word[digit] == '.'))
    return false;
  const std::string text(word);
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool is_operand(uint16_t t) { return t == kMathName || t == kMathConstant; }
bool is_operator(uint16_t t) { return t >= kMathPlus && t <= kMathDivide; }

// The syntax fault of word `i` (0-based) between its neighbours, or null.
const char* syntax_fault(const std::vector<math_in>& words, std::size_t i) {
  constexpr uint16_t kNothing = 0xFFFF;
  const uint16_t prev = i == 0 ? kNothing : words[i - 1].type;
  const uint16_t next = i + 1 == words.size() ? kNothing : words[i + 1].type;
  const uint16_t t = words[i].type;
  if (is_operand(t)) {
    if (!(prev == kNothing || is_operator(prev) || prev == kMathOpen)) return "pma3460";
    if (!(next == kNothing || is_operator(next) || next == kMathClose)) return "pma3465";
    return nullptr;
  }
  if (t == kMathOpen) {
    // ") (" would leave two answers with nothing to combine them.
    if (!(prev == kNothing || is_operator(prev) || prev == kMathOpen)) return "pma3420";
    if (next == kNothing) return "pma3430";
    if (!(next == kMathOpen || is_operand(next))) return "pma3425";
    return nullptr;
  }
  if (t == kMathClose) {
    if (!(prev == kNothing || prev == kMathClose || is_operand(prev))) return "pma3435";
    if (is_operand(next)) return "pma3440";
    return nullptr;
  }
  if (is_operator(t)) {
    // An operator needs a left operand: one at the start would read a cell
    // that holds nothing.
    if (!(prev == kMathClose || is_operand(prev))) return "pma3445";
    if (next == kNothing) return "pma3455";
    if (!(next == kMathOpen || is_operand(next))) return "pma3450";
    return nullptr;
  }
  return "pma3470";
}

void trace_words(const m_anch& m) {
  PRINT('t', "pma3395", "Math name = %s, Word count = %d\n", m.name.c_str(), m.word_count);
  for (const math_in& w : m.math) {
    if (w.type == kMathName) {
      PRINT('t', "pma3405", "%s %s\n", w.text.c_str(), ": name");
    } else if (w.type == kMathConstant) {
      char shown[64];
      std::snprintf(shown, sizeof shown, ": constant : %f", w.value);
      PRINT('t', "pma3405", "%s %s\n", w.text.c_str(), shown);
    } else {
      for (const auto& tok : kTokens)
        if (tok.kind == w.type) PRINT('t', "pma3405", "%s %s\n", w.text.c_str(), tok.shown);
    }
  }
}

}  // namespace

m_anch* find_math(curs& c, std::string_view name) {
  for (auto& m : c.maths)
    if (m->name == name) return m.get();
  return nullptr;
}

const m_anch* find_math(const curs& c, std::string_view name) {
  for (const auto& m : c.maths)
    if (m->name == name) return m.get();
  return nullptr;
}

int parse_math(curs& c, std::string_view text) {
  const std::string all(strip(text, " "));
  auto m = std::make_unique<m_anch>();
  m->location = current_message_location();
  std::string_view rest = text;
  std::string_view word = next_word(rest);
  while (const Option* o = option_of(word)) {
    if (*o == Option::kNoRound) m->round = 0;
    if (*o == Option::kHigh) m->high_low = 1;
    if (*o == Option::kLow) m->high_low = 2;
    if (*o == Option::kDecimal || *o == Option::kInitial) {
      double value = 0;
      if (!number_of(next_word(rest), &value)) {
        if (*o == Option::kDecimal)
          PRINT('e', "pma3370", "Decimal specified without value in %s\n", all.c_str());
        else
          PRINT('e', "pma3375", "Initial specified without value in %s\n", all.c_str());
        return 1;
      }
      if (*o == Option::kInitial) {
        m->initial = value;
      } else {
        // More places than a double carries would print digits it never held.
        if (value < 0 || value > 15 || value != std::floor(value)) {
          PRINT('e', "pma3372", "Decimal places must be 0 to 15 in %s\n", all.c_str());
          return 1;
        }
        m->decimals = static_cast<uint16_t>(value);
      }
    }
    word = next_word(rest);
  }
  m->rounding = 0;
  if (m->round) {
    m->rounding = 0.5;
    for (int i = 0; i < m->decimals; ++i) m->rounding /= 10;
  }
  if (word.size() >= kNameMax) {
    PRINT('e', "pma3380", "Math name too long : %s\n", std::string(word).c_str());
    return 1;
  }
  if (word.empty()) {
    PRINT('e', "pma3382", "Math statement without a name : %s\n", all.c_str());
    return 1;
  }
  if (find_math(c, word)) {
    PRINT('e', "pma3385", "Duplicate use of math name %s\n", std::string(word).c_str());
    return 1;
  }
  m->name.assign(word);
  for (std::string_view w = next_word(rest); !w.empty(); w = next_word(rest)) {
    math_in in;
    in.text.assign(w);
    if (number_of(w, &in.value)) {
      in.type = kMathConstant;
    } else if (w.size() == 1 && std::string_view("()+-*/").find(w[0]) != std::string_view::npos) {
      for (const auto& tok : kTokens)
        if (tok.c == w[0]) in.type = tok.kind;
    } else if (w.size() > kWordMax) {
      PRINT('e', "pma3390", "Word in math expression is too long : %s\n", in.text.c_str());
      return 1;
    } else {
      in.type = kMathName;
    }
    m->parentheses += in.type == kMathOpen;
    m->math.push_back(std::move(in));
  }
  m->word_count = static_cast<uint16_t>(m->math.size());
  m_anch& made = *m;
  c.maths.push_back(std::move(m));
  if (c.tracem) trace_words(made);
  if (made.math.empty()) {
    PRINT('e', "pma3468", "Math %s has no expression\n", made.name.c_str());
    return 1;
  }
  int depth = 0;
  for (const math_in& w : made.math) {
    depth += w.type == kMathOpen;
    if (w.type == kMathClose && --depth < 0) {
      PRINT('e', "pma3410", "Right paren out of order\n");
      return 1;
    }
  }
  if (depth != 0) {
    PRINT('e', "pma3415", "Parens don't balance in %s\n", all.c_str());
    return 1;
  }
  for (std::size_t i = 0; i < made.math.size(); ++i) {
    if (const char* id = syntax_fault(made.math, i)) {
      if (std::string_view(id) == "pma3470")
        PRINT('e', id, "Failure in parsing math\n");
      else
        PRINT('e', id, "Bad math syntax starting at word %d in %s\n", static_cast<int>(i + 1),
              all.c_str());
      return 1;
    }
  }
  made.work.assign(made.math.size(), math_cell{});
  return 0;
}

}  // namespace qrx
