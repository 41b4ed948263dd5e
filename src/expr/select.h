// The internal select: SQL-like reads over the rows a cursor already holds,
// for the built-in procedures. A select list of expressions with an optional
// WHERE, grouped by ROW and summed by SUM, answers into the caller's target.
// Compiled lists live in the expression cache; the select context's term
// table belongs to the caller, who keeps it between runs.
#pragma once

#include <cstdint>
#include <string>

#include "expr/context.h"
#include "expr/terms.h"
#include "qrx/curs.h"

namespace qrx {

// What perform_select and select_column write into their target.
enum SelectTarget : int {
  kSelectText = 1,      // std::string*: the first value's text, trailing blanks removed
  kSelectInteger = 2,   // int32_t*
  kSelectDouble = 3,    // double*
  kSelectCreateRow = 4, // accepted, does nothing
  kSelectInsertRow = 5, // accepted, does nothing
};

// Opens a select context on the term table whose head is `anchor` (null the
// first time); names and constants of the selects are interned there.
void start_exec_sql(ExprContext& cx, TERM_TABLE* anchor);
// Closes the context, storing its table's head in `*place` for the next run;
// variables declared in it are forgotten.
void end_exec_sql(ExprContext& cx, TERM_TABLE** place);

// Evaluates `select_list` over the rows of cursor `cursor_name` (only the
// current sample's when it keeps samples), oldest first, keeping the rows for which `where` (null: every row) is a nonzero
// number, and writes the result (the last group's first value) into
// `target` of `target_type`. 0, 100 when no row was selected (the target
// unchanged), 1 after logging why. The rows, the current cursor and row of
// the expression engine and its process mode are left as they were.
int perform_select(ExprContext& cx, const char* select_list, const char* cursor_name,
                   void* target, const char* where, int target_type);

// Reads `column` of cursor `cursor_name` (its select position when it is
// open for select, else its last row): into `target` for the number types,
// or, for kSelectText, into the declared text variable `var_name` whose term
// the caller keeps in `*term` between calls (and into `target`, a
// std::string*, when given). 0, or 1 after logging why.
int select_column(ExprContext& cx, const char* column, const char* cursor_name, void* target,
                  int target_type, const char* var_name, TERM_TABLE** term);

// Declares a working variable of the open context that WHERE texts may
// name; its value is read from `value` (const std::string*, const int32_t*
// or const double* for the types 1, 2, 3) at every evaluation. 0, or 1.
int declare_C_var(ExprContext& cx, const char* name, int data_type, const void* value);

// The column `column_name` of cursor `cursor_name`, or null after logging why.
const columns* cursor_column(const ExprContext& cx, const char* cursor_name,
                             const char* column_name);

// The cursor named exactly `name` (through the installed lookups), or null.
const curs* select_find_cursor(const ExprContext& cx, const char* name);

// Positions a select on `c` before its first row of the current sample (any
// row when it does not keep samples); 0, or 100 when it has no such rows.
int open_select_cursor(ExprContext& cx, const curs& c);
// Moves to the next such row: 0 a row, 100 the end, -1 when `c` is not open.
int fetch_next_row(ExprContext& cx, const curs& c);
// The row `c`'s select is on (null before the first or when not open).
const row_data* select_row(ExprContext& cx, const curs& c);
// Ends the select on `c`; 0, or 1 when it was not open.
int close_select_cursor(ExprContext& cx, const curs& c);
// Ends every select still open.
void cleanup_select(ExprContext& cx);

// The term table names are interned in now: the lexer's, else the context's.
TERM_TABLE* get_active_term_tb_anchor(const ExprContext& cx);

}  // namespace qrx
