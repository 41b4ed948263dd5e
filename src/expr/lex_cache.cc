#include "expr/lex_cache.h"

#include <strings.h>

#include <cstring>
#include <list>
#include <string_view>

#include "expr/context.h"

namespace qrx {

namespace {

using SharedList = std::shared_ptr<const LexList>;

bool is_select_kind(int kind) { return kind >= kLexedSelect && kind <= kLexedCond; }
bool valid_kind(int kind) { return kind >= kLexedExpr && kind <= kLexedCond; }

// A text without the row-function argument that a select list appends.
std::string_view key_text(std::string_view text) {
  const std::string_view rfa = kRowFunctionArg;
  if (text.size() >= rfa.size() && text.substr(text.size() - rfa.size()) == rfa)
    text.remove_suffix(rfa.size());
  return text;
}

// Whether `list` (without its end marker) ends with the ROW function.
bool ends_with_row(const LexList& list) {
  return list.size() >= 2 && list[list.size() - 2] == row_function_oper();
}

// Whether `entry` is the row-function argument a select list carries.
bool is_row_function_arg(const Lexeme* entry) {
  return entry != nullptr && entry->entry_type == kLexTerm &&
         strcasecmp(static_cast<const TERM_TABLE*>(entry)->text, kRowFunctionArg + 1) == 0;
}

// Whether a list of `from`'s kind can serve `kind`: a select list needs the
// row-function argument that only lexing its own text puts in.
bool derivable(const W_LEXED_EXPR& from, int kind) {
  return kind != kLexedCols || from.kind == kLexedCols;
}

// The list that `kind` uses, taken over from `from`: shared between kinds
// that do not change it, else a select list's copy without its ROW and argument.
SharedList list_for_kind(const W_LEXED_EXPR& from, int kind) {
  if ((from.kind == kLexedCols) == (kind == kLexedCols)) return from.rpn;
  auto copy = std::make_shared<LexList>(*from.rpn);
  if (ends_with_row(*copy)) {
    copy->erase(copy->end() - 2);
    if (copy->size() >= 2 && is_row_function_arg(*(copy->end() - 2))) copy->erase(copy->end() - 2);
  }
  return copy;
}

void set_replica(W_LEXED_EXPR& e) {
  if (is_select_kind(e.kind)) e.replica = std::make_unique<LexList>(*e.rpn);
}

// A new object of `kind` for `curs_name` made from `from` without lexing.
W_LEXED_EXPR derive_obj(const W_LEXED_EXPR& from, int kind, const std::string& curs_name) {
  W_LEXED_EXPR e;
  e.kind = kind;
  std::string_view text = key_text(from.text);
  e.text.assign(text);
  if (kind == kLexedCols) e.text += kRowFunctionArg;
  e.curs_name = kind == kLexedExpr ? std::string() : curs_name;
  e.rpn = list_for_kind(from, kind);
  e.term_table = from.term_table;
  set_replica(e);
  return e;
}

void fill_block(const W_LEXED_EXPR& e, LexedBlock& block) {
  block.text = e.text.c_str();
  block.text_len = e.text.size();
  block.curs_name = e.curs_name;
  block.rpn = e.rpn.get();
  block.rpn_len = e.rpn->empty() ? 0 : e.rpn->size() - 1;
  block.replica = e.replica.get();
  block.term_table = e.term_table;
}

std::string_view block_key(const LexedBlock& block) {
  return key_text(std::string_view(block.text, expr_text_length(block.text, block.text_len)));
}

// The cursor a kind is keyed by: the plain kind belongs to no cursor.
std::string key_cursor(const LexedBlock& block) {
  return block.kind == kLexedExpr ? std::string() : block.curs_name;
}

// Where a node of `kind` for `text` goes: after the last node of that text
// whose kind is not higher, or before the first node of the text, or at the end.
std::list<W_LEXED_EXPR>::iterator insert_place(std::list<W_LEXED_EXPR>& list,
                                               std::string_view text, int kind) {
  auto it = list.begin();
  while (it != list.end() && key_text(it->text) != text) ++it;
  while (it != list.end() && key_text(it->text) == text && it->kind <= kind) ++it;
  return it;
}

}  // namespace

std::size_t expr_text_length(const char* text, std::size_t len) {
  if (text == nullptr) return 0;
  if (len == 0) len = std::strlen(text);
  const void* end = std::memchr(text, ';', len);
  return end ? static_cast<const char*>(end) - text + 1 : len;
}

int find_lex_block(ExprContext& cx, LexedBlock& block) {
  if (block.text == nullptr || !valid_kind(block.kind)) return 0;
  const std::string_view text = block_key(block);
  const std::string curs_name = key_cursor(block);
  auto& list = cx.lexed;
  // Terms bind to the cursor that they were first evaluated for, so only a
  // list kept for the same cursor is reused; another cursor compiles its own.
  const W_LEXED_EXPR* source = nullptr;
  for (const W_LEXED_EXPR& e : list) {
    if (key_text(e.text) != text || e.curs_name != curs_name) continue;
    if (e.kind == block.kind) {
      fill_block(e, block);
      return 1;
    }
    if (source == nullptr && derivable(e, block.kind)) source = &e;
  }
  if (source == nullptr) return 0;
  W_LEXED_EXPR derived = derive_obj(*source, block.kind, curs_name);
  auto at = list.insert(insert_place(list, text, block.kind), std::move(derived));
  fill_block(*at, block);
  return 1;
}

int store_lex_block(ExprContext& cx, LexedBlock& block) {
  if (!valid_kind(block.kind) || block.text == nullptr || block.rpn == nullptr ||
      block.rpn->empty() || block.rpn->back() != nullptr)
    return 1;
  W_LEXED_EXPR e;
  e.kind = block.kind;
  e.text.assign(block.text, expr_text_length(block.text, block.text_len));
  e.curs_name = key_cursor(block);
  e.rpn = std::make_shared<const LexList>(*block.rpn);
  e.term_table = block.term_table;
  set_replica(e);
  const std::string key(key_text(e.text));
  auto at = cx.lexed.insert(insert_place(cx.lexed, key, e.kind), std::move(e));
  fill_block(*at, block);
  return 0;
}

int check_lex_bl(const char* text, const std::string& curs_name, int kind, LexedBlock& block) {
  const bool complete = block.rpn != nullptr && block.rpn_len > 0 &&
                        block.term_table != nullptr &&
                        (block.replica != nullptr || !is_select_kind(kind));
  if (complete && text != nullptr && block.text != nullptr && block.kind == kind &&
      block.curs_name == curs_name) {
    const std::string_view want(text, expr_text_length(text, 0));
    const std::string_view have(block.text, block.text_len);
    if (key_text(want) == key_text(have)) return 1;
  }
  block = LexedBlock{};
  return 0;
}

void free_w_list(ExprContext& cx) { cx.lexed.clear(); }

std::size_t lex_cache_size(const ExprContext& cx) { return cx.lexed.size(); }

}  // namespace qrx
