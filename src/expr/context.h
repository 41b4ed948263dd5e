// The state of one expression engine: the term table the lexer fills, the
// memory chains, the lexed-expression cache, the evaluators' work values and
// compiled forms, the open select and the lookups to the cursors. Whoever
// owns the definitions that expressions read owns one; every expression call
// takes it by reference. Terms and lists it hands out belong to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string_view>
#include <vector>

#include "expr/lex_cache.h"
#include "expr/memory_chain.h"
#include "expr/terms.h"
#include "qrx/curs.h"
#include "qrx/cursor_set.h"
#include "qrx/row_data.h"

namespace qrx {

// How names reach cursors and percent variables; installed by the layer that owns them.
struct ExprNames {
  // The percent cursor's row of `cursors`, with the field of `col` (one of its
  // columns) brought up to date for reading; read on every evaluation, so a
  // plain function.
  const row_data* (*percent_row)(cursor_set& cursors, const columns& col) = nullptr;
  cursor_set* cursors = nullptr;  // what percent_row reads
  std::function<const curs*(std::string_view name)> find_cursor;      // by exact name
  std::function<const columns*(std::string_view name)> find_percent;  // "%..." column
};

// Compiled forms of lists, kept by the compiled evaluator.
struct CompiledForms;
struct CompiledFormsRelease {
  void operator()(CompiledForms* forms) const;
};
using CompiledFormsPtr = std::unique_ptr<CompiledForms, CompiledFormsRelease>;
// An empty set of forms (compiled.cc).
CompiledFormsPtr make_compiled_forms();

// A variable of the open select, declared by its caller: its term and where its value lives.
struct DeclaredVar {
  TERM_TABLE* term;
  int data_type;
  const void* value;
};

// A cursor open for select and the row it is on (null: before the first).
struct SelectPosition {
  const curs* cursor;
  const row_data* row;
};

// Aligned so that what every evaluation reads shares one cache line.
class alignas(64) ExprContext {
 public:
  ExprContext();
  // Frees the term tables still registered, the select table and every work value.
  ~ExprContext();
  ExprContext(const ExprContext&) = delete;
  ExprContext& operator=(const ExprContext&) = delete;

  // What every evaluation reads comes first and together: a row fetch
  // between two evaluations leaves little of it in the caches.
  // The generation changes whenever a term that a list may point at is freed
  // or changes kind.
  uint64_t generation = 0;
  // The cursor whose columns bare names resolve to.
  const curs* current_cursor = nullptr;
  const row_data* current_row = nullptr;  // null: the current cursor's last row
  std::size_t compiled_count = 0;
  CompiledFormsPtr compiled_forms = make_compiled_forms();  // compiled.cc
  // Released work values, chained through `next`, reused before new ones are allocated.
  std::unique_ptr<TERM_TABLE> reuse_store;
  bool compiled_on = true;
  ExprNames names;  // its percent lookup still in the first line
  int proc_mode = 2;  // ProcMode; kProcExecute
  int row_status = 2;

  // The current term table (terms.cc): head and tail (the tail makes
  // appends constant time).
  TERM_TABLE* term_anchor = nullptr;
  TERM_TABLE* term_tail = nullptr;

  // Long-lived allocations freed together (memory_chain.cc).
  std::vector<MemoryLink> memory;
  // The lexed-expression cache (lex_cache.cc): nodes grouped by text, within
  // a text ordered by kind.
  std::list<W_LEXED_EXPR> lexed;
  // Lexer runs so far.
  std::size_t lexer_runs = 0;

  // Scratch copy of the list being evaluated (full evaluator), reused from call to call.
  std::vector<const Lexeme*> scratch;

  // The select (select.cc).
  bool in_select = false;
  TERM_TABLE* lexer_before = nullptr;  // the lexer's table when the select context opened
  std::vector<DeclaredVar> declared;
  std::vector<SelectPosition> positions;
  // The built-in procedures' select table, kept from run to run: the texts
  // they compiled are cached and point at its terms.
  TERM_TABLE* procedure_table = nullptr;
};

// Read on every evaluation, so defined here for inlining.
inline uint64_t term_generation(const ExprContext& cx) { return cx.generation; }
inline const curs* get_current_cursor(const ExprContext& cx) { return cx.current_cursor; }

}  // namespace qrx
