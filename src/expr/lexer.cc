#include "expr/lexer.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "base/log.h"
#include "base/trace.h"

namespace qrx {

namespace {

// Character classes (index into a transition-matrix row is class - 1).
enum CharClass : int {
  kNoClass = 0, kOpenParen = 1, kCloseParen = 2, kLetter = 3, kDigit = 4, kBangPercent = 5,
  kQuote = 6, kBlank = 7, kOperChar = 8, kEndSign = 9, kComma = 10, kPseudo = 11, kPeriod = 12,
  kUnderscore = 13,
};
constexpr int kClasses = 13;

bool alpha_pr(unsigned char c) { return std::isalpha(c) != 0; }
bool digit_pr(unsigned char c) { return c >= '0' && c <= '9'; }
bool blank_pr(unsigned char c) { return c >= 1 && c <= 32; }

// One class: its member characters or a predicate.
struct CharType {
  int cls;
  const char* members;
  bool (*test)(unsigned char);
};

// char_type_tb: the end of the text (a zero byte) is handled with ";".
const CharType char_type_tb[kClasses] = {
    {kOpenParen, "(", nullptr},      {kCloseParen, ")", nullptr}, {kLetter, nullptr, alpha_pr},
    {kDigit, nullptr, digit_pr},     {kBangPercent, "!%", nullptr}, {kQuote, "'\"", nullptr},
    {kBlank, nullptr, blank_pr},     {kOperChar, "+-*/><=:^", nullptr}, {kEndSign, ";", nullptr},
    {kComma, ",", nullptr},          {kPseudo, "", nullptr},      {kPeriod, ".", nullptr},
    {kUnderscore, "_", nullptr},
};

int char_class(char ch) {
  const auto c = static_cast<unsigned char>(ch);
  if (c == 0) return kEndSign;
  for (const CharType& t : char_type_tb) {
    if (t.test ? t.test(c) : std::strchr(t.members, c) != nullptr) return t.cls;
  }
  return kNoClass;
}

// Answers of a state routine.
enum Answer : int {
  kNext = 0,      // classify the character now current and move by the matrix
  kFinished = 1,  // the machine is done
  kViaPseudo = 2, // move by the pseudo-class, then by the current character's class
  kMoveBy = 3,    // move by the class the routine left in `cls`, at the same character
  kFailed = -1,   // failed; the routine logged why
};

struct Lexer;
using StateRoutine = int (*)(Lexer&);
constexpr int kStates = 8;

// A state table: the routine of each state and the transition matrix.
struct StateTable {
  StateRoutine routine[kStates];
  const unsigned char (*matrix)[kClasses];
};

// One run of the machine over a text.
struct Lexer {
  ExprContext& cx;  // its current term table receives the terms
  const char* text;
  std::size_t pos = 0;
  int cls = kNoClass;
  int parens = 0;
  LexList* tokens;
  // Term machine: the name read before "(" or ".".
  std::size_t pending_start = 0, pending_len = 0;
  char here() const { return text[pos]; }
};

int run_machine(const StateTable& table, Lexer& lx);

// Appends a token; above kMaxTokens the expression fails with `id`.
bool append(Lexer& lx, const Lexeme* token, const char* id) {
  if (lx.tokens->size() >= kMaxTokens) {
    PRINT('e', id, "Expression is too long\n");
    return false;
  }
  lx.tokens->push_back(token);
  return true;
}

// Spelling comparison: the longer of the run and the spelling must match.
bool same_spelling(const char* run, std::size_t len, const char* spelling) {
  return std::strlen(spelling) == len && strncasecmp(run, spelling, len) == 0;
}

// The operation entry spelled `run` among entries that `accept` admits.
template <typename Pred>
const Operation* find_oper(const char* run, std::size_t len, Pred accept) {
  for (const Operation* op = OperationTable; op->entry_type != kLexTableEnd; ++op)
    if (accept(*op) && same_spelling(run, len, op->spelling)) return op;
  return nullptr;
}

bool is_binary(const Operation& op) {
  return (op.oper_class == kClassOperator && op.args == 2) || op.oper_class == kClassSeparator;
}
bool is_unary(const Operation& op) { return op.oper_class == kClassOperator && op.args == 1; }
bool is_function(const Operation& op) { return op.oper_class == kClassFunction; }

bool name_char(char c) {
  const int k = char_class(c);
  return k == kLetter || k == kDigit || k == kUnderscore;
}

std::size_t skip_blanks(const char* text, std::size_t pos) {
  while (char_class(text[pos]) == kBlank) ++pos;
  return pos;
}

// ---- Expression states ----------------------------------------------------

int init_expr_rtn(Lexer& lx) {
  if (lx.cls == kEndSign) {
    if (lx.here() == '\0' && trace_all)
      PRINT('w', "LEX0035", "Null-terminator assumed the expression end\n");
    if (lx.here() != '\0') ++lx.pos;
    return append(lx, nullptr, "LEX0120") ? kFinished : kFailed;
  }
  if (lx.cls == kBlank || lx.cls == kComma) ++lx.pos;
  return kNext;  // anything else is looked at again through the matrix
}

int open_paren_rtn(Lexer& lx) {
  if (lx.cls == kOpenParen) {
    if (!append(lx, open_paren_oper(), "LEX0040")) return kFailed;
    ++lx.parens;
  }
  ++lx.pos;
  return kNext;
}

// Shared by both close-parenthesis routines; `sub` ends argument lexing at depth 0.
int close_paren(Lexer& lx, bool sub) {
  if (lx.cls == kBlank) {
    ++lx.pos;
    return kNext;
  }
  if (!append(lx, close_paren_oper(), sub ? "LEX0310" : "LEX0050")) return kFailed;
  ++lx.pos;
  if (--lx.parens < 0) {
    PRINT('e', sub ? "LEX0320" : "LEX0045", "Unbalanced parentheses in expression\n");
    return kFailed;
  }
  return sub && lx.parens == 0 ? kFinished : kNext;
}
int clse_paren_rtn(Lexer& lx) { return close_paren(lx, false); }
int clse_paren_s_rtn(Lexer& lx) { return close_paren(lx, true); }

int term_machine(Lexer& lx);

int term_rtn(Lexer& lx) {
  if (lx.cls == kBlank) {
    ++lx.pos;
    return kNext;
  }
  if (term_machine(lx) != 0) {
    PRINT('e', "LEX0060", "Term syntax error\n");
    return kFailed;
  }
  return kNext;
}

int oper_rtn(Lexer& lx) {
  if (lx.cls == kBlank) {
    ++lx.pos;
    return kNext;
  }
  const std::size_t start = lx.pos;
  if (lx.cls == kComma) {
    ++lx.pos;
  } else {
    while (char_class(lx.here()) == lx.cls) ++lx.pos;
  }
  const Operation* op = find_oper(lx.text + start, lx.pos - start, is_binary);
  if (op == nullptr) {
    PRINT('e', "LEX0090", "Unknown operation %.10s in expression\n", lx.text + start);
    return kFailed;
  }
  return append(lx, op, "LEX0100") ? kNext : kFailed;
}

// Directly after "(": a unary operator, or the start of a term.
int spec_oper_rtn(Lexer& lx) {
  const std::size_t start = lx.pos;
  if (lx.cls == kOperChar) {
    std::size_t end = start;
    while (char_class(lx.text[end]) == kOperChar) ++end;
    const Operation* op = find_oper(lx.text + start, end - start, is_unary);
    if (op == nullptr) {
      PRINT('e', "LEX0090", "Unknown operation in expression\n");
      return kFailed;
    }
    if (!append(lx, op, "LEX0330")) return kFailed;
    lx.pos = end;
    return kViaPseudo;
  }
  std::size_t end = start;
  while (lx.text[end] != '\0' && (char_class(lx.text[end]) == kLetter || lx.text[end] == '_'))
    ++end;
  // A word operator stays one before "(": "(NOT (A > 1))" negates the group.
  if (lx.text[skip_blanks(lx.text, end)] != '.') {
    if (const Operation* op = find_oper(lx.text + start, end - start, is_unary)) {
      if (!append(lx, op, "LEX0330")) return kFailed;
      lx.pos = end;
      return kViaPseudo;
    }
  }
  lx.cls = char_class(lx.here());  // read again as a term
  return kMoveBy;
}

int end_expr_rtn(Lexer& lx) {
  if (lx.cls != kEndSign) return kNext;
  if (lx.parens != 0) {
    PRINT('e', "LEX0110", "Unbalanced parentheses in expression\n");
    return kFailed;
  }
  if (lx.here() == '\0' && trace_all)
    PRINT('w', "LEX0035", "Null-terminator assumed the expression end\n");
  if (lx.here() != '\0') ++lx.pos;
  return append(lx, nullptr, "LEX0120") ? kFinished : kFailed;
}

int expr_error_rtn(Lexer&) {
  PRINT('e', "LEX0130", "Syntax error: invalid character sequence in expression\n");
  return kFailed;
}

// States: 1 start, 2 open, 3 close, 4 term, 5 operator, 6 unary, 7 end, 8 error.
constexpr unsigned char S = 1, O = 2, C = 3, T = 4, P = 5, U = 6, E = 7, X = 8;
//  columns:  (  )  let dig !% quo blk op  end ,  pse .  _
const unsigned char kExprMatrix[kStates][kClasses] = {
    {O, X, T, T, T, T, S, X, X, X, X, T, T},  // start
    {O, X, U, T, T, T, O, U, X, X, X, T, U},  // open
    {X, C, P, X, X, X, C, P, E, P, X, X, P},  // close
    {X, C, P, X, X, X, T, P, E, P, X, X, P},  // term
    {O, X, T, T, T, T, P, P, X, X, X, T, T},  // operator
    {X, X, T, X, X, X, X, X, X, X, P, X, T},  // unary
    {S, S, S, S, S, S, S, S, S, S, S, S, S},  // end
    {E, E, E, E, E, E, E, E, E, E, E, E, E},  // error
};

const StateTable ExprStateTable = {
    {init_expr_rtn, open_paren_rtn, clse_paren_rtn, term_rtn, oper_rtn, spec_oper_rtn,
     end_expr_rtn, expr_error_rtn},
    kExprMatrix};
const StateTable SubExprStateTable = {
    {init_expr_rtn, open_paren_rtn, clse_paren_s_rtn, term_rtn, oper_rtn, spec_oper_rtn,
     end_expr_rtn, expr_error_rtn},
    kExprMatrix};

// ---- Term states ----------------------------------------------------------

bool text_fits(const char* s, std::size_t len) {
  if (len <= static_cast<std::size_t>(kTermTextMax)) return true;
  PRINT('e', "LEX0165", "Name %.50s is longer than 50 characters\n", s);
  return false;
}

// An existing term of the current table matching `same`.
template <typename Pred>
TERM_TABLE* find_term(const ExprContext& cx, Pred same) {
  for (TERM_TABLE* t = get_lex_term_tb_anchor(cx); t != nullptr; t = t->next.get())
    if (same(*t)) return t;
  return nullptr;
}

bool same_text(const TERM_TABLE& t, const char* s, std::size_t len) {
  return std::strlen(t.text) == len && strncasecmp(t.text, s, len) == 0;
}

int term_start_rtn(Lexer&) { return kNext; }

int name_rtn(Lexer& lx) {
  const std::size_t start = lx.pos;
  ++lx.pos;  // a letter, "!", "%" or "_"
  while (name_char(lx.here())) ++lx.pos;
  const std::size_t end = lx.pos;
  const std::size_t after = skip_blanks(lx.text, end);
  if (lx.text[after] == '(' || lx.text[after] == '.') {
    lx.pending_start = start;
    lx.pending_len = end - start;
    lx.pos = after;
    return kNext;
  }
  const char* s = lx.text + start;
  if (!text_fits(s, end - start)) return kFailed;
  TERM_TABLE* t = find_term(lx.cx, [&](const TERM_TABLE& e) {
    // A name already resolved to a column or percent variable is still that name.
    const bool name = e.kind == kTermName || e.kind == kTermVector ||
                      (e.kind == kTermColumn && !e.written_qualified);
    return name && same_text(e, s, end - start);
  });
  if (t == nullptr) {
    t = chain_to_perm_term_tb(lx.cx, kTermName, kTypeUndefined);
    t->set_text(s, end - start);
  }
  return append(lx, t, "LEX0160") ? kNext : kFailed;
}

int qualif_name_rtn(Lexer& lx) {
  const char* cursor = lx.text + lx.pending_start;
  const std::size_t curs_len = lx.pending_len;
  if (curs_len > static_cast<std::size_t>(kTermCursMax)) {
    const std::string name(cursor, curs_len);
    PRINT('e', "LEX0180", "Cursor name %s is longer than MAX_CURSOR_LEN\n", name.c_str());
    return kFailed;
  }
  std::size_t pos = skip_blanks(lx.text, lx.pos + 1);
  const std::size_t start = pos;
  while (name_char(lx.text[pos]) || lx.text[pos] == '.') ++pos;
  lx.pos = pos;
  if (pos == start) {
    PRINT('e', "LEX0195", "Lexer error\n");
    return kFailed;
  }
  const char* col = lx.text + start;
  if (!text_fits(col, pos - start)) return kFailed;
  TERM_TABLE* t = find_term(lx.cx, [&](const TERM_TABLE& e) {
    return e.kind == kTermColumn && e.written_qualified && same_text(e, col, pos - start) &&
           std::strlen(e.curs_name) == curs_len && strncasecmp(e.curs_name, cursor, curs_len) == 0;
  });
  if (t == nullptr) {
    t = chain_to_perm_term_tb(lx.cx, kTermColumn, kTypeUndefined);
    t->set_text(col, pos - start);
    std::memcpy(t->curs_name, cursor, curs_len);
    t->curs_name[curs_len] = '\0';
    t->written_qualified = true;
  }
  return append(lx, t, "LEX0200") ? kNext : kFailed;
}

int function_rtn(Lexer& lx) {
  const char* name = lx.text + lx.pending_start;
  const Operation* fn = find_oper(name, lx.pending_len, is_function);
  if (fn == nullptr) {
    const std::string spelled(name, lx.pending_len);
    PRINT('e', "LEX0260", "Unknown function %s in expression\n", spelled.c_str());
    return kFailed;
  }
  if (!append(lx, fn, "LEX0270")) return kFailed;
  Lexer args{lx.cx, lx.text, lx.pos, kNoClass, 0, lx.tokens};
  if (run_machine(SubExprStateTable, args) != 0) {
    PRINT('e', "LEX0300", "function argument expression syntax error\n");
    return kFailed;
  }
  lx.pos = args.pos;
  return kNext;
}

int number_rtn(Lexer& lx) {
  const std::size_t start = lx.pos;
  bool period = false;
  for (;; ++lx.pos) {
    const char c = lx.here();
    if (c == '.') {
      if (period) {
        PRINT('e', "LEX0345", "Extra period in decimal number\n");
        return kFailed;
      }
      period = true;
    } else if (!digit_pr(static_cast<unsigned char>(c))) {
      break;
    }
  }
  const char* s = lx.text + start;
  const std::size_t len = lx.pos - start;
  if (len == 1 && period) {
    PRINT('e', "LEX0350", "Syntax error, a number expected\n");
    return kFailed;
  }
  if (!text_fits(s, len)) return kFailed;
  const int32_t type = period ? kTypeFloat : kTypeInteger;
  TERM_TABLE* t = find_term(lx.cx, [&](const TERM_TABLE& e) {
    return e.kind == kTermNumber && e.data_type == type && std::strlen(e.text) == len &&
           std::memcmp(e.text, s, len) == 0;
  });
  if (t == nullptr) {
    t = chain_to_perm_term_tb(lx.cx, kTermNumber, type);
    t->set_text(s, len);
  }
  return append(lx, t, "LEX0360") ? kNext : kFailed;
}

int string_rtn(Lexer& lx) {
  const char quote = lx.here();
  const std::size_t start = lx.pos + 1;
  std::size_t end = start;
  while (lx.text[end] != quote) {
    if (char_class(lx.text[end]) == kEndSign) {
      PRINT('e', "LEX0410", "Expression end encountered before string end\n");
      lx.pos = end;
      return kFailed;
    }
    ++end;
  }
  lx.pos = end + 1;
  std::string value(lx.text + start, end - start);
  if (value.empty()) {
    PRINT('w', "LEX0390", "Empty string, a blank assumed\n");
    value.push_back(' ');
  }
  // Constants are matched exactly: 'abc' and 'ABC' are different values.
  TERM_TABLE* t = find_term(lx.cx, [&](const TERM_TABLE& e) {
    return e.kind == kTermString && value == std::string_view(e.value, e.value_len);
  });
  if (t == nullptr) {
    t = chain_to_perm_term_tb(lx.cx, kTermString, kTypeString);
    t->set_text(value.data(), value.size());  // the spelling, for traces
    t->set_value(value);
  }
  return append(lx, t, "LEX0400") ? kNext : kFailed;
}

int end_term_rtn(Lexer&) { return kFinished; }

// Term states: 1 start, 2 name, 3 qualified name, 4 function, 5 number,
// 6 string, 7 end of term.
constexpr unsigned char NM = 2, QN = 3, FN = 4, NU = 5, ST = 6, EN = 7;
//  columns:     (   )   let dig !%  quo blk op  end ,   pse .   _
const unsigned char kTermMatrix[kStates][kClasses] = {
    {EN, EN, NM, NU, NM, ST, EN, EN, EN, EN, EN, NU, NM},  // start
    {FN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, QN, EN},  // name
    {EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN},  // qualified name
    {EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN},  // function
    {EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN},  // number
    {EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN},  // string
    {EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN},  // end of term
    {EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN, EN},  // (unused)
};
const StateTable TermStateTable = {
    {term_start_rtn, name_rtn, qualif_name_rtn, function_rtn, number_rtn, string_rtn,
     end_term_rtn, end_term_rtn},
    kTermMatrix};

// Runs the term machine at the current character; the expression machine
// goes on where the term ended.
int term_machine(Lexer& lx) {
  Lexer term{lx.cx, lx.text, lx.pos, kNoClass, 0, lx.tokens};
  const int rc = run_machine(TermStateTable, term);
  lx.pos = term.pos;
  return rc;
}

// The machine: routines answer how to go on (Answer); 0 success, 1 failure.
int run_machine(const StateTable& table, Lexer& lx) {
  int state = 1;
  lx.cls = char_class(lx.here());
  if (lx.cls == kNoClass) {
    PRINT('e', "LEX0015", "Syntax error in expression\n");
    return 1;
  }
  for (;;) {
    const int answer = table.routine[state - 1](lx);
    switch (answer) {
      case kFinished:
        return 0;
      case kFailed:
        return 1;
      case kMoveBy:
        state = table.matrix[state - 1][lx.cls - 1];
        break;
      case kViaPseudo:
        state = table.matrix[state - 1][kPseudo - 1];
        [[fallthrough]];
      case kNext:
        lx.cls = char_class(lx.here());
        if (lx.cls == kNoClass) {
          PRINT('e', "LEX0020", "Unknown character type in expression\n");
          return 1;
        }
        state = table.matrix[state - 1][lx.cls - 1];
        break;
      default:
        PRINT('e', "LEX0025", "Lexer error\n");
        return 1;
    }
  }
}

}  // namespace

int lex_expression(ExprContext& cx, const char*& text, LexList& tokens) {
  ++cx.lexer_runs;
  tokens.clear();
  Lexer lx{cx, text, 0, kNoClass, 0, &tokens};
  const int rc = run_machine(ExprStateTable, lx);
  text += lx.pos;
  if (rc != 0) {
    tokens.clear();
    return 1;
  }
  if (lx.parens != 0) {
    PRINT('e', "LEX0030", "Unbalanced parentheses in expression\n");
    tokens.clear();
    return 1;
  }
  return 0;
}

std::unique_ptr<LexList> reverse_pol_notation(const LexList& tokens) {
  auto out = std::make_unique<LexList>();
  out->reserve(tokens.size() + 1);
  std::vector<const Operation*> stack;
  for (const Lexeme* tok : tokens) {
    if (tok == nullptr) break;
    if (tok->entry_type == kLexTerm) {
      out->push_back(tok);
      continue;
    }
    if (tok->entry_type != kLexOperation) return nullptr;
    const auto* op = static_cast<const Operation*>(tok);
    if (op->precedence == 0) {
      stack.push_back(op);
    } else if (op->precedence == 1) {
      while (!stack.empty() && stack.back()->precedence != 0) {
        out->push_back(stack.back());
        stack.pop_back();
      }
      if (stack.empty()) {
        PRINT('e', "RPN0010", "Unbalanced parentheses in expression\n");
        return nullptr;
      }
      stack.pop_back();
    } else {
      while (!stack.empty() && stack.back()->precedence != 0 &&
             stack.back()->precedence >= op->precedence) {
        out->push_back(stack.back());
        stack.pop_back();
      }
      if (op->oper_class != kClassSeparator) stack.push_back(op);
    }
  }
  while (!stack.empty()) {
    if (stack.back()->precedence == 0) {  // "(" never closed
      PRINT('e', "RPN0010", "Unbalanced parentheses in expression\n");
      return nullptr;
    }
    out->push_back(stack.back());
    stack.pop_back();
  }
  out->push_back(nullptr);
  return out;
}

std::unique_ptr<LexList> parse_expression(ExprContext& cx, const char* text,
                                          const char** stopped) {
  if (text == nullptr) text = "";
  LexList tokens;
  const char* at = text;
  const int rc = lex_expression(cx, at, tokens);
  if (stopped != nullptr) *stopped = at;
  if (rc != 0) {
    PRINT('e', "LEX0005", "If-condition parsing ended with error\n");
    return nullptr;
  }
  std::unique_ptr<LexList> rpn = reverse_pol_notation(tokens);
  if (rpn == nullptr) PRINT('e', "LEX0007", "If-condition parsing ended with error\n");
  return rpn;
}

bool operators_have_arguments(const LexList& rpn) {
  std::size_t depth = 0;  // values the operations so far leave
  for (const Lexeme* entry : rpn) {
    if (entry == nullptr) break;  // the list's end
    if (entry->entry_type == kLexTerm) {
      ++depth;
      continue;
    }
    if (entry->entry_type != kLexOperation) continue;
    const auto& op = *static_cast<const Operation*>(entry);
    if (op.oper_class != kClassOperator || op.args == kVariableArgs || op.routine == kNoRoutine) return true;
    if (depth < op.args) {
      PRINT('e', "Int0056", "operation %s should have %i arguments\n", op.spelling, op.args);
      return false;
    }
    depth -= op.args - 1;
  }
  return true;
}

std::size_t lexer_runs(const ExprContext& cx) { return cx.lexer_runs; }

}  // namespace qrx
