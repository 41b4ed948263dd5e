#include "expr/terms.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "expr/memory_chain.h"

namespace qrx {

// Spelling, class, arguments, precedence, routine, result kind; searched in this order.
const Operation OperationTable[] = {
    {{kLexOperation}, "(", kClassOperator, 0, 0, kNoRoutine, kResultNone},
    {{kLexOperation}, ")", kClassOperator, 0, 1, kNoRoutine, kResultNone},
    {{kLexOperation}, "OR", kClassOperator, 2, 20, kOrPrc, kResultLogical},
    {{kLexOperation}, "AND", kClassOperator, 2, 30, kAndPrc, kResultLogical},
    {{kLexOperation}, "NOT", kClassOperator, 1, 40, kNotPrc, kResultLogical},
    {{kLexOperation}, "=", kClassOperator, 2, 50, kEquPrc, kResultLogical},
    {{kLexOperation}, "^=", kClassOperator, 2, 50, kNequPrc, kResultLogical},
    {{kLexOperation}, "<", kClassOperator, 2, 50, kLessPrc, kResultLogical},
    {{kLexOperation}, ">=", kClassOperator, 2, 50, kNlessPrc, kResultLogical},
    {{kLexOperation}, ">", kClassOperator, 2, 50, kGrtPrc, kResultLogical},
    {{kLexOperation}, "<=", kClassOperator, 2, 50, kNgrtPrc, kResultLogical},
    {{kLexOperation}, ":=", kClassOperator, 2, 50, kAsgntPrc, kResultSpecial},
    {{kLexOperation}, "+", kClassOperator, 2, 60, kPlusPrc, kResultArithmetic},
    {{kLexOperation}, "-", kClassOperator, 2, 60, kMinusPrc, kResultArithmetic},
    {{kLexOperation}, "*", kClassOperator, 2, 70, kMltplPrc, kResultArithmetic},
    {{kLexOperation}, "/", kClassOperator, 2, 70, kDivPrc, kResultArithmetic},
    {{kLexOperation}, "-", kClassOperator, 1, 80, kNegPrc, kResultArithmetic},
    {{kLexOperation}, "func1", kClassFunction, 1, 100, kNegPrc, kResultArithmetic},
    {{kLexOperation}, "func2", kClassFunction, 2, 100, kPlusPrc, kResultArithmetic},
    {{kLexOperation}, "func3", kClassFunction, 3, 100, kPlusPrc, kResultArithmetic},
    {{kLexOperation}, ",", kClassSeparator, 0, 2, kNoRoutine, kResultNone},
    {{kLexOperation}, "ROW", kClassFunction, kVariableArgs, 100, kRowFunc, kResultSpecial},
    {{kLexOperation}, "SUM", kClassFunction, 1, 100, kSumFunc, kResultArithmetic},
    {{kLexOperation}, "LIKE", kClassOperator, 2, 50, kLikePrc, kResultLogical},
    {{kLexTableEnd}, nullptr, 0, 0, 0, kNoRoutine, kResultNone},
};

const Operation* open_paren_oper() { return &OperationTable[0]; }
const Operation* close_paren_oper() { return &OperationTable[1]; }
const Operation* row_function_oper() { return &OperationTable[21]; }

namespace term_state {
uint64_t generation = 0;
const curs* current_cursor = nullptr;
}  // namespace term_state

namespace {

// The current term table: head and tail (the tail makes appends constant time).
TERM_TABLE* term_anchor = nullptr;
TERM_TABLE* term_tail = nullptr;

TERM_TABLE* const kInvalidAnchor = reinterpret_cast<TERM_TABLE*>(~std::uintptr_t{0});

// Frees a whole table from its head: the registration of a table's first entry.
void release_table(void* head) {
  for (TERM_TABLE* t = static_cast<TERM_TABLE*>(head); t != nullptr;) {
    TERM_TABLE* next = t->next;
    delete t;
    t = next;
  }
}

void find_tail() {
  term_tail = term_anchor;
  while (term_tail != nullptr && term_tail->next != nullptr) term_tail = term_tail->next;
}

}  // namespace

TERM_TABLE::~TERM_TABLE() {
  // A freed term's address may come back as another term under a list that
  // looks the same.
  if (!work_value) ++term_state::generation;
  if (owns_links) {
    delete accumulator;
    delete saved;
  }
}

void TERM_TABLE::set_text(const char* s, std::size_t len) {
  len = std::min<std::size_t>(len, kTermTextMax);
  std::memcpy(text, s, len);
  text[len] = '\0';
  value = text;
  value_len = static_cast<int32_t>(len);
  value_owned = 0;
}

void TERM_TABLE::set_value(std::string_view v) {
  owned.assign(v);
  value = owned.c_str();
  value_len = static_cast<int32_t>(owned.size());
  value_owned = 1;
}

void open_lexer(TERM_TABLE* anchor) {
  if (anchor == kInvalidAnchor) {
    PRINT('s', "TRM0150", "Invalid pointer: quitting\n");
    std::exit(1);
  }
  term_anchor = anchor;
  find_tail();
}

void close_lexer(TERM_TABLE** place) {
  if (place != nullptr) *place = term_anchor;
  term_anchor = term_tail = nullptr;
}

void set_term_tb_anchor(TERM_TABLE* anchor) { open_lexer(anchor); }

TERM_TABLE* get_lex_term_tb_anchor() { return term_anchor; }

void free_perm_term_tb(TERM_TABLE* anchor) {
  if (anchor == nullptr) return;
  unregister_memory(anchor);
  if (anchor == term_anchor) term_anchor = term_tail = nullptr;
  release_table(anchor);
}

TERM_TABLE* alloc_term(int32_t kind, int32_t data_type) {
  TERM_TABLE* t = new TERM_TABLE;  // exhaustion ends the process in the new-handler
  t->kind = kind;
  t->data_type = data_type;
  t->value = t->text;
  t->value_len = 0;
  return t;
}

TERM_TABLE* chain_to_perm_term_tb(int32_t kind, int32_t data_type) {
  TERM_TABLE* t = alloc_term(kind, data_type);
  if (term_anchor == nullptr) {
    term_anchor = term_tail = t;
    switch (register_memory(t, kSingleBlock, release_table)) {
      case 0: break;
      case 2: PRINT('w', "TRM0110", "Attempt to register same memory again\n"); break;
      default:
        PRINT('s', "TRM0100", "Memory registration failed\n");
        std::exit(1);
    }
  } else {
    term_tail->next = t;
    term_tail = t;
  }
  return t;
}

void drop_last_term(TERM_TABLE* term) {
  if (term == nullptr || term != term_tail) return;
  if (term == term_anchor) {
    unregister_memory(term);
    term_anchor = term_tail = nullptr;
  } else {
    TERM_TABLE* before = term_anchor;
    while (before->next != term) before = before->next;
    before->next = nullptr;
    term_tail = before;
  }
  delete term;
}

void note_term_change() { ++term_state::generation; }

void set_current_cursor(const curs* c) { term_state::current_cursor = c; }

char get_expr_end_sign() { return ';'; }

}  // namespace qrx
