// The lexed-expression cache: every compiled (reverse-polish) expression is
// kept once for its context, keyed by its text, the cursor it belongs to and
// its kind. A kind not yet cached for a text and cursor is derived from a
// cached one by copying its compiled list instead of lexing the text again.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "expr/terms.h"

namespace qrx {

class ExprContext;

// Kinds of cached expressions, in the order nodes of one text are kept.
enum LexedKind : int {
  kLexedExpr = 1,    // plain expression
  kLexedCurs = 2,    // expression of a cursor
  kLexedSelect = 3,  // select expression
  kLexedCols = 4,    // select list: text ends with ",rfa", list with ROW
  kLexedCond = 5,    // WHERE condition
};

// Row-function argument a select list's text carries at its end.
inline constexpr char kRowFunctionArg[] = ",rfa";

// The caller's key and result record.
struct LexedBlock {
  const char* text = nullptr;       // source text
  std::size_t text_len = 0;         // 0: up to the first ";" inclusive, or the whole text
  std::string curs_name;            // empty: no cursor
  int kind = 0;                     // LexedKind
  const LexList* rpn = nullptr;     // compiled list, ended by a null pointer
  std::size_t rpn_len = 0;          // entries before the end marker
  LexList* replica = nullptr;       // select kinds: a scratch copy of the list
  TERM_TABLE* term_table = nullptr;
};

// One cached expression. Lists are shared between kinds that use the same
// list and copied where a kind changes it (select lists carry ROW).
struct W_LEXED_EXPR {
  int kind = 0;
  std::string text;
  std::string curs_name;
  std::shared_ptr<const LexList> rpn;
  std::unique_ptr<LexList> replica;  // select kinds only
  TERM_TABLE* term_table = nullptr;  // where its terms live; the cache does not own it
};

// Length of the expression at `text`: up to and including the first ";",
// else to the end (`len` bytes, or the whole string when `len` is 0).
std::size_t expr_text_length(const char* text, std::size_t len);

// Looks the block's text, cursor and kind up, deriving the kind from another
// kind cached for the same text and cursor (a select list only from a select
// list, for only its own lexing carries the row-function argument). 1 found (block filled with the
// cached text, cursor name, list, length, replica and term table), 0 not
// cached for this cursor. (A failed derivation would answer 2; allocation
// failure ends the process instead.)
int find_lex_block(ExprContext& cx, LexedBlock& block);

// Caches the block's text, list (copied), term table and cursor name as its
// kind and writes back the cached text, list, length and replica. 0, or 1 for
// an unknown kind or a missing text or list.
int store_lex_block(ExprContext& cx, LexedBlock& block);

// 1 when `block` still describes `text`, `curs_name` and `kind` with a
// complete result; otherwise clears it and returns 0.
int check_lex_bl(const char* text, const std::string& curs_name, int kind, LexedBlock& block);

// Empties the cache.
void free_w_list(ExprContext& cx);

// Number of cached nodes.
std::size_t lex_cache_size(const ExprContext& cx);

}  // namespace qrx
