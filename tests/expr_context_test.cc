// Expression contexts side by side: each keeps its own terms, cache,
// compiled forms and evaluation state, and frees what it holds.
#include "expr/context.h"

#include <gtest/gtest.h>

#include <string>

#include "expr/interpreter.h"
#include "expr/lex_cache.h"
#include "expr/lexer.h"
#include "expr/memory_chain.h"
#include "expr/select.h"
#include "support/cursor_builder.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

// The result text of `rpn` evaluated in `cx`, or "null".
std::string eval(ExprContext& cx, const LexList& rpn) {
  TERM_TABLE* r = interpreter(cx, rpn);
  if (r == nullptr) return "null";
  std::string v(r->value, r->value_len);
  free_work_chain(cx, r, nullptr, 1);
  return v;
}

TEST(ExprContextTest, TwoContextsKeepTheirOwnTermsCacheAndCompiledForms) {
  ExprContext one, two;
  open_lexer(one, nullptr);
  open_lexer(two, nullptr);
  auto in_one = parse_expression(one, "x := 5");
  auto in_two = parse_expression(two, "x := 7");
  ASSERT_NE(in_one, nullptr);
  ASSERT_NE(in_two, nullptr);
  EXPECT_NE((*in_one)[0], (*in_two)[0]) << "each context interns its own x";
  EXPECT_EQ(eval(one, *in_one), "1");
  EXPECT_EQ(eval(two, *in_two), "1");
  auto read_one = parse_expression(one, "x = 5");
  auto read_two = parse_expression(two, "x = 7");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(eval(one, *read_one), "1");
    EXPECT_EQ(eval(two, *read_two), "1");
  }
  EXPECT_EQ(compiled_evaluations(one), 2u);
  EXPECT_EQ(compiled_evaluations(two), 2u);
  set_compiled_evaluation(two, false);
  EXPECT_EQ(eval(one, *read_one), "1");
  EXPECT_EQ(eval(two, *read_two), "1");
  EXPECT_EQ(compiled_evaluations(one), 3u) << "turning the other context's forms off left these";
  EXPECT_EQ(compiled_evaluations(two), 2u);

  LexedBlock block;
  block.text = "x = 5";
  block.kind = kLexedExpr;
  block.rpn = read_one.get();
  block.term_table = get_lex_term_tb_anchor(one);
  ASSERT_EQ(store_lex_block(one, block), 0);
  EXPECT_EQ(lex_cache_size(one), 1u);
  EXPECT_EQ(lex_cache_size(two), 0u);
  LexedBlock wanted;
  wanted.text = "x = 5";
  wanted.kind = kLexedExpr;
  EXPECT_EQ(find_lex_block(two, wanted), 0);
  EXPECT_EQ(registered_memory_count(one), 1u);
  EXPECT_EQ(registered_memory_count(two), 1u);
}

TEST(ExprContextTest, ASelectInOneContextLeavesTheOtherOutsideASelect) {
  testing::LogCapture log;
  curs counters;
  counters.name = "COUNTERS";
  testing::append_column(counters, "VAL", 8, true);
  testing::append_row(counters, {"4"});
  testing::append_row(counters, {"6"});
  ExprContext open, closed;
  ExprNames names;
  names.find_cursor = [&counters](std::string_view n) -> const curs* {
    return n == "COUNTERS" ? &counters : nullptr;
  };
  set_expr_names(open, names);
  set_expr_names(closed, names);
  start_exec_sql(open, nullptr);
  double sum = 0;
  EXPECT_EQ(perform_select(open, "SUM(VAL)", "COUNTERS", &sum, nullptr, kSelectDouble), 0);
  EXPECT_EQ(sum, 10);
  EXPECT_EQ(perform_select(closed, "SUM(VAL)", "COUNTERS", &sum, nullptr, kSelectDouble), 1);
  EXPECT_TRUE(log.has("SEL1010", 'e', "SQL-like processing not initialized: quitting"));
}

TEST(ExprContextTest, ALongTermTableIsFreedEntryByEntry) {
  // Each entry owns the next: freeing the head must not recurse once per entry.
  ExprContext cx;
  open_lexer(cx, nullptr);
  for (int i = 0; i < 1000000; ++i) chain_to_perm_term_tb(cx, kTermName, kTypeString);
  TERM_TABLE* table = nullptr;
  close_lexer(cx, &table);
  free_perm_term_tb(cx, table);
  EXPECT_EQ(registered_memory_count(cx), 0u);
}

}  // namespace
}  // namespace qrx
