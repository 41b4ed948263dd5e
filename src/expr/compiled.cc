// The compiled evaluator: a list that a full evaluation has once evaluated
// without fault is compiled into steps over value slots (operands wired in
// advance, constants converted, LIKE patterns analysed), and a list of column
// tests under logical operations into a predicate with a truth table.
// Wherever a step meets what the full evaluation would log, the full
// evaluation runs instead. The forms are kept in the context.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/trace.h"
#include "expr/context.h"
#include "expr/evaluation.h"
#include "expr/interpreter.h"

namespace qrx {

// A list is compiled after a fault-free full evaluation has edited its terms.
// Every entry gets a value slot: a constant's slot is filled once, a column
// or working variable is read into its slot by a step, and each operation is
// a step over the slots of its arguments, fixed in advance. A comparison or
// LIKE of a column and a constant reads the column itself, and a list made
// only of those under logical operations is a predicate whose tests run in
// order only while their results so far leave its truth open. The steps repeat the routines' decisions and
// give up wherever a routine would log; the full evaluation then runs and says it.

namespace {

// The fields of a term that the routines read.
struct Val {
  const char* s = nullptr;  // text
  int32_t len = 0;          // its length; -1: a number whose text is not made yet
  int32_t data_type = kTypeString;
  int32_t num_class = kNotNumeric;
  int32_t i = 0;
  double d = 0;
  bool logical = false;  // made by a logical operation: text "1" or "0"
};

bool val_numeric(const Val& v) { return v.num_class == kNumInteger || v.num_class == kNumFloat; }
bool val_zero(const Val& v) { return v.num_class == kNumInteger ? v.i == 0 : v.d == 0.0; }
Num val_num(const Val& v) { return {v.num_class, v.i, v.d}; }

Val term_val(const TERM_TABLE& t) {
  return {t.value, t.value_len, t.data_type, t.num_class, t.ivalue, t.dvalue, false};
}
Val logical_val(bool v) { return {v ? "1" : "0", 1, kTypeString, kNumInteger, v ? 1 : 0, 0, true}; }
Val number_val(const Num& n) { return {nullptr, -1, kTypeString, n.cls, n.i, n.d, false}; }

enum StepCode : uint8_t {
  kStepTerm, kStepColumn, kStepOr, kStepAnd, kStepNot, kStepCompare, kStepLike, kStepArith,
  // A column against a constant, the column read in the step itself.
  kStepColumnNumber, kStepColumnText, kStepColumnLike
};
// Compared patterns: any, one without wildcards, a literal then only "%".
enum LikeShape : uint8_t { kLikeAny, kLikeExact, kLikePrefix };

struct Step {
  StepCode code = kStepTerm;
  LikeShape like = kLikeAny;
  char arith = 0;                  // '+', '-', '*', '/'
  uint8_t test = 0;                // comparison: the signs it holds for (kBelow, kEqual, kAbove)
  int nargs = 0;                   // arithmetic: arguments the routine reads
  uint32_t out = 0;                // the slot written
  uint32_t a = 0, b = 0;           // the argument slots
  TERM_TABLE* term = nullptr;      // term steps
  bool swapped = false;            // column steps: the column is the second argument
  const columns* column = nullptr; // column steps: the binding (kept while the generation is)
  const curs* cursor = nullptr;
  bool percent = false;
  double number = 0;               // column against a number: the number
  const char* pattern = nullptr;   // LIKE: the pattern value the shape was taken from;
  int32_t pattern_len = 0;         // column against a text: the text
  int32_t literal_len = 0;         // the pattern's literal part; the text without trailing blanks
};

// A column step of a predicate in the form its test runs in: the comparison
// turned round when the column is the second argument.
enum TestWay : uint8_t { kTestNumber, kTestPrefix, kTestLikeExact, kTestTextEqual, kTestTextOrder };
struct ColumnTest;
// A test over a column's value (`len` bytes at `value`): whether it holds.
using TestFunction = bool (*)(const ColumnTest& t, const char* value, int len);
// The same test over the column at `offset` (`len` bytes) of each of `n`
// rows: sets bit `bit` of `bits[i]` where it holds for `rows[i]`.
using RowsFunction = void (*)(const ColumnTest& t, const row_data* const* rows, std::size_t n,
                              int32_t offset, int len, uint32_t bit, uint32_t* bits);
struct TestFunctions {
  TestFunction one;
  RowsFunction rows;
};
// The functions of each way (`short_literal`: the literal fits the word),
// chosen once so that an evaluation does not.
TestFunctions test_functions(TestWay way, bool short_literal);
struct ColumnTest {
  TestFunction held = nullptr;
  RowsFunction held_rows = nullptr;
  uint8_t test = 0;          // the signs of (column - constant) it holds for
  bool percent = false;
  int32_t literal_len = 0;
  const columns* column = nullptr;
  const curs* cursor = nullptr;
  double number = 0;
  const char* pattern = nullptr;
  // A literal of at most eight bytes as a word: prefix and mask of its
  // bytes; for text equality the literal followed by blanks.
  uint64_t word = 0, mask = 0;
};

// Lists longer than this are always evaluated in full: it bounds the cache.
constexpr std::size_t kCompiledListMax = 256;

struct Program {
  LexList list;          // the list compiled, end marker included
  uint64_t generation = 0;
  bool usable = false;   // false: this list needs the full evaluation
  // Made only of column tests and logical operations: every test runs, in
  // list order, and its results index `truth`, the list's value for each
  // combination (bit i: test i held), worked out once at compile time.
  bool predicate = false;
  std::vector<ColumnTest> tests;
  std::array<uint64_t, 4> truth{};
  std::vector<Step> steps;
  std::vector<Val> vals;  // by list position
  std::vector<std::string> texts;  // by list position: numbers' texts, made on demand
  uint32_t result = 0;
};

// Compiled lists by the address of their entries; a collision only costs a
// recompilation.
constexpr std::size_t kProgramSlots = 64;

}  // namespace

struct CompiledForms {
  std::unique_ptr<Program> programs[kProgramSlots];
};

void CompiledFormsRelease::operator()(CompiledForms* forms) const { delete forms; }

CompiledFormsPtr make_compiled_forms() { return CompiledFormsPtr(new CompiledForms); }

namespace {

// The form kept for `rpn`'s address.
std::unique_ptr<Program>& program_slot(ExprContext& cx, const LexList& rpn) {
  const auto key = reinterpret_cast<std::uintptr_t>(rpn.data());
  return cx.compiled_forms->programs[((key >> 4) ^ (key >> 12)) % kProgramSlots];
}

// A comparison's sign test as the set of signs it holds for, so that a
// test is one shift; these agree with eq, ne, lt, ge, gt and le.
enum SignBit : uint8_t { kBelow = 1, kEqual = 2, kAbove = 4 };
constexpr uint8_t sign_set(int routine) {
  switch (routine) {
    case kEquPrc: return kEqual;
    case kNequPrc: return kBelow | kAbove;
    case kLessPrc: return kBelow;
    case kNlessPrc: return kEqual | kAbove;
    case kGrtPrc: return kAbove;
    default: return kBelow | kEqual;
  }
}
inline bool sign_test(uint8_t set, int d) { return (set >> ((d > 0) - (d < 0) + 1)) & 1; }

// memcmp's sign over a few bytes, without a call.
inline int short_compare(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i])
      return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
  return 0;
}

// The shape of a constant pattern, judged on its trimmed text.
void analyse_pattern(const TERM_TABLE& pattern, Step& step) {
  step.pattern = pattern.value;
  step.pattern_len = pattern.value_len;
  const std::string_view p = trimmed(pattern);
  const std::size_t wild = p.find_first_of("%_");
  if (wild == std::string_view::npos) {
    step.like = kLikeExact;
    step.literal_len = static_cast<int32_t>(p.size());
  } else if (p.find_first_not_of('%', wild) == std::string_view::npos &&
             (wild == 0 || p[wild - 1] != ' ')) {
    // The literal ends in no blank, so it matches the subject's front
    // before trimming exactly when it does after.
    step.like = kLikePrefix;
    step.literal_len = static_cast<int32_t>(wild);
  }
}

bool is_constant(const TERM_TABLE& t) {
  return (t.kind == kTermString || t.kind == kTermNumber) && t.bound_column == nullptr;
}

// The step of operation `op` over `args` (its argument slots); false for
// operations that change terms (assignment, aggregates) or lack arguments.
bool operation_step(const Program& p, const Operation& op, const uint32_t* args, Step& step) {
  step.a = args[0];
  step.b = op.args > 1 ? args[1] : args[0];
  const bool binary = op.args >= 2;
  switch (op.routine) {
    case kOrPrc: step.code = kStepOr; return binary;
    case kAndPrc: step.code = kStepAnd; return binary;
    case kNotPrc: step.code = kStepNot; return true;
    case kEquPrc: case kNequPrc: case kLessPrc: case kNlessPrc: case kGrtPrc: case kNgrtPrc:
      step.code = kStepCompare;
      step.test = sign_set(op.routine);
      return binary;
    case kLikePrc: {
      step.code = kStepLike;
      const Lexeme* pattern = p.list[step.b];
      if (pattern->entry_type == kLexTerm) {
        const auto& t = *static_cast<const TERM_TABLE*>(pattern);
        if (is_constant(t) && t.kind == kTermString) analyse_pattern(t, step);
      }
      return binary;
    }
    case kPlusPrc: case kMinusPrc: case kMltplPrc: case kDivPrc: case kNegPrc:
      step.code = kStepArith;
      step.arith = op.routine == kPlusPrc    ? '+'
                   : op.routine == kMltplPrc ? '*'
                   : op.routine == kDivPrc   ? '/'
                                             : '-';
      step.nargs = op.routine == kNegPrc ? 1 : op.args;
      return true;
    default:
      return false;
  }
}

// The term at list position `k` when it is a bound column, else null.
TERM_TABLE* column_at(const LexList& rpn, uint32_t k) {
  if (rpn[k]->entry_type != kLexTerm) return nullptr;
  auto* t = const_cast<TERM_TABLE*>(static_cast<const TERM_TABLE*>(rpn[k]));
  return t->edited && t->bound_column != nullptr ? t : nullptr;
}
// The term at list position `k` when it is an edited constant, else null.
const TERM_TABLE* constant_at(const LexList& rpn, uint32_t k) {
  if (rpn[k]->entry_type != kLexTerm) return nullptr;
  const auto* t = static_cast<const TERM_TABLE*>(rpn[k]);
  return t->edited && is_constant(*t) ? t : nullptr;
}

// A column step reads the binding of its column term as compiled: a term's
// binding never changes once it is edited, and freeing it changes the generation.
void bind_step(const TERM_TABLE& column, Step& step) {
  step.column = column.bound_column;
  step.cursor = column.bound_cursor;
  step.percent = column.bound_percent;
}

// Turns a comparison or LIKE step of a column and a constant into a step that
// reads the column itself; false when the pair is of no such kind.
bool fuse_column_step(const LexList& rpn, Step& step) {
  if (step.code == kStepLike) {
    TERM_TABLE* column = column_at(rpn, step.a);
    if (column == nullptr || step.like == kLikeAny) return false;
    step.code = kStepColumnLike;
    bind_step(*column, step);
    return true;
  }
  if (step.code != kStepCompare) return false;
  step.swapped = column_at(rpn, step.a) == nullptr;
  TERM_TABLE* column = column_at(rpn, step.swapped ? step.b : step.a);
  const TERM_TABLE* constant = constant_at(rpn, step.swapped ? step.a : step.b);
  if (column == nullptr || constant == nullptr) return false;
  const bool numeric_constant =
      constant->num_class == kNumInteger || constant->num_class == kNumFloat;
  bind_step(*column, step);
  if (column->data_type == kTypeFloat && column->num_class == kNumFloat && numeric_constant) {
    step.code = kStepColumnNumber;
    step.number = term_num(*constant).as_double();
    return true;
  }
  if (column->data_type == kTypeString && column->num_class == kNotNumeric &&
      constant->data_type == kTypeString && !numeric_constant && constant->value_len > 0) {
    step.code = kStepColumnText;
    step.pattern = constant->value;
    step.pattern_len = constant->value_len;
    step.literal_len = compared_len(constant->value, constant->value_len);
    return true;
  }
  return false;
}

// Most column tests a predicate holds (a truth table of 2^8 bits).
constexpr std::size_t kTableTestsMax = 8;

// The test of a fused column step.
ColumnTest column_test_of(const Step& st) {
  ColumnTest t;
  t.test = st.swapped ? static_cast<uint8_t>((st.test & kEqual) | (st.test & kBelow ? kAbove : 0) |
                                             (st.test & kAbove ? kBelow : 0))
                      : st.test;
  t.percent = st.percent;
  TestWay way = kTestNumber;
  switch (st.code) {
    case kStepColumnNumber: break;
    case kStepColumnLike: way = st.like == kLikePrefix ? kTestPrefix : kTestLikeExact; break;
    default:
      way = t.test == kEqual || t.test == (kBelow | kAbove) ? kTestTextEqual : kTestTextOrder;
  }
  t.literal_len = st.literal_len;
  t.column = st.column;
  t.cursor = st.cursor;
  t.number = st.number;
  t.pattern = st.pattern;
  const bool short_literal = t.literal_len <= 8 && st.code != kStepColumnNumber;
  if (short_literal) {
    char word[8], mask[8];
    const auto n = static_cast<std::size_t>(t.literal_len);
    std::memset(word, st.code == kStepColumnText ? ' ' : 0, sizeof word);
    std::memcpy(word, t.pattern, n);
    std::memset(mask, 0, sizeof mask);
    std::memset(mask, 0xFF, n);
    std::memcpy(&t.word, word, sizeof word);
    std::memcpy(&t.mask, mask, sizeof mask);
  }
  const TestFunctions functions = test_functions(way, short_literal);
  t.held = functions.one;
  t.held_rows = functions.rows;
  return t;
}

// Makes `p` a predicate when its steps are column tests under logical
// operations only: each combination of the tests' results is run through
// the logical steps once, here, into the truth table.
void make_predicate(const LexList& rpn, Program& p) {
  std::size_t n = 0;
  for (const Step& st : p.steps) {
    if (st.code >= kStepColumnNumber) {
      ++n;
      continue;
    }
    const bool logical = st.code == kStepOr || st.code == kStepAnd || st.code == kStepNot;
    if (!logical || rpn[st.a]->entry_type != kLexOperation ||
        rpn[st.b]->entry_type != kLexOperation)
      return;
  }
  if (n > kTableTestsMax) return;
  for (uint32_t bits = 0; bits < (1u << n); ++bits) {
    std::vector<bool> stack;
    std::size_t next_test = 0;
    for (const Step& st : p.steps) {
      if (st.code >= kStepColumnNumber) {
        stack.push_back((bits >> next_test++) & 1);
      } else if (st.code == kStepNot) {
        stack.back() = !stack.back();
      } else {
        const bool right = stack.back();
        stack.pop_back();
        stack.back() = st.code == kStepOr ? stack.back() || right : stack.back() && right;
      }
    }
    if (stack.back()) p.truth[bits >> 6] |= uint64_t{1} << (bits & 63);
  }
  for (const Step& st : p.steps) {
    if (st.code < kStepColumnNumber) continue;
    p.tests.push_back(column_test_of(st));
  }
  p.predicate = true;
}

// Compiles `rpn`, whose terms a full evaluation has just edited.
std::unique_ptr<Program> compile(const ExprContext& cx, const LexList& rpn) {
  auto p = std::make_unique<Program>();
  p->list = rpn;
  p->generation = term_generation(cx);
  if (rpn.size() > kCompiledListMax) return p;
  p->vals.resize(rpn.size());
  // The operations' steps first, from their arguments' positions.
  std::vector<uint32_t> stack;
  std::vector<Step> operations;
  std::vector<bool> read_by_step(rpn.size(), false);  // columns a fused step reads
  uint32_t end = 0;
  for (; end < rpn.size() && rpn[end] != nullptr; ++end) {
    const Lexeme* l = rpn[end];
    if (l->entry_type == kLexOperation) {
      const auto& op = *static_cast<const Operation*>(l);
      if (op.args == kVariableArgs || op.args == 0 || stack.size() < op.args) return p;
      Step step;
      step.out = end;
      if (!operation_step(*p, op, stack.data() + stack.size() - op.args, step)) return p;
      if (fuse_column_step(rpn, step)) read_by_step[step.swapped ? step.b : step.a] = true;
      operations.push_back(step);
      stack.resize(stack.size() - op.args);
      p->result = end;
    } else if (l->entry_type != kLexTerm) {
      return p;
    }
    stack.push_back(end);
  }
  if (operations.empty()) return p;
  // Then every step in list order: a term's step comes before its operation's.
  auto next_operation = operations.begin();
  for (uint32_t k = 0; k < end; ++k) {
    if (rpn[k]->entry_type == kLexOperation) {
      p->steps.push_back(*next_operation++);
      continue;
    }
    auto* t = const_cast<TERM_TABLE*>(static_cast<const TERM_TABLE*>(rpn[k]));
    if (!t->edited || read_by_step[k]) continue;  // unedited: never an argument
    if (is_constant(*t)) {
      p->vals[k] = term_val(*t);
      continue;
    }
    Step step;
    step.out = k;
    step.code = t->bound_column != nullptr ? kStepColumn : kStepTerm;
    step.term = t;
    p->steps.push_back(step);
  }
  p->texts.resize(rpn.size());
  p->usable = true;
  make_predicate(rpn, *p);
  return p;
}

// The trimmed text of slot `k`, made for a number on first need.
std::string_view val_text(Program& p, uint32_t k) {
  Val& v = p.vals[k];
  if (v.len < 0) {
    char buf[kNumberTextMax];
    std::string& text = p.texts[k];
    text.assign(number_text(val_num(v), buf));
    v.s = text.data();
    v.len = static_cast<int32_t>(text.size());
  }
  return {v.s, static_cast<std::size_t>(text_len(v.s, v.len))};
}

// compare_subr over values; false where it would log.
bool compare_vals(const Val& a, const Val& b, int* d) {
  if (!val_numeric(a) && !val_numeric(b) && a.data_type == kTypeString &&
      b.data_type == kTypeString) {
    if (a.len == 0 || b.len == 0) return false;
    const int la = compared_len(a.s, a.len);
    const int lb = compared_len(b.s, b.len);
    *d = la != lb ? la - lb : std::memcmp(a.s, b.s, static_cast<std::size_t>(la));
    return true;
  }
  Num n[2];
  const Val* arg[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    if (val_numeric(*arg[i])) {
      n[i] = val_num(*arg[i]);
    } else if (arg[i]->data_type != kTypeString ||
               parse_number(arg[i]->s, arg[i]->len, &n[i]) != 0) {
      return false;
    }
  }
  const double diff = n[0].as_double() - n[1].as_double();
  *d = diff > 0 ? 1 : diff < 0 ? -1 : 0;
  return true;
}

// arith_num over a value; false where it would log.
bool arith_val(const Val& v, Num* out) {
  if (val_numeric(v)) {
    *out = val_num(v);
    return true;
  }
  return v.data_type == kTypeString && parse_number(v.s, v.len, out) == 0;
}

// arithm_subr over values; false where it would log.
bool arith_vals(const Val& a, const Val& b, int n, char op, Val* r) {
  Num x, y;
  if (!arith_val(a, &x) || (n > 1 && !arith_val(b, &y))) return false;
  bool integer = x.cls == kNumInteger && (n == 1 || y.cls == kNumInteger);
  const double u = x.as_double(), w = y.as_double();
  double v = 0;
  switch (op) {
    case '+': v = u + w; break;
    case '-': v = n == 1 ? -u : u - w; break;
    case '*': v = u * w; break;
    default:
      if (w == 0.0) return false;
      v = u / w;
      integer = false;
  }
  if (!integer) {
    *r = number_val({kNumFloat, 0, v});
    return true;
  }
  const double t = std::trunc(v);
  if (!(t >= INT32_MIN && t <= INT32_MAX)) return false;
  *r = number_val({kNumInteger, static_cast<int32_t>(t), 0});
  return true;
}

// LIKE of the text `s` (`len` bytes, trailing blanks included) against the
// step's analysed pattern.
[[gnu::always_inline]] inline bool shaped_like(const Step& st, const char* s, int len) {
  const auto n = static_cast<std::size_t>(st.literal_len);
  if (st.like == kLikePrefix)
    return static_cast<std::size_t>(len) >= n && short_compare(s, st.pattern, n) == 0;
  len = text_len(s, len);
  return static_cast<std::size_t>(len) == n && short_compare(s, st.pattern, n) == 0;
}

bool like_vals(Program& p, const Step& st) {
  const Val& pattern = p.vals[st.b];
  const Val& subject = p.vals[st.a];
  if (st.like != kLikeAny && pattern.s == st.pattern && pattern.len == st.pattern_len &&
      subject.len >= 0)
    return shaped_like(st, subject.s, subject.len);
  return like_match(val_text(p, st.a), val_text(p, st.b));
}

// The rows column terms read in one evaluation.
// The context's lookup, cursor and row are taken once: no test or step changes them.
struct Rows {
  explicit Rows(const ExprContext& cx)
      : percent_row(cx.names.cursors ? cx.names.percent_row : nullptr),
        cursors(cx.names.cursors),
        current(cx.current_cursor),
        current_row(cx.current_row) {}
  const row_data* of(bool percent_column, const curs* cursor, const columns& col) const {
    if (percent_column) return percent_row ? percent_row(*cursors, col) : nullptr;
    return cursor == current && current_row != nullptr ? current_row : cursor->stored.last();
  }
  const row_data* (*const percent_row)(cursor_set& cursors, const columns& col);
  cursor_set* const cursors;
  const curs* const current;
  const row_data* const current_row;
};

// Where a column step reads its column: false where the routine would log.
[[gnu::always_inline]] inline bool test_place(const Step& st, const Rows& rows, const char** value,
                                              int* len) {
  const row_data* row = rows.of(st.percent, st.cursor, *st.column);
  // Offset and width are read from the column each time: they may change.
  const columns& col = *st.column;
  if (row == nullptr || col.stored_length <= 0) return false;
  *value = row->data() + col.stored_offset;
  *len = col.stored_length;
  return true;
}

// A column step's test over its column's value.
[[gnu::always_inline]] inline bool test_value(const Step& st, const char* value, int len) {
  int d = 0;
  switch (st.code) {
    case kStepColumnLike:
      return shaped_like(st, value, len);
    case kStepColumnNumber: {
      const double diff = value_atof(value, len) - st.number;
      d = diff > 0 ? 1 : diff < 0 ? -1 : 0;
      break;
    }
    default: {
      const int la = compared_len(value, len);
      d = la != st.literal_len ? la - st.literal_len
                               : short_compare(value, st.pattern, static_cast<std::size_t>(la));
    }
  }
  return sign_test(st.test, st.swapped ? -d : d);
}

// A column step's test: 1 true, 0 false, -1 where the routine would log.
[[gnu::always_inline]] inline int column_test(const Step& st, const Rows& rows) {
  const char* value = nullptr;
  int len = 0;
  if (!test_place(st, rows, &value, &len)) return -1;
  return test_value(st, value, len);
}

// Runs the steps; false when a routine would have logged (or a term is no
// longer what it was compiled as).
bool run(const ExprContext& cx, Program& p) {
  Val* vals = p.vals.data();
  const Rows rows(cx);
  for (const Step& st : p.steps) {
    Val& out = vals[st.out];
    switch (st.code) {
      case kStepTerm:
        if (!st.term->edited || st.term->bound_column != nullptr) return false;
        out = term_val(*st.term);
        break;
      case kStepColumn: {
        TERM_TABLE& t = *st.term;
        if (!t.edited || t.bound_column == nullptr) return false;
        if (!point_column(t, rows.of(t.bound_percent, t.bound_cursor, *t.bound_column))) return false;
        out = term_val(t);
        break;
      }
      case kStepOr:
      case kStepAnd: {
        const Val &a = vals[st.a], &b = vals[st.b];
        if (!val_numeric(a) || !val_numeric(b)) return false;
        out = logical_val(st.code == kStepOr ? !val_zero(a) || !val_zero(b)
                                             : !val_zero(a) && !val_zero(b));
        break;
      }
      case kStepNot:
        if (!val_numeric(vals[st.a])) return false;
        out = logical_val(val_zero(vals[st.a]));
        break;
      case kStepCompare: {
        int d = 0;
        if (!compare_vals(vals[st.a], vals[st.b], &d)) return false;
        out = logical_val(sign_test(st.test, d));
        break;
      }
      case kStepLike:
        out = logical_val(like_vals(p, st));
        break;
      case kStepArith:
        if (!arith_vals(vals[st.a], vals[st.b], st.nargs, st.arith, &out)) return false;
        break;
      case kStepColumnNumber:
      case kStepColumnText:
      case kStepColumnLike: {
        const int truth = column_test(st, rows);
        if (truth < 0) return false;
        out = logical_val(truth != 0);
        break;
      }
    }
  }
  return true;
}

// True when the `len` bytes at `s` are all blanks.
[[gnu::always_inline]] inline bool all_blanks(const char* s, std::size_t len) {
  for (; len >= 8; s += 8, len -= 8)
    if (load8(s) != kEightBlanks) return false;
  for (; len > 0; ++s, --len)
    if (*s != ' ') return false;
  return true;
}

// A predicate's test over its column's value, each way on its shortest path
// (`Short`: the literal is in the test's word and the value is read as one).
template <TestWay W, bool Short>
[[gnu::always_inline]] inline bool way_test(const ColumnTest& t, const char* value, int len) {
  const auto n = static_cast<std::size_t>(t.literal_len);
  if constexpr (W == kTestNumber) {
    // The sign as a set without branches (its result varies from row to
    // row): above 4, below 1, otherwise (NaN too, as compare_subr) equal 2.
    const double v = value_atof(value, len);
    const int above = v > t.number, below = v < t.number;
    return t.test & (2 + 2 * above - below);
  } else if constexpr (W == kTestPrefix) {
    if (Short && len >= 8) return (load8(value) & t.mask) == t.word;
    return static_cast<std::size_t>(len) >= n && short_compare(value, t.pattern, n) == 0;
  } else if constexpr (W == kTestTextEqual) {
    if (Short && len >= 8)
      return (load8(value) == t.word && all_blanks(value + 8, static_cast<std::size_t>(len) - 8)) ==
             (t.test == kEqual);
    // The constant's text ends in no blank (or is one blank): equal
    // trimmed texts are the same bytes followed by blanks only.
    const bool same = static_cast<std::size_t>(len) >= n &&
                      short_compare(value, t.pattern, n) == 0 &&
                      all_blanks(value + n, static_cast<std::size_t>(len) - n);
    return same == (t.test == kEqual);
  } else if constexpr (W == kTestLikeExact) {
    len = text_len(value, len);
    return static_cast<std::size_t>(len) == n && short_compare(value, t.pattern, n) == 0;
  } else {
    const int la = compared_len(value, len);
    const int d = la != t.literal_len
                      ? la - t.literal_len
                      : short_compare(value, t.pattern, static_cast<std::size_t>(la));
    return sign_test(t.test, d);
  }
}

template <TestWay W, bool Short>
void way_rows(const ColumnTest& t, const row_data* const* rows, std::size_t n, int32_t offset,
              int len, uint32_t bit, uint32_t* bits) {
  // A copy the stores into `bits` cannot reach, so that its fields stay in registers.
  const ColumnTest test = t;
  for (std::size_t i = 0; i < n; ++i)
    bits[i] |= uint32_t{way_test<W, Short>(test, rows[i]->data() + offset, len)} << bit;
}

template <TestWay W, bool Short>
constexpr TestFunctions way_functions() {
  return {way_test<W, Short>, way_rows<W, Short>};
}

TestFunctions test_functions(TestWay way, bool short_literal) {
  switch (way) {
    case kTestNumber: return way_functions<kTestNumber, false>();
    case kTestPrefix:
      return short_literal ? way_functions<kTestPrefix, true>() : way_functions<kTestPrefix, false>();
    case kTestTextEqual:
      return short_literal ? way_functions<kTestTextEqual, true>()
                           : way_functions<kTestTextEqual, false>();
    case kTestLikeExact: return way_functions<kTestLikeExact, false>();
    case kTestTextOrder: break;
  }
  return way_functions<kTestTextOrder, false>();
}

// Test `t`, number `i` of its predicate, into bit `i` of `*bits`; false where run() would be.
[[gnu::always_inline]] inline bool run_test(const ColumnTest& t, uint32_t i, const Rows& rows,
                                            uint32_t* bits) {
  const row_data* row = rows.of(t.percent, t.cursor, *t.column);
  // Offset and width are read from the column each time: they may change.
  const columns& col = *t.column;
  if (row == nullptr || col.stored_length <= 0) return false;
  *bits |= uint32_t{t.held(t, row->data() + col.stored_offset, col.stored_length)} << i;
  return true;
}

// Runs every column test of a predicate, as the full evaluation reads every
// column, and looks its truth up; false where run() would be. No test
// depends on another's result, so there is no branch on one to mispredict.
[[gnu::always_inline]] inline bool run_predicate(const ExprContext& cx, const Program& p,
                                                 bool* truth) {
  const ColumnTest* t = p.tests.data();
  const Rows rows(cx);
  uint32_t bits = 0;
  // Up to four tests without a loop, last first: no test reads another's result.
  switch (const std::size_t n = p.tests.size()) {
    case 4: if (!run_test(t[3], 3, rows, &bits)) return false; [[fallthrough]];
    case 3: if (!run_test(t[2], 2, rows, &bits)) return false; [[fallthrough]];
    case 2: if (!run_test(t[1], 1, rows, &bits)) return false; [[fallthrough]];
    case 1: if (!run_test(t[0], 0, rows, &bits)) return false; break;
    default:
      for (uint32_t i = 0; i < n; ++i)
        if (!run_test(t[i], i, rows, &bits)) return false;
  }
  *truth = (p.truth[bits >> 6] >> (bits & 63)) & 1;
  return true;
}

// True when `p` was compiled from a list with the entries of `rpn`.
[[gnu::always_inline]] inline bool same_list(const Program& p, const LexList& rpn) {
  // One block compare: lists are short and this runs per evaluation.
  return p.list.size() == rpn.size() &&
         std::memcmp(p.list.data(), rpn.data(), rpn.size() * sizeof(const Lexeme*)) == 0;
}

// How an evaluation was answered.
enum class Answer { kCompiled, kFull, kFailed };

// Evaluates `rpn` through the compiled form in `slot`, compiling it anew
// when there is none or it is stale (`check_list`: also when it was compiled
// from other entries). kCompiled: `*truth` is whether the result is a
// nonzero number, and unless the form is a predicate the result is its
// result slot; kFull: the full evaluation's work value is in `*full`.
[[gnu::always_inline]] inline Answer evaluate(ExprContext& cx, std::unique_ptr<Program>& slot,
                                              const LexList& rpn, bool check_list,
                                              TERM_TABLE** full, bool* truth) {
  // Tracing reports every argument: only the full evaluation does.
  if (!cx.compiled_on || trace_all || rpn.empty()) {
    *full = full_evaluation(cx, rpn);
    return *full != nullptr ? Answer::kFull : Answer::kFailed;
  }
  Program* p = slot.get();
  if (p == nullptr || p->generation != term_generation(cx) ||
      (check_list && !same_list(*p, rpn))) {
    *full = full_evaluation(cx, rpn);
    if (*full == nullptr) return Answer::kFailed;
    slot = compile(cx, rpn);
    return Answer::kFull;
  }
  if (!p->usable || !(p->predicate ? run_predicate(cx, *p, truth) : run(cx, *p))) {
    *full = full_evaluation(cx, rpn);
    return *full != nullptr ? Answer::kFull : Answer::kFailed;
  }
  if (!p->predicate) {
    const Val& v = p->vals[p->result];
    *truth = val_numeric(v) && !val_zero(v);
  }
  ++cx.compiled_count;
  return Answer::kCompiled;
}

}  // namespace

struct CompiledExpr::Form {
  std::unique_ptr<Program> program;
};

CompiledExpr::CompiledExpr(ExprContext& cx, const LexList& rpn)
    : cx_(cx), list_(rpn), form_(std::make_unique<Form>()) {}
CompiledExpr::~CompiledExpr() = default;

int CompiledExpr::evaluate(bool* truth) {
  // A predicate compiled for the terms as they are is run here, without the
  // general way's frame; everything else (and a test that would log) takes that way.
  if (const Program* p = form_->program.get();
      p != nullptr && p->predicate && cx_.compiled_on && trace_all == 0 &&
      p->generation == term_generation(cx_) && run_predicate(cx_, *p, truth)) {
    ++cx_.compiled_count;
    return 0;
  }
  return evaluate_in_general(truth);
}

int CompiledExpr::evaluate_in_general(bool* truth) {
  TERM_TABLE* full = nullptr;
  switch (qrx::evaluate(cx_, form_->program, list_, false, &full, truth)) {
    case Answer::kCompiled:
      return 0;
    case Answer::kFull:
      *truth = is_numeric(*full) && !is_zero(*full);
      free_work_chain(cx_, full, nullptr, 1);
      return 0;
    case Answer::kFailed:
      break;
  }
  return 1;
}

void set_compiled_evaluation(ExprContext& cx, bool on) {
  cx.compiled_on = on;
  if (!on)
    for (auto& p : cx.compiled_forms->programs) p.reset();
}

std::size_t compiled_evaluations(const ExprContext& cx) { return cx.compiled_count; }

namespace {

// interpreter() on every way.
[[gnu::noinline]] TERM_TABLE* interpreter_in_general(ExprContext& cx, const LexList& rpn,
                                                     std::unique_ptr<Program>& slot) {
  TERM_TABLE* full = nullptr;
  bool truth = false;
  switch (evaluate(cx, slot, rpn, true, &full, &truth)) {
    case Answer::kCompiled: break;
    case Answer::kFull: return full;
    case Answer::kFailed: return nullptr;
  }
  TERM_TABLE* r = alloc_work_var(cx);
  if (slot->predicate) {
    set_logical(*r, truth);
    return r;
  }
  const Val& v = slot->vals[slot->result];
  if (v.logical)
    set_logical(*r, v.i != 0);
  else
    set_number(*r, val_num(v));
  return r;
}

}  // namespace

TERM_TABLE* interpreter(ExprContext& cx, const LexList& rpn) {
  std::unique_ptr<Program>& slot = program_slot(cx, rpn);
  // As CompiledExpr::evaluate(), with the list checked as well.
  bool truth = false;
  if (const Program* p = slot.get(); p != nullptr && p->predicate && cx.compiled_on &&
                                     trace_all == 0 && p->generation == term_generation(cx) &&
                                     same_list(*p, rpn) && run_predicate(cx, *p, &truth)) {
    ++cx.compiled_count;
    TERM_TABLE* r = alloc_work_var(cx);
    set_logical(*r, truth);
    return r;
  }
  return interpreter_in_general(cx, rpn, slot);
}

int evaluate_rows(ExprContext& cx, const LexList& rpn, std::span<const row_data* const> rows,
                  std::span<bool> truths) {
  if (!cx.compiled_on || trace_all != 0 || truths.size() < rows.size()) return 1;
  const Program* p = program_slot(cx, rpn).get();
  if (p == nullptr || p->generation != term_generation(cx) || !same_list(*p, rpn)) return 2;
  if (!p->predicate) return 1;
  const curs* const current = get_current_cursor(cx);
  // The rows are taken a block at a time, each test over the whole block:
  // one dispatch per test and block, and rows that do not wait on each other.
  constexpr std::size_t kBlock = 128;
  uint32_t bits[kBlock];
  for (std::size_t start = 0; start < rows.size(); start += kBlock) {
    const std::size_t n = std::min(kBlock, rows.size() - start);
    const row_data* const* block = rows.data() + start;
    std::fill_n(bits, n, 0u);
    for (uint32_t i = 0; i < p->tests.size(); ++i) {
      const ColumnTest& t = p->tests[i];
      // Offset and width are read from the column: they may have changed.
      const columns& col = *t.column;
      if (col.stored_length <= 0) return 1;
      if (!t.percent && t.cursor == current) {
        t.held_rows(t, block, n, col.stored_offset, col.stored_length, i, bits);
        continue;
      }
      // Any other row is the same for every row of the block.
      const row_data* row = t.percent ? percent_cursor_row(cx, col) : t.cursor->stored.last();
      if (row == nullptr) return 1;
      const uint32_t held = t.held(t, row->data() + col.stored_offset, col.stored_length);
      for (std::size_t k = 0; k < n; ++k) bits[k] |= held << i;
    }
    for (std::size_t k = 0; k < n; ++k)
      truths[start + k] = (p->truth[bits[k] >> 6] >> (bits[k] & 63)) & 1;
  }
  cx.compiled_count += rows.size();
  return 0;
}

}  // namespace qrx
