// The full evaluator: every term of a list resolved (names bound to columns,
// percent variables and working variables, constants converted) and every
// operation run by its routine over work values, with the messages that say
// what failed. The compiled evaluator (compiled.cc) answers instead where it can.
#include "expr/interpreter.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/trace.h"
#include "expr/context.h"
#include "expr/evaluation.h"

namespace qrx {

namespace {

const char* kind_word(const Operation& op) {
  return op.oper_class == kClassFunction ? "function" : "operation";
}

const char* value_word(const TERM_TABLE& t) {
  return t.kind == kTermColumn ? "column" : "variable";
}

}  // namespace

int parse_number(const char* text, int len, Num* out) {
  if (len <= 0) return 1;
  const std::string s(text, static_cast<std::size_t>(len));
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (end == s.c_str() + s.size() && errno == 0 && v >= INT32_MIN && v <= INT32_MAX &&
      !std::isspace(static_cast<unsigned char>(s[0]))) {
    *out = {kNumInteger, static_cast<int32_t>(v), 0};
    return 0;
  }
  errno = 0;
  const double d = std::strtod(s.c_str(), &end);
  if (end == s.c_str() + s.size() && errno == 0 && !std::isspace(static_cast<unsigned char>(s[0]))) {
    *out = {kNumFloat, 0, d};
    return 0;
  }
  return 1;
}

double general_atof(const char* text, const char* end) {
  while (text < end && std::isspace(static_cast<unsigned char>(*text))) ++text;
  if (text < end && *text == '+') ++text;
  double d = 0;
  if (std::from_chars(text, end, d).ec != std::errc()) return 0;
  return d;
}

std::string_view number_text(const Num& n, char (&buf)[kNumberTextMax]) {
  const std::to_chars_result r =
      n.cls == kNumInteger ? std::to_chars(buf, buf + sizeof buf, n.i)
                           : std::to_chars(buf, buf + sizeof buf, n.d, std::chars_format::fixed, 6);
  return {buf, static_cast<std::size_t>(r.ptr - buf)};
}

void set_number(TERM_TABLE& t, const Num& n) {
  char buf[kNumberTextMax];
  t.set_value(number_text(n, buf));
  t.num_class = n.cls;
  t.ivalue = n.i;
  t.dvalue = n.d;
}

namespace {

// ---- resolving terms --------------------------------------------------------

// Points a bound column term at its current value; 1 when there is none.
int refresh_column(const ExprContext& cx, TERM_TABLE& t) {
  const row_data* row = t.bound_percent ? percent_cursor_row(cx, *t.bound_column)
                                        : cursor_row(cx, t.bound_cursor, get_current_cursor(cx));
  if (point_column(t, row)) return 0;
  PRINT('e', "Int0100", "No value for %s %s\n", value_word(t), t.text);
  return 1;
}

void bind_column(TERM_TABLE& t, const curs* c, const columns* col, bool percent) {
  t.bound_cursor = c;
  t.bound_column = col;
  t.bound_percent = percent;
  if (col->col_type == kColNumeric) {
    t.data_type = kTypeFloat;
    t.num_class = kNumFloat;
  } else {
    t.data_type = kTypeString;
    t.num_class = kNotNumeric;
  }
}

int define_column(TERM_TABLE& t, const curs& c) {
  const columns* col = find_column(c, t.text);
  if (col == nullptr) {
    PRINT('h', "Int0510", "Column %s not found for cursor %s\n", t.text, c.name.c_str());
    return 1;
  }
  bind_column(t, &c, col, false);
  return 0;
}

int this_curs_column(const ExprContext& cx, TERM_TABLE& t) {
  const curs* c = get_current_cursor(cx);
  if (c == nullptr || define_column(t, *c) != 0) return 1;
  std::snprintf(t.curs_name, sizeof t.curs_name, "%s", c->name.c_str());
  return 0;
}

int define_percent_var(const ExprContext& cx, TERM_TABLE& t) {
  const columns* col = cx.names.find_percent ? cx.names.find_percent(t.text) : nullptr;
  if (col == nullptr) {
    PRINT('e', "Int0520", "Variable %s not found\n", t.text);
    return 1;
  }
  t.kind = kTermColumn;
  bind_column(t, nullptr, col, true);
  return 0;
}

// Resolves `t` once (edited flag); a bound column is refreshed on every use.
int edit_arg_term(const ExprContext& cx, TERM_TABLE& t) {
  if (t.edited) return t.bound_column != nullptr ? refresh_column(cx, t) : 0;
  switch (t.kind) {
    case kTermString:
    case kTermVector:
      break;
    case kTermNumber: {
      Num n;
      if (parse_number(t.text, static_cast<int>(std::strlen(t.text)), &n) != 0 ||
          (t.data_type == kTypeInteger && n.cls != kNumInteger)) {
        PRINT('e', "Int0435", "Number %s does not fit a 32-bit integer\n", t.text);
        return 1;
      }
      if (t.data_type == kTypeFloat) n = {kNumFloat, 0, n.as_double()};
      t.num_class = n.cls;
      t.ivalue = n.i;
      t.dvalue = n.d;
      break;
    }
    case kTermColumn:
      if (t.curs_name[0] != '\0') {
        const curs* c = cx.names.find_cursor ? cx.names.find_cursor(t.curs_name) : nullptr;
        if (c == nullptr) {
          PRINT('e', "Int0500", "Cursor %s not found for column %s\n", t.curs_name, t.text);
          return 1;
        }
        if (define_column(t, *c) != 0) return 1;
      } else if (this_curs_column(cx, t) != 0) {
        return 1;
      }
      break;
    case kTermName:
      if (t.text[0] == '%') {
        if (define_percent_var(cx, t) != 0) return 1;
        break;
      }
      if (const curs* c = get_current_cursor(cx); c != nullptr && find_column(*c, t.text)) {
        t.kind = kTermColumn;
        if (this_curs_column(cx, t) != 0) return 1;
        break;
      }
      if (trace_all) {
        const char* cname = get_current_cursor(cx) ? get_current_cursor(cx)->name.c_str() : "";
        PRINT('t', "Int0420", "%s in cursor %s assumed a working variable name\n", t.text, cname);
      }
      if (t.data_type == kTypeUndefined) t.data_type = kTypeString;
      break;
    default:
      PRINT('e', "Int0430", "Invalid term type\n");
      return 1;
  }
  t.edited = 1;
  return t.bound_column != nullptr ? refresh_column(cx, t) : 0;
}

// ---- operations -------------------------------------------------------------

using Routine = int (*)(ExprContext& cx, TERM_TABLE** args, int count, TERM_TABLE& result);

int logical_args(TERM_TABLE** args, int count, const char* id, const char* text) {
  for (int i = 0; i < count; ++i) {
    if (!is_numeric(*args[i])) {
      PRINT('e', id, "%s", text);
      return 1;
    }
  }
  return 0;
}

int or_prc(ExprContext&, TERM_TABLE** a, int n, TERM_TABLE& r) {
  if (logical_args(a, n, "Int0150", "Arguments for OR operation must be I_NUMERIC\n")) return 1;
  set_logical(r, !is_zero(*a[0]) || !is_zero(*a[1]));
  return 0;
}
int and_prc(ExprContext&, TERM_TABLE** a, int n, TERM_TABLE& r) {
  if (logical_args(a, n, "Int0160", "Arguments for AND operation must be I_NUMERIC\n")) return 1;
  set_logical(r, !is_zero(*a[0]) && !is_zero(*a[1]));
  return 0;
}
int not_prc(ExprContext&, TERM_TABLE** a, int n, TERM_TABLE& r) {
  if (logical_args(a, n, "Int0170", "Argument for NOT operation must be numeric\n")) return 1;
  set_logical(r, is_zero(*a[0]));
  return 0;
}

// A comparison operator: the sign test on compare_subr's difference.
template <bool (*Test)(int)>
int compare_prc(ExprContext&, TERM_TABLE** a, int, TERM_TABLE& r) {
  int d = 0;
  if (compare_subr(*a[0], *a[1], &d) != 0) return 1;
  set_logical(r, Test(d));
  return 0;
}
bool eq(int d) { return d == 0; }
bool ne(int d) { return d != 0; }
bool lt(int d) { return d < 0; }
bool ge(int d) { return d >= 0; }
bool gt(int d) { return d > 0; }
bool le(int d) { return d <= 0; }

int like_prc(ExprContext&, TERM_TABLE** a, int, TERM_TABLE& r) {
  set_logical(r, like_match(trimmed(*a[0]), trimmed(*a[1])));
  return 0;
}

// Brings an arithmetic argument to a number.
int arith_num(const TERM_TABLE& t, Num* out) {
  if (is_numeric(t)) {
    *out = term_num(t);
    return 0;
  }
  if (t.data_type == kTypeString) {
    if (parse_number(t.value, t.value_len, out) == 0) return 0;
    PRINT('e', "Int0315", "Can't convert argument %s to numeric for an arithmetic operation\n",
          t.text);
    return 1;
  }
  if (t.data_type == kTypeInteger || t.data_type == kTypeFloat) {
    PRINT('e', "Int0310", "Invalid argument type: %s\n", t.text);
    return 1;
  }
  PRINT('e', "Int0320", "Invalid argument type\n");
  return 1;
}

// The result of an arithmetic operation: integer when every argument is.
int arithm_result(const char* spelling, bool integer, double v, TERM_TABLE& r) {
  if (!integer) {
    set_number(r, {kNumFloat, 0, v});
    return 0;
  }
  const double t = std::trunc(v);
  if (!(t >= INT32_MIN && t <= INT32_MAX)) {
    PRINT('e', "Int0345", "Result of %s operation does not fit a 32-bit integer\n", spelling);
    return 1;
  }
  set_number(r, {kNumInteger, static_cast<int32_t>(t), 0});
  return 0;
}

int arithm_subr(TERM_TABLE** a, int n, char op, TERM_TABLE& r) {
  Num x, y;
  if (arith_num(*a[0], &x) != 0) return 1;
  if (n > 1 && arith_num(*a[1], &y) != 0) return 1;
  const bool integer = x.cls == kNumInteger && (n == 1 || y.cls == kNumInteger);
  const double u = x.as_double(), w = y.as_double();
  const char spelling[2] = {op, '\0'};
  switch (op) {
    case '+': return arithm_result(spelling, integer, u + w, r);
    case '-': return arithm_result(spelling, integer, n == 1 ? -u : u - w, r);
    case '*': return arithm_result(spelling, integer, u * w, r);
    default:
      if (w == 0.0) {
        PRINT('e', "Int0340", "Can not divide by 0\n");
        return 1;
      }
      return arithm_result(spelling, false, u / w, r);
  }
}
int plus_prc(ExprContext&, TERM_TABLE** a, int n, TERM_TABLE& r) {
  return arithm_subr(a, n, '+', r);
}
int minus_prc(ExprContext&, TERM_TABLE** a, int n, TERM_TABLE& r) {
  return arithm_subr(a, n, '-', r);
}
int mltpl_prc(ExprContext&, TERM_TABLE** a, int n, TERM_TABLE& r) {
  return arithm_subr(a, n, '*', r);
}
int div_prc(ExprContext&, TERM_TABLE** a, int n, TERM_TABLE& r) {
  return arithm_subr(a, n, '/', r);
}
int neg_prc(ExprContext&, TERM_TABLE** a, int, TERM_TABLE& r) {
  return arithm_subr(a, 1, '-', r);
}

int asgnt_prc(ExprContext&, TERM_TABLE** a, int, TERM_TABLE& r) {
  TERM_TABLE& target = *a[0];
  const TERM_TABLE& source = *a[1];
  // Only working variables are written: a column's value is a stored row's.
  if (target.kind != kTermName || target.bound_column != nullptr) {
    PRINT('e', "Int0300", "Invalid argument type\n");
    return 1;
  }
  if (source.data_type == kTypeUndefined) {
    PRINT('e', "Int0250", "Assignment operation source argument is not properly defined\n");
    return 1;
  }
  if (source.data_type != kTypeString && !is_numeric(source)) {
    PRINT('e', "Int0260", "Assignment operation source argument is not properly defined\n");
    return 1;
  }
  if (source.value == nullptr) {
    PRINT('e', "Int0265", "No value for assignment operation source argument\n");
    return 1;
  }
  if (target.data_type == kTypeUndefined) {
    target.data_type = source.data_type;
    target.num_class = source.num_class;
  }
  if (target.data_type == kTypeString) {
    const std::string copy(source.value, static_cast<std::size_t>(source.value_len));
    target.set_value(copy);
    target.num_class = kNotNumeric;
    set_logical(r, !copy.empty());
    return 0;
  }
  Num v;
  if (is_numeric(source)) {
    v = term_num(source);
  } else if (source.data_type != kTypeString) {
    PRINT('e', "Int0280", "Invalid argument type\n");
    return 1;
  } else if (parse_number(source.value, source.value_len, &v) != 0) {
    PRINT('e', "Int0270", "Argument %s value can not be converted into number\n", source.text);
    return 1;
  }
  if (target.data_type == kTypeInteger) {
    const double t = std::trunc(v.as_double());
    if (!(t >= INT32_MIN && t <= INT32_MAX)) {
      PRINT('e', "Int0345", "Result of %s operation does not fit a 32-bit integer\n", ":=");
      return 1;
    }
    set_number(target, {kNumInteger, static_cast<int32_t>(t), 0});
    set_logical(r, t != 0);
    return 0;
  }
  if (target.data_type == kTypeFloat) {
    set_number(target, {kNumFloat, 0, v.as_double()});
    set_logical(r, false);
    return 0;
  }
  PRINT('e', "Int0300", "Invalid argument type\n");
  return 1;
}

// Copies a term's kind, types and value into `to`.
void copy_term(const TERM_TABLE& from, TERM_TABLE& to) {
  to.kind = from.kind;
  to.data_type = from.data_type;
  to.num_class = from.num_class;
  to.ivalue = from.ivalue;
  to.dvalue = from.dvalue;
  to.set_value(std::string_view(from.value ? from.value : "", from.value ? from.value_len : 0));
  to.edited = 1;
}

int sum_func(ExprContext& cx, TERM_TABLE** a, int, TERM_TABLE& r) {
  TERM_TABLE& arg = *a[0];
  Num v;
  if (arith_num(arg, &v) != 0) return 1;
  const int mode = cx.proc_mode;
  // An argument that is itself a SUM result sums into the accumulator it shows.
  TERM_TABLE* sum = arg.sum_of != nullptr ? arg.sum_of : arg.accumulator.get();
  if (mode == kProcPrepare || mode == kProcReset || sum == nullptr) {
    if (sum == nullptr) {
      arg.accumulator = alloc_term(kTermName, kTypeString);
      sum = arg.accumulator.get();
    }
    set_number(*sum, v);
  } else if (mode == kProcExecute) {
    TERM_TABLE* pair[2] = {sum, &arg};
    if (arithm_subr(pair, 2, '+', *sum) != 0) return 1;
  } else {
    PRINT('e', "SEL0140", "Corrupted: quitting\n");
    return 1;
  }
  copy_term(*sum, r);
  r.kind = kTermName;
  r.sum_of = sum;  // marks a SUM result for ROW
  return 0;
}

int row_func(ExprContext& cx, TERM_TABLE** a, int n, TERM_TABLE& r) {
  const int mode = cx.proc_mode;
  if (mode != kProcPrepare && mode != kProcReset && mode != kProcExecute) {
    PRINT('e', "SEL0300", "Invalid proc_mode value\n");
    return 1;
  }
  TERM_TABLE& carrier = *a[n - 1];
  // Compiled forms took the term as it was.
  if (carrier.kind != kTermVector || carrier.data_type != kTypeUndefined) note_term_change(cx);
  carrier.kind = kTermVector;
  carrier.data_type = kTypeUndefined;
  bool differs = false;
  TERM_TABLE** link = &carrier.sub_term;
  for (int i = 0; i < n - 1; ++i) {
    TERM_TABLE& arg = *a[i];
    if (arg.sum_of != nullptr && arg.kind == kTermName && arg.accumulator == nullptr &&
        arg.saved == nullptr) {
      // A SUM takes part through its accumulator, which its argument owns.
      *link = arg.sum_of;
    } else {
      if (arg.saved == nullptr) {
        arg.saved = alloc_term(kTermName, kTypeString);
      } else if (mode == kProcExecute) {
        int d = 0;
        if (compare_subr(arg, *arg.saved, &d) != 0) return 1;
        differs = differs || d != 0;
      }
      copy_term(arg, *arg.saved);
      *link = arg.saved.get();
    }
    link = &(*link)->sub_term;
  }
  *link = nullptr;
  cx.row_status = mode == kProcExecute && differs ? 3 : 2;
  set_number(r, {kNumInteger, cx.row_status, 0});
  return 0;
}

// The routines by OperRoutine.
const Routine kRoutines[kRoutineCount] = {
    nullptr, or_prc, and_prc, not_prc, compare_prc<eq>, compare_prc<ne>, compare_prc<lt>,
    compare_prc<ge>, compare_prc<gt>, compare_prc<le>, asgnt_prc, plus_prc, minus_prc,
    mltpl_prc, div_prc, neg_prc, row_func, sum_func, like_prc,
};

int perform_oper(ExprContext& cx, const Operation& op, TERM_TABLE** args, int count,
                 TERM_TABLE& result) {
  const Routine routine =
      op.routine > kNoRoutine && op.routine < kRoutineCount ? kRoutines[op.routine] : nullptr;
  if (routine == nullptr) {
    PRINT('e', "Int0125", "Procedure to perform %s %s not defined\n", kind_word(op), op.spelling);
    return 1;
  }
  return routine(cx, args, count, result);
}

// Takes the arguments of the operation at `slot`, last one first, clearing
// their slots; returns the count or -1 after logging why.
int get_args(const ExprContext& cx, std::vector<const Lexeme*>& slots, std::size_t slot,
             const Operation& op, TERM_TABLE** args) {
  const bool variable = op.args == kVariableArgs;
  const int want = variable ? kMaxArgs : op.args;
  int found = 0;
  TERM_TABLE* taken[kMaxArgs];
  for (std::size_t i = slot; i-- > 0 && found < want;) {
    if (slots[i] == nullptr) continue;
    if (slots[i]->entry_type != kLexTerm) {
      PRINT('e', "Int0054", "Invalid argument\n");
      return -1;
    }
    // Terms are owned by their (mutable) term table; lists only point at them.
    auto* t = const_cast<TERM_TABLE*>(static_cast<const TERM_TABLE*>(slots[i]));
    slots[i] = nullptr;
    if (edit_arg_term(cx, *t) != 0) {
      PRINT('e', "Int0052", "Term edit failed\n");
      return -1;
    }
    if (trace_all)
      PRINT('t', "SMZIF100", "%s %s value is %.16s\n", value_word(*t), t->text,
            t->value ? std::string(t->value, t->value_len).c_str() : "");
    taken[found++] = t;
  }
  if (!variable && found < want) {
    PRINT('e', "Int0056", "%s %s should have %i arguments\n", kind_word(op), op.spelling, want);
    return -1;
  }
  if (variable && found == 0) {
    PRINT('e', "Int0056", "%s %s should have %i arguments\n", kind_word(op), op.spelling, 1);
    return -1;
  }
  for (int k = 0; k < found; ++k) args[k] = taken[found - 1 - k];
  args[found] = nullptr;
  return found;
}

}  // namespace

const columns* find_column(const curs& c, const char* name) {
  for (const auto& col : c.cols)
    if (strcasecmp(col->name.c_str(), name) == 0) return col.get();
  return nullptr;
}

void set_expr_names(ExprContext& cx, const ExprNames& n) { cx.names = n; }
const ExprNames& expr_names(const ExprContext& cx) { return cx.names; }
void set_current_row(ExprContext& cx, const row_data* row) { cx.current_row = row; }
const row_data* get_current_row(const ExprContext& cx) { return cx.current_row; }
void set_proc_mode(ExprContext& cx, int mode) { cx.proc_mode = mode; }
int get_proc_mode(const ExprContext& cx) { return cx.proc_mode; }
int get_row_status(const ExprContext& cx) { return cx.row_status; }
void set_row_status(ExprContext& cx, int status) { cx.row_status = status; }

TERM_TABLE* alloc_work_var(ExprContext& cx) {
  TERM_TABLE* t = cx.reuse_store.release();
  if (t != nullptr) {
    cx.reuse_store.reset(t->next.release());
    // A work value that was a SUM or ROW argument owns its aggregate copies.
    if (t->accumulator != nullptr) t->accumulator.reset();
    if (t->saved != nullptr) t->saved.reset();
    t->text[0] = '\0';
    t->owned.clear();
    t->value_owned = 0;
    t->num_class = kNotNumeric;
    t->ivalue = 0;
    t->dvalue = 0;
    t->sum_of = nullptr;
    t->sub_term = nullptr;
  } else {
    t = new TERM_TABLE;
  }
  t->kind = kTermName;
  t->data_type = kTypeString;
  t->edited = 1;
  t->value = t->text;
  t->value_len = 0;
  return t;
}

void free_work_chain(ExprContext& cx, TERM_TABLE* chain, TERM_TABLE* keep, int mode) {
  // Every evaluation's result comes through here: the links are moved by hand.
  while (chain != nullptr) {
    TERM_TABLE* next = chain->next.release();
    if (chain != keep) {
      if (mode == 1) {
        chain->next.reset(cx.reuse_store.release());
        cx.reuse_store.reset(chain);
      } else {
        delete chain;
      }
    }
    chain = next;
  }
}

int less_blanks_len(const char* text, int len) { return compared_len(text, len); }

int term_str2num(ExprContext& cx, TERM_TABLE& t) {
  Num n;
  if (parse_number(t.value, t.value_len, &n) != 0) return 1;
  if (t.num_class != n.cls) note_term_change(cx);  // compiled forms took its class
  t.num_class = n.cls;
  t.ivalue = n.i;
  t.dvalue = n.d;
  return 0;
}

int compare_subr(const TERM_TABLE& a, const TERM_TABLE& b, int* d) {
  const TERM_TABLE* arg[2] = {&a, &b};
  const bool strings = !is_numeric(a) && !is_numeric(b) && a.data_type == kTypeString &&
                       b.data_type == kTypeString;
  if (strings) {
    static const char* const kEmptyIds[2] = {"Int0180", "Int0185"};
    for (int i = 0; i < 2; ++i)
      if (arg[i]->value_len == 0)
        PRINT('w', kEmptyIds[i], "Value for %s %s is an empty string\n", value_word(*arg[i]),
              arg[i]->text);
    const int la = less_blanks_len(a.value, a.value_len);
    const int lb = less_blanks_len(b.value, b.value_len);
    if (la != lb) {
      *d = la - lb;
    } else {
      // An empty value compares as one blank.
      const char* pa = a.value_len ? a.value : " ";
      const char* pb = b.value_len ? b.value : " ";
      *d = std::memcmp(pa, pb, static_cast<std::size_t>(la));
    }
    return 0;
  }
  static const char* const kIncomparable[2] = {"Int0190", "Int0210"};
  static const char* const kInvalid[2] = {"Int0200", "Int0220"};
  Num n[2];
  for (int i = 0; i < 2; ++i) {
    if (is_numeric(*arg[i])) {
      n[i] = term_num(*arg[i]);
    } else if (arg[i]->data_type == kTypeString) {
      if (parse_number(arg[i]->value, arg[i]->value_len, &n[i]) != 0) {
        PRINT('e', kIncomparable[i], "Arguments for COMPARE operation are incomparable\n");
        return 1;
      }
    } else {
      PRINT('e', arg[i]->data_type > kTypeFloat ? "Int0230" : kInvalid[i],
            "Invalid argument type\n");
      return 1;
    }
  }
  const double diff = n[0].as_double() - n[1].as_double();
  *d = diff > 0 ? 1 : diff < 0 ? -1 : 0;
  return 0;
}

bool like_match(std::string_view s, std::string_view p) {
  // "%" as any run and "_" as one character; after a mismatch the last "%"
  // takes one more character and matching goes on from there.
  std::size_t i = 0, j = 0;
  std::size_t star = std::string_view::npos, resume = 0;
  while (i < s.size()) {
    if (j < p.size() && p[j] == '%') {
      star = j++;
      resume = i;
    } else if (j < p.size() && (p[j] == '_' || p[j] == s[i])) {
      ++i;
      ++j;
    } else if (star != std::string_view::npos) {
      j = star + 1;
      i = ++resume;
    } else {
      return false;
    }
  }
  while (j < p.size() && p[j] == '%') ++j;
  return j == p.size();
}

TERM_TABLE* full_evaluation(ExprContext& cx, const LexList& rpn) {
  std::vector<const Lexeme*>& slots = cx.scratch;
  slots.assign(rpn.begin(), rpn.end());
  std::unique_ptr<TERM_TABLE> chain;  // work values of this evaluation, newest first
  TERM_TABLE* result = nullptr;
  TERM_TABLE* args[kMaxArgs + 1];
  for (std::size_t i = 0; i < slots.size() && slots[i] != nullptr; ++i) {
    const Lexeme* l = slots[i];
    if (l->entry_type == kLexTerm) continue;
    if (l->entry_type != kLexOperation) {
      PRINT('e', "Int0040", "Invalid lexeme type\n");
      free_work_chain(cx, chain.release(), nullptr, 1);
      return nullptr;
    }
    const auto& op = *static_cast<const Operation*>(l);
    const int count = get_args(cx, slots, i, op, args);
    TERM_TABLE* work = nullptr;
    if (count >= 0) {
      work = alloc_work_var(cx);
      work->next = std::move(chain);
      chain.reset(work);
    }
    if (count < 0 || perform_oper(cx, op, args, count, *work) != 0) {
      PRINT('e', "Int0030", "Operation %s failed\n", op.spelling);
      free_work_chain(cx, chain.release(), nullptr, 1);
      return nullptr;
    }
    slots[i] = work;
    result = work;
  }
  if (result == nullptr) {
    PRINT('e', "Int0045", "Expression has no operation\n");
    return nullptr;
  }
  free_work_chain(cx, chain.release(), result, 1);  // leaves the result alone, unlinked
  return result;
}

}  // namespace qrx
