// The expression lexer and reverse-polish compiler: one table-driven state
// machine (character classes, state routines, transition matrix) run with
// three state tables (expressions, function arguments, terms). Names and
// constants are interned in the context's current term table (terms.h).
#pragma once

#include <cstddef>
#include <memory>

#include "expr/context.h"
#include "expr/terms.h"

namespace qrx {

// Lexes and orders `text` (up to its first ";" or its end) into a
// reverse-polish list ended by a null pointer; null after "LEX0005" or
// "LEX0007". `stopped`, when given, receives where lexing stopped.
std::unique_ptr<LexList> parse_expression(ExprContext& cx, const char* text,
                                          const char** stopped = nullptr);

// The token list of `text` (ended by a null pointer) into `tokens`; 0, or 1
// after logging why. `text` is left where lexing stopped.
int lex_expression(ExprContext& cx, const char*& text, LexList& tokens);

// Reorders a token list into reverse-polish order; null after logging why.
std::unique_ptr<LexList> reverse_pol_notation(const LexList& tokens);

// False after logging Int0056 when an operator of the reverse Polish list
// `rpn` would find fewer arguments than it takes at every evaluation
// ("x = -1": a minus without its left side). Lists with functions are not
// judged (true).
bool operators_have_arguments(const LexList& rpn);

// Number of lexer runs so far (shows when the cache spared one).
std::size_t lexer_runs(const ExprContext& cx);

}  // namespace qrx
