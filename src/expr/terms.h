// Lexemes of the expression language: the operation table, the term-table
// entries that hold names, constants, column references and work values,
// and the context's current term table into which the lexer interns terms.
// A table is a chain of entries from its head, each owning the next.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qrx/curs.h"

namespace qrx {

class ExprContext;

// Entry types: what a token-list pointer points at.
enum LexemeType : int32_t { kLexOperation = 1, kLexTerm = 2, kLexTableEnd = 3 };

// Common head of operation entries and terms.
struct Lexeme {
  int32_t entry_type;
};

// Operation classes.
enum OperClass : int16_t { kClassOperator = 1, kClassFunction = 2, kClassSeparator = 3 };

// Result kinds.
enum ResultKind : int16_t { kResultNone = 0, kResultLogical = 1, kResultArithmetic = 2,
                            kResultSpecial = 3 };

// Routines the interpreter runs for an operation; kNoRoutine for brackets and ",".
enum OperRoutine : int16_t {
  kNoRoutine = 0, kOrPrc, kAndPrc, kNotPrc, kEquPrc, kNequPrc, kLessPrc, kNlessPrc, kGrtPrc,
  kNgrtPrc, kAsgntPrc, kPlusPrc, kMinusPrc, kMltplPrc, kDivPrc, kNegPrc, kRowFunc, kSumFunc,
  kLikePrc, kRoutineCount
};

// Argument count meaning "variable"; such an operation takes at most kMaxArgs.
constexpr uint16_t kVariableArgs = 0xFFFF;
constexpr int kMaxArgs = 100;

// One entry of the operation table.
struct Operation : Lexeme {
  const char* spelling;
  int16_t oper_class;
  uint16_t args;
  uint16_t precedence;
  int16_t routine;  // OperRoutine
  int16_t result_kind;
};

// The operation table in search order, ended by an entry of type kLexTableEnd.
extern const Operation OperationTable[];

// The "(", ")" and ROW entries of the operation table.
const Operation* open_paren_oper();
const Operation* close_paren_oper();
const Operation* row_function_oper();

// Term kinds.
enum TermKind : int32_t { kTermString = 1, kTermNumber = 2, kTermColumn = 3, kTermName = 4,
                          kTermVector = 5 };
// Data types of a term.
enum TermDataType : int32_t { kTypeUndefined = 0, kTypeString = 1, kTypeInteger = 2,
                              kTypeFloat = 3 };
// Numeric classes of a term's value.
enum NumClass : int32_t { kNotNumeric = 0, kNumInteger = 2, kNumFloat = 3 };

constexpr int kTermTextMax = 50;   // characters of a term's own text
constexpr int kTermCursMax = 8;    // characters of a cursor qualifier

// One name, constant, column reference or work value.
struct TERM_TABLE : Lexeme {
  int32_t kind = 0;                 // TermKind
  int16_t edited = 0;               // resolved for evaluation
  char text[kTermTextMax + 1] = {};
  const char* value = nullptr;      // current value text (not always zero-terminated)
  int32_t value_len = 0;            // its length
  int32_t value_owned = 0;          // 1: value lives in `owned`
  std::string owned;                // separately held value text
  int32_t data_type = kTypeUndefined;
  int32_t ivalue = 0;               // numeric value by class
  double dvalue = 0;
  int32_t num_class = kNotNumeric;
  char curs_name[kTermCursMax + 1] = {};
  bool written_qualified = false;   // the text named the cursor ("CUR.COL")
  // Binding of a column term: its cursor and column (set when resolved);
  // a percent variable is bound to the percent cursor's row.
  const curs* bound_cursor = nullptr;
  const columns* bound_column = nullptr;
  bool bound_percent = false;
  std::unique_ptr<TERM_TABLE> accumulator;  // SUM over this argument: the running sum
  std::unique_ptr<TERM_TABLE> saved;        // ROW over this argument: its value before
  TERM_TABLE* sum_of = nullptr;             // a SUM result: the accumulator it shows
  TERM_TABLE* sub_term = nullptr;           // next element of a vector (an accumulator or copy)
  std::unique_ptr<TERM_TABLE> next;         // next entry of the term table or work chain

  TERM_TABLE() : Lexeme{kLexTerm} {}
  // Frees the entries after this one too, one at a time.
  ~TERM_TABLE();
  TERM_TABLE(const TERM_TABLE&) = delete;
  TERM_TABLE& operator=(const TERM_TABLE&) = delete;
  // Sets the term's own text (cut at kTermTextMax) and points the value at it.
  void set_text(const char* s, std::size_t len);
  // Sets the value, held in `owned`: the own text stays the spelling that
  // names are looked up by.
  void set_value(std::string_view v);
};

// A token list or reverse-polish list: pointers ended by a null pointer.
using LexList = std::vector<const Lexeme*>;

// Most tokens in one expression.
constexpr std::size_t kMaxTokens = 2000;

// Makes the table whose head is `anchor` current; an anchor of all ones
// stops the process ("TRM0150").
void open_lexer(ExprContext& cx, TERM_TABLE* anchor);
// Stores the current table's head in `*place` and clears the current table.
void close_lexer(ExprContext& cx, TERM_TABLE** place);
// Makes `anchor` the current table's head.
void set_term_tb_anchor(ExprContext& cx, TERM_TABLE* anchor);
// The current table's head, or null.
TERM_TABLE* get_lex_term_tb_anchor(const ExprContext& cx);
// Frees the whole table whose head is `anchor` (and forgets its registration).
void free_perm_term_tb(ExprContext& cx, TERM_TABLE* anchor);
// A new entry appended to the current table; the first entry of a table is
// registered with the memory chains.
TERM_TABLE* chain_to_perm_term_tb(ExprContext& cx, int32_t kind, int32_t data_type);
// A free-standing entry that no table holds; the caller owns it.
std::unique_ptr<TERM_TABLE> alloc_term(int32_t kind, int32_t data_type);

// Records that a term changed kind or numeric class, or that a term a list
// may point at was freed: evaluation forms compiled from a list are valid
// only while nothing did.
void note_term_change(ExprContext& cx);

// The cursor whose columns bare names resolve to.
void set_current_cursor(ExprContext& cx, const curs* c);

// The character that ends an expression.
char get_expr_end_sign();

}  // namespace qrx
