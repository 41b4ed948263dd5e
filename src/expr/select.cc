#include "expr/select.h"

#include <strings.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "expr/interpreter.h"
#include "expr/lex_cache.h"
#include "expr/lexer.h"

namespace qrx {
namespace {

// One value of a select result, copied out of the ROW vector.
struct SelectValue {
  int32_t num_class = kNotNumeric;
  int32_t ivalue = 0;
  double dvalue = 0;
  std::string text;
};

// The first value of a group's result and how many values the vector had.
struct SelectResult {
  bool present = false;
  int values = 0;
  SelectValue first;
};

SelectPosition* position_of(ExprContext& cx, const curs& c) {
  for (SelectPosition& p : cx.positions)
    if (p.cursor == &c) return &p;
  return nullptr;
}

std::string_view trimmed(const char* s, std::size_t len) {
  while (len > 0 && (s[len - 1] == ' ' || s[len - 1] == '\0')) --len;
  return {s, len};
}

bool context_open(const ExprContext& cx) {
  if (cx.in_select) return true;
  PRINT('e', "SEL1010", "SQL-like processing not initialized: quitting\n");
  return false;
}

// Brings every declared variable's term up to its value now.
void refresh_declared(ExprContext& cx) {
  for (const DeclaredVar& v : cx.declared) {
    TERM_TABLE& t = *v.term;
    if (v.data_type == kTypeString) {
      t.set_value(*static_cast<const std::string*>(v.value));
    } else if (v.data_type == kTypeInteger) {
      t.ivalue = *static_cast<const int32_t*>(v.value);
      t.set_value(std::to_string(t.ivalue));
    } else {
      t.dvalue = *static_cast<const double*>(v.value);
      char text[64];
      std::snprintf(text, sizeof text, "%f", t.dvalue);
      t.set_value(text);
    }
  }
}

// The term of name `name` in the context's table, made when there is none,
// set up as a working variable of `data_type`; null when the name cannot be one.
TERM_TABLE* variable_term(ExprContext& cx, const char* name, int data_type) {
  const std::size_t len = name ? std::strlen(name) : 0;
  if (len == 0 || len > static_cast<std::size_t>(kTermTextMax) || name[0] == '%') return nullptr;
  TERM_TABLE* t = nullptr;
  for (TERM_TABLE* e = get_lex_term_tb_anchor(cx); e != nullptr && t == nullptr; e = e->next.get())
    if (e->kind == kTermName && strcasecmp(e->text, name) == 0) t = e;
  if (t == nullptr) {
    t = chain_to_perm_term_tb(cx, kTermName, data_type);
    t->set_text(name, len);
  }
  const int32_t num_class = data_type == kTypeInteger ? kNumInteger
                            : data_type == kTypeFloat ? kNumFloat
                                                      : kNotNumeric;
  if (t->data_type != data_type || t->num_class != num_class) note_term_change(cx);
  t->data_type = data_type;
  t->num_class = num_class;
  t->edited = 1;
  return t;
}

void declare(ExprContext& cx, TERM_TABLE* term, int data_type, const void* value) {
  for (DeclaredVar& v : cx.declared) {
    if (v.term == term) {
      v = {term, data_type, value};
      return;
    }
  }
  cx.declared.push_back({term, data_type, value});
}

// A compiled list of `kind` for `text` over cursor `c`, from the cache or
// lexed now (and cached); null after logging why.
const LexList* compiled(ExprContext& cx, const std::string& text, const curs& c, int kind) {
  LexedBlock block;
  block.text = text.c_str();
  block.text_len = text.size();
  block.curs_name = c.name;
  block.kind = kind;
  if (find_lex_block(cx, block) == 1) return block.rpn;
  std::unique_ptr<LexList> rpn = parse_expression(cx, text.c_str());
  if (rpn == nullptr) return nullptr;
  if (kind == kLexedCols) rpn->insert(rpn->end() - 1, row_function_oper());
  block.rpn = rpn.get();
  block.term_table = get_lex_term_tb_anchor(cx);
  if (store_lex_block(cx, block) != 0) {
    PRINT('s', "SEL0138", "Can not store a lexed block: quitting\n");
    std::exit(1);
  }
  return block.rpn;
}

bool has_column(const curs& c, const columns* col) {
  for (const auto& k : c.cols)
    if (k.get() == col) return true;
  return false;
}

// Column terms of `rpn` stay bound to the cursor they were first resolved
// for: a term whose cursor has since been replaced, or a bare name bound to
// another cursor's column of the same name, is resolved afresh against `c`.
void rebind_columns(ExprContext& cx, const LexList& rpn, const curs& c) {
  for (const Lexeme* l : rpn) {
    if (l == nullptr || l->entry_type != kLexTerm) continue;
    auto* t = const_cast<TERM_TABLE*>(static_cast<const TERM_TABLE*>(l));
    if (t->kind != kTermColumn || t->bound_column == nullptr || t->bound_percent) continue;
    const curs* owner = t->written_qualified ? select_find_cursor(cx, t->curs_name) : &c;
    // A replaced cursor's memory may hold another column now: the term is
    // still bound only when the column it points at is the one it names.
    if (owner != nullptr && t->bound_cursor == owner && has_column(*owner, t->bound_column) &&
        strcasecmp(t->bound_column->name.c_str(), t->text) == 0)
      continue;
    t->kind = t->written_qualified ? kTermColumn : kTermName;
    if (!t->written_qualified) t->curs_name[0] = '\0';
    t->edited = 0;
    t->bound_cursor = nullptr;
    t->bound_column = nullptr;
    t->data_type = kTypeUndefined;
    t->num_class = kNotNumeric;
    note_term_change(cx);
  }
}

// The ROW vector's values after an evaluation of `rpn`.
SelectResult vector_of(const LexList& rpn) {
  SelectResult result;
  const auto* carrier = static_cast<const TERM_TABLE*>(rpn[rpn.size() - 3]);
  for (const TERM_TABLE* v = carrier->sub_term; v != nullptr; v = v->sub_term) {
    if (result.values++ > 0) continue;
    result.present = true;
    SelectValue& first = result.first;
    first.num_class = v->num_class;
    first.ivalue = v->ivalue;
    first.dvalue = v->dvalue;
    if (v->value) first.text.assign(trimmed(v->value, static_cast<std::size_t>(v->value_len)));
  }
  return result;
}

// Converts a value to a number for the number targets: 0, or 1 after logging.
int value_number(const SelectValue& v, bool integer, double* out) {
  if (v.num_class == kNumInteger) {
    *out = v.ivalue;
    return 0;
  }
  if (v.num_class == kNumFloat) {
    *out = integer ? std::trunc(v.dvalue) : v.dvalue;
    return 0;
  }
  const char* s = v.text.c_str();
  char* end = nullptr;
  errno = 0;
  const long whole = std::strtol(s, &end, 10);
  if (errno == 0 && end != s && *end == '\0' && whole >= INT32_MIN && whole <= INT32_MAX) {
    *out = static_cast<double>(whole);
    return 0;
  }
  errno = 0;
  const double d = std::strtod(s, &end);
  if (errno == 0 && end != s && *end == '\0' && std::isfinite(d) &&
      (!integer || (d >= INT32_MIN && d <= INT32_MAX))) {
    *out = integer ? std::trunc(d) : d;
    return 0;
  }
  PRINT('e', integer ? "SEL0630" : "SEL0650", "Value of %s can not be converted into number\n",
        v.text.c_str());
  return 1;
}

bool valid_target(int target_type) {
  if (target_type >= kSelectText && target_type <= kSelectInsertRow) return true;
  PRINT('e', "SEL0670", "Invalid target type\n");
  return false;
}

// Writes one value into a number or text target; 0, or 1 after logging.
int store_value(const SelectValue& v, void* target, int target_type) {
  switch (target_type) {
    case kSelectText:
      if (target) *static_cast<std::string*>(target) = v.text;
      return 0;
    case kSelectInteger:
    case kSelectDouble: {
      double n = 0;
      if (value_number(v, target_type == kSelectInteger, &n) != 0) return 1;
      if (target == nullptr) return 0;
      if (target_type == kSelectInteger)
        *static_cast<int32_t*>(target) = static_cast<int32_t>(n);
      else
        *static_cast<double*>(target) = n;
      return 0;
    }
    default:
      return 0;  // creating and inserting rows are not done
  }
}

// Writes a group's result into the target; 0, or 1 after logging why.
int dispose_result(const SelectResult& result, void* target, int target_type) {
  if (!result.present) {
    PRINT('e', "SEL0600", "Invalid SELECT result structure\n");
    return 1;
  }
  if (target_type >= kSelectText && target_type <= kSelectDouble && result.values > 1)
    PRINT('w', "SEL0610",
          "Can not store a row into variable: taking just the first column of the row\n");
  return store_value(result.first, target, target_type);
}

// The engine state a select changes and gives back.
struct EngineState {
  ExprContext& cx;
  const curs* cursor = get_current_cursor(cx);
  const row_data* row = get_current_row(cx);
  int mode = get_proc_mode(cx);
  int status = get_row_status(cx);
  ~EngineState() {
    set_current_cursor(cx, cursor);
    set_current_row(cx, row);
    set_proc_mode(cx, mode);
    set_row_status(cx, status);
  }
};

// Evaluates the WHERE list on the current row: 1 keep, 0 skip (logged when
// the evaluation failed or gave no number).
int evaluate_row(ExprContext& cx, const LexList& where, const curs& c) {
  TERM_TABLE* r = interpreter(cx, where);
  if (r == nullptr) {
    PRINT('e', "SEL0050", "Can not evaluate a row for cursor %s:       may be next time\n",
          c.name.c_str());
    PRINT('w', "SEL0320", "Ignoring a row for cursor %s\n", c.name.c_str());
    return 0;
  }
  int keep = 0;
  if (r->num_class == kNumInteger) {
    keep = r->ivalue != 0;
  } else if (r->num_class == kNumFloat) {
    keep = r->dvalue != 0.0;
  } else {
    PRINT('e', "SEL0060",
          "Invalid conditional expression result for         cursor %s: will try next time\n",
          c.name.c_str());
    PRINT('w', "SEL0320", "Ignoring a row for cursor %s\n", c.name.c_str());
  }
  free_work_chain(cx, r, nullptr, 1);
  return keep;
}

// Evaluates the select list on the current row; 0, or 1 after logging why.
int process_row(ExprContext& cx, const LexList& list, const curs& c) {
  TERM_TABLE* r = interpreter(cx, list);
  if (r == nullptr) {
    PRINT('e', "SEL0100", "Can not process a row for cursor %s:       may be next time\n",
          c.name.c_str());
    set_row_status(cx, 1);
    return 1;
  }
  free_work_chain(cx, r, nullptr, 1);
  return 0;
}

}  // namespace

void start_exec_sql(ExprContext& cx, TERM_TABLE* anchor) {
  cx.lexer_before = get_lex_term_tb_anchor(cx);
  open_lexer(cx, anchor);
  cx.in_select = true;
  cx.declared.clear();
}

void end_exec_sql(ExprContext& cx, TERM_TABLE** place) {
  close_lexer(cx, place);
  if (cx.lexer_before != nullptr) set_term_tb_anchor(cx, cx.lexer_before);
  cx.lexer_before = nullptr;
  cx.in_select = false;
  cx.declared.clear();
}

TERM_TABLE* get_active_term_tb_anchor(const ExprContext& cx) { return get_lex_term_tb_anchor(cx); }

const curs* select_find_cursor(const ExprContext& cx, const char* name) {
  const ExprNames& names = expr_names(cx);
  return name && names.find_cursor ? names.find_cursor(name) : nullptr;
}

const columns* cursor_column(const ExprContext& cx, const char* cursor_name,
                             const char* column_name) {
  const curs* c = select_find_cursor(cx, cursor_name);
  if (c == nullptr) {
    PRINT('e', "SEL0700", "Cursor %s not found\n", cursor_name ? cursor_name : "");
    return nullptr;
  }
  if (const columns* col = column_name ? find_column(*c, column_name) : nullptr) return col;
  PRINT('e', "SEL0710", "Column %s not found for cursor %s\n", column_name ? column_name : "",
        c->name.c_str());
  return nullptr;
}

int declare_C_var(ExprContext& cx, const char* name, int data_type, const void* value) {
  if (!context_open(cx)) return 1;
  if (data_type < kTypeString || data_type > kTypeFloat) {
    PRINT('e', "TRM0110", "Invalid data type for variable %s\n", name ? name : "");
    return 1;
  }
  TERM_TABLE* t = value ? variable_term(cx, name, data_type) : nullptr;
  if (t == nullptr) {
    PRINT('e', "TRM0100", "Variable %s declaration failed\n", name ? name : "");
    return 1;
  }
  declare(cx, t, data_type, value);
  return 0;
}

int open_select_cursor(ExprContext& cx, const curs& c) {
  if (current_row_from(c, c.stored.first()) == nullptr) {
    PRINT('w', "SEL0010", "Cursor %s has no data\n", c.name.c_str());
    return 100;
  }
  if (SelectPosition* p = position_of(cx, c))
    p->row = nullptr;
  else
    cx.positions.push_back({&c, nullptr});
  return 0;
}

int fetch_next_row(ExprContext& cx, const curs& c) {
  SelectPosition* p = position_of(cx, c);
  if (p == nullptr) {
    PRINT('e', "SEL0030", "Cursor %s is not open for select\n", c.name.c_str());
    return -1;
  }
  p->row = current_row_from(c, p->row == nullptr ? c.stored.first() : p->row->next);
  if (p->row == nullptr) {
    p->row = c.stored.last();  // stays on the last row until closed
    return 100;
  }
  return 0;
}

const row_data* select_row(ExprContext& cx, const curs& c) {
  const SelectPosition* p = position_of(cx, c);
  return p ? p->row : nullptr;
}

int close_select_cursor(ExprContext& cx, const curs& c) {
  for (auto it = cx.positions.begin(); it != cx.positions.end(); ++it) {
    if (it->cursor == &c) {
      cx.positions.erase(it);
      return 0;
    }
  }
  PRINT('e', "SEL0015", "Cursor %s is not open for select\n", c.name.c_str());
  return 1;
}

void cleanup_select(ExprContext& cx) { cx.positions.clear(); }

int select_column(ExprContext& cx, const char* column, const char* cursor_name, void* target,
                  int target_type, const char* var_name, TERM_TABLE** term) {
  const curs* c = select_find_cursor(cx, cursor_name);
  if (c == nullptr) {
    PRINT('e', "SEL0810", "Cursor %s not found\n", cursor_name ? cursor_name : "");
    return 1;
  }
  const columns* col = column ? find_column(*c, column) : nullptr;
  if (col == nullptr) {
    PRINT('e', "SEL0830", "Column %s not found for cursor %s\n", column ? column : "",
          c->name.c_str());
    return 1;
  }
  const SelectPosition* p = position_of(cx, *c);
  const row_data* row = p && p->row ? p->row : c->stored.last();
  if (row == nullptr || col->stored_length <= 0) {
    PRINT('e', "SEL0850", "Column %s not found for cursor %s\n", col->name.c_str(),
          c->name.c_str());
    return 1;
  }
  SelectValue v;
  v.text.assign(trimmed(row->data() + col->stored_offset,
                        static_cast<std::size_t>(col->stored_length)));
  while (!v.text.empty() && v.text.front() == ' ') v.text.erase(0, 1);
  if (target_type == kSelectText) {
    if (var_name == nullptr || *var_name == '\0') {
      PRINT('e', "SEL0860", "Char target type requires a declared term variable\n");
      return 1;
    }
    if (term == nullptr) {
      PRINT('e', "SEL0815", "Pointer to invalid term block is passed\n");
      return 1;
    }
    if (*term == nullptr) {
      if (!context_open(cx)) return 1;
      *term = variable_term(cx, var_name, kTypeString);
      if (*term == nullptr) {
        PRINT('e', "SEL0820", "Variable %s allocation failed\n", var_name);
        return 1;
      }
    } else if ((*term)->data_type != kTypeString) {
      PRINT('e', "SEL0825", "Invalid data type passed for variable %s.\n", var_name);
      return 1;
    }
    (*term)->set_value(v.text);
    if (target) *static_cast<std::string*>(target) = v.text;
    return 0;
  }
  if (target_type != kSelectInteger && target_type != kSelectDouble) {
    PRINT('e', "SEL0870", "Invalid target type\n");
    return 1;
  }
  return store_value(v, target, target_type);
}

int perform_select(ExprContext& cx, const char* select_list, const char* cursor_name,
                   void* target, const char* where, int target_type) {
  if (!context_open(cx) || !valid_target(target_type)) return 1;
  const curs* c = select_find_cursor(cx, cursor_name);
  if (c == nullptr) {
    PRINT('e', "SEL0290", "Cursor %s not found\n", cursor_name ? cursor_name : "");
    return 1;
  }
  const LexList* list =
      compiled(cx, std::string(select_list ? select_list : "") + kRowFunctionArg, *c, kLexedCols);
  if (list == nullptr) return 1;
  const LexList* condition = nullptr;
  if (where != nullptr) {
    condition = compiled(cx, where, *c, kLexedCond);
    if (condition == nullptr) return 1;
  }
  const row_data* const first = current_row_from(*c, c->stored.first());
  if (first == nullptr) {
    PRINT('w', "SEL0010", "Cursor %s has no data\n", c->name.c_str());
    return 100;
  }
  rebind_columns(cx, *list, *c);
  if (condition) rebind_columns(cx, *condition, *c);
  EngineState saved{cx};
  set_current_cursor(cx, c);
  set_proc_mode(cx, kProcPrepare);
  set_row_status(cx, 0);
  refresh_declared(cx);
  SelectResult group;  // the current group's values so far
  bool processed = false;
  // The condition is evaluated over blocks of rows at once where it allows
  // it. The first block is one row, whose evaluation compiles the
  // condition. A block that is not taken is evaluated row by row; when the
  // condition is no list for blocks, the rows then go one at a time, so
  // that reading a row overlaps the evaluation of the one before.
  constexpr std::size_t kBlockRows = 64;
  std::array<const row_data*, kBlockRows> block;
  std::array<bool, kBlockRows> keep;
  std::size_t block_rows = 1;
  for (const row_data* next = first; next != nullptr;) {
    const bool first_block = next == first;
    std::size_t n = 0;
    for (; next != nullptr && n < block_rows; next = current_row_from(*c, next->next))
      block[n++] = next;
    const int taken =
        condition && n > 1 ? evaluate_rows(cx, *condition, std::span(block.data(), n), keep) : 1;
    const bool together = taken == 0;
    block_rows = condition && (first_block || taken != 1) ? kBlockRows : 1;
    for (std::size_t i = 0; i < n; ++i) {
      set_current_row(cx, block[i]);
      if (condition && !(together ? keep[i] : evaluate_row(cx, *condition, *c) != 0)) continue;
      set_row_status(cx, 2);
      if (process_row(cx, *list, *c) != 0) return 1;
      if (get_row_status(cx) == 3) {
        // ROW saw a new key: the group before ends; this row starts the next,
        // evaluated again so that its sums start from it alone.
        if (dispose_result(group, target, target_type) != 0) return 1;
        set_proc_mode(cx, kProcReset);
        if (process_row(cx, *list, *c) != 0) return 1;
        set_row_status(cx, 2);
      }
      set_proc_mode(cx, kProcExecute);
      group = vector_of(*list);
      processed = true;
    }
  }
  if (!processed) return 100;
  return dispose_result(group, target, target_type);
}

}  // namespace qrx
