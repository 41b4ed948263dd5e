#include "expr/terms.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "expr/context.h"
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

namespace {

TERM_TABLE* const kInvalidAnchor = reinterpret_cast<TERM_TABLE*>(~std::uintptr_t{0});

// Frees a whole table from its head: the registration of a table's first entry.
void release_table(void* head) { delete static_cast<TERM_TABLE*>(head); }

void find_tail(ExprContext& cx) {
  cx.term_tail = cx.term_anchor;
  while (cx.term_tail != nullptr && cx.term_tail->next != nullptr)
    cx.term_tail = cx.term_tail->next.get();
}

}  // namespace

TERM_TABLE::~TERM_TABLE() {
  // Unlinked one at a time: a long table would otherwise recurse once per entry.
  while (next != nullptr) next = std::move(next->next);
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

void open_lexer(ExprContext& cx, TERM_TABLE* anchor) {
  if (anchor == kInvalidAnchor) {
    PRINT('s', "TRM0150", "Invalid pointer: quitting\n");
    std::exit(1);
  }
  cx.term_anchor = anchor;
  find_tail(cx);
}

void close_lexer(ExprContext& cx, TERM_TABLE** place) {
  if (place != nullptr) *place = cx.term_anchor;
  cx.term_anchor = cx.term_tail = nullptr;
}

void set_term_tb_anchor(ExprContext& cx, TERM_TABLE* anchor) { open_lexer(cx, anchor); }

TERM_TABLE* get_lex_term_tb_anchor(const ExprContext& cx) { return cx.term_anchor; }

void free_perm_term_tb(ExprContext& cx, TERM_TABLE* anchor) {
  if (anchor == nullptr) return;
  unregister_memory(cx, anchor);
  if (anchor == cx.term_anchor) cx.term_anchor = cx.term_tail = nullptr;
  // A freed term's address may come back as another term under a list that
  // looks the same.
  note_term_change(cx);
  release_table(anchor);
}

std::unique_ptr<TERM_TABLE> alloc_term(int32_t kind, int32_t data_type) {
  auto t = std::make_unique<TERM_TABLE>();  // exhaustion ends the process in the new-handler
  t->kind = kind;
  t->data_type = data_type;
  t->value = t->text;
  t->value_len = 0;
  return t;
}

TERM_TABLE* chain_to_perm_term_tb(ExprContext& cx, int32_t kind, int32_t data_type) {
  std::unique_ptr<TERM_TABLE> entry = alloc_term(kind, data_type);
  TERM_TABLE* t = entry.get();
  if (cx.term_anchor == nullptr) {
    cx.term_anchor = cx.term_tail = entry.release();  // the table is its head's chain
    switch (register_memory(cx, t, kSingleBlock, release_table)) {
      case 0: break;
      case 2: PRINT('w', "TRM0110", "Attempt to register same memory again\n"); break;
      default:
        PRINT('s', "TRM0100", "Memory registration failed\n");
        std::exit(1);
    }
  } else {
    cx.term_tail->next = std::move(entry);
    cx.term_tail = t;
  }
  return t;
}

void note_term_change(ExprContext& cx) { ++cx.generation; }

void set_current_cursor(ExprContext& cx, const curs* c) { cx.current_cursor = c; }

char get_expr_end_sign() { return ';'; }

}  // namespace qrx
