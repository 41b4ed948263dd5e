// The expression interpreter: evaluates a reverse-polish list against the
// current values of its terms (constants, columns of cursors, percent
// variables, working variables) and returns a work value. Cursors are found
// through lookups that the context's owner installs; this module never walks
// them itself. The context keeps the compiled forms of the lists it evaluates.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include "expr/context.h"
#include "expr/terms.h"
#include "qrx/curs.h"
#include "qrx/row_data.h"

namespace qrx {

// The column of `c` named `name` (any case), or null.
const columns* find_column(const curs& c, const char* name);

// Installs the lookups (null members: nothing found).
void set_expr_names(ExprContext& cx, const ExprNames& names);
// The lookups installed.
const ExprNames& expr_names(const ExprContext& cx);

// The row of the current cursor that bare names read; null: its last row.
void set_current_row(ExprContext& cx, const row_data* row);
// The row set by set_current_row (null: the last row).
const row_data* get_current_row(const ExprContext& cx);

// Process modes of the aggregates SUM and ROW.
enum ProcMode : int { kProcPrepare = 0, kProcReset = 1, kProcExecute = 2 };
void set_proc_mode(ExprContext& cx, int mode);
int get_proc_mode(const ExprContext& cx);
// Status ROW left: 2 same group, 3 a new group (0 no row yet, 1 failed:
// set by the select that drives ROW).
int get_row_status(const ExprContext& cx);
void set_row_status(ExprContext& cx, int status);

// Evaluates `rpn` (which is left unchanged) and returns the result, a work
// value the caller releases with free_work_chain(cx, result, nullptr, 1); null
// on failure after logging why.
//
// After a list of comparisons, LIKE, logical and arithmetic operations (no
// assignment, SUM or ROW; at most 256 entries) has once been evaluated
// without fault, later evaluations run a compiled form of it: operands wired
// in advance, constants converted and LIKE patterns analysed once, no name
// lookups and no allocation but the result. Columns are still read through
// their column records, so a changed offset or width is followed; a column
// term's own value fields are brought up to date by full evaluations only.
// Wherever the compiled form meets anything the full evaluation would log,
// the full evaluation runs instead, so results and messages are the same
// either way. The context keeps the forms (a fixed number, by the list's
// address) and one is dropped when its list's entries differ or any term it
// could point at has been freed.
TERM_TABLE* interpreter(ExprContext& cx, const LexList& rpn);

// A list compiled for repeated evaluation by a caller that holds it: it
// keeps its own copy of the list (whose terms stay in their term table) and
// spares the per-evaluation checks and result value that interpreter() makes.
// `cx` outlives it.
class CompiledExpr {
 public:
  CompiledExpr(ExprContext& cx, const LexList& rpn);
  ~CompiledExpr();
  CompiledExpr(const CompiledExpr&) = delete;
  CompiledExpr& operator=(const CompiledExpr&) = delete;

  // Evaluates the list as interpreter() would (the same messages) and sets
  // `*truth` to whether its result is a nonzero number; 0, or 1 after logging why.
  int evaluate(bool* truth);

 private:
  struct Form;
  // evaluate() on every way.
  [[gnu::noinline]] int evaluate_in_general(bool* truth);
  ExprContext& cx_;
  LexList list_;
  std::unique_ptr<Form> form_;
};

// Evaluates `rpn` over each of `rows`, rows of the current cursor, as
// interpreter() would with each set as the current row, and sets `truths[i]`
// to whether its result for `rows[i]` is a nonzero number. Only a list that
// interpreter() has compiled into column tests under logical operations is
// run so: it reads stored rows alone, which evaluations do not change.
// 0 done. Otherwise nothing is logged and the caller evaluates row by row:
// 2 when the list is not compiled for its terms as they are now (a row
// evaluated so compiles it), 1 when it is no such list or cannot run so now.
int evaluate_rows(ExprContext& cx, const LexList& rpn, std::span<const row_data* const> rows,
                  std::span<bool> truths);

// Turns the compiled form on (the default) or off; off, every evaluation is a full one.
void set_compiled_evaluation(ExprContext& cx, bool on);

// Number of evaluations the compiled form has answered so far.
std::size_t compiled_evaluations(const ExprContext& cx);

// Takes the work chain from `chain` (linked through `next`) and releases
// every entry except `keep`, which is unlinked and stays the caller's: mode 0
// frees them, mode 1 moves them to the context's reuse store.
void free_work_chain(ExprContext& cx, TERM_TABLE* chain, TERM_TABLE* keep, int mode);

// A work value the caller owns: a kind-4, edited string entry, from the reuse
// store when one is there.
TERM_TABLE* alloc_work_var(ExprContext& cx);

// Signed comparison of two resolved terms into `*d`; 0, or 1 after logging why.
int compare_subr(const TERM_TABLE& a, const TERM_TABLE& b, int* d);

// Length of `text` without trailing blanks, at least 1.
int less_blanks_len(const char* text, int len);

// Converts a string term's whole value to a number (class 2 or 3); 0, or 1
// when it is no number.
int term_str2num(ExprContext& cx, TERM_TABLE& t);

// True when `subject` matches `pattern` ("_" one character, "%" any run).
bool like_match(std::string_view subject, std::string_view pattern);

}  // namespace qrx
