#include "expr/lex_cache.h"

#include <gtest/gtest.h>

#include <string>

#include "expr/context.h"
#include "expr/memory_chain.h"
#include "expr/terms.h"

namespace qrx {
namespace {

// A block in a chain of blocks linked through `link`, counting releases.
struct Block {
  int payload = 0;
  Block* link = nullptr;
};
int released_blocks = 0;
void release_block(void* b) {
  EXPECT_EQ(static_cast<Block*>(b)->link, nullptr) << "next pointer cleared before freeing";
  ++released_blocks;
  delete static_cast<Block*>(b);
}

TEST(MemoryChainTest, RegisteringTheSameChunkTwiceAnswers2AndLeavesTheChainUnchanged) {
  ExprContext cx;
  Block* one = new Block;
  EXPECT_EQ(register_memory(cx, one, kSingleBlock, release_block), 0);
  EXPECT_EQ(register_memory(cx, one, kSingleBlock, release_block), 2);
  EXPECT_EQ(registered_memory_count(cx), 1u);
  EXPECT_EQ(register_memory(cx, nullptr, kSingleBlock, release_block), 1);
  released_blocks = 0;
  free_loose_memory(cx);
  EXPECT_EQ(released_blocks, 1);
  EXPECT_EQ(registered_memory_count(cx), 0u);
}

TEST(MemoryChainTest, AChainOfBlocksIsFreedBlockByBlock) {
  ExprContext cx;
  Block* head = new Block{1, new Block{2, new Block{3, nullptr}}};
  ASSERT_EQ(register_memory(cx, head, offsetof(Block, link), release_block), 0);
  released_blocks = 0;
  free_loose_memory(cx);
  EXPECT_EQ(released_blocks, 3);
}

TEST(MemoryChainTest, ATermTableIsRegisteredOnceAndForgottenWhenItsOwnerFreesIt) {
  ExprContext cx;
  open_lexer(cx, nullptr);
  TERM_TABLE* first = chain_to_perm_term_tb(cx, kTermName, kTypeString);
  TERM_TABLE* second = chain_to_perm_term_tb(cx, kTermName, kTypeString);
  EXPECT_EQ(first->next.get(), second);
  EXPECT_EQ(registered_memory_count(cx), 1u);
  TERM_TABLE* table = nullptr;
  close_lexer(cx, &table);
  EXPECT_EQ(table, first);
  EXPECT_EQ(get_lex_term_tb_anchor(cx), nullptr);
  free_perm_term_tb(cx, table);
  EXPECT_EQ(registered_memory_count(cx), 0u);
  // A table still registered at the end is freed with the chains (ASan checks).
  open_lexer(cx, nullptr);
  chain_to_perm_term_tb(cx, kTermString, kTypeString);
  close_lexer(cx, nullptr);
  EXPECT_EQ(registered_memory_count(cx), 1u);
  free_loose_memory(cx);
}

// Compiled lists built by hand over one term table: "a + b".
class LexCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    open_lexer(cx, nullptr);
    a = chain_to_perm_term_tb(cx, kTermName, kTypeUndefined);
    b = chain_to_perm_term_tb(cx, kTermName, kTypeUndefined);
    close_lexer(cx, &table);
    plus = &OperationTable[12];
    list = {a, b, plus, nullptr};
  }
  LexedBlock block(const char* text, const char* cursor, int kind) {
    LexedBlock bl;
    bl.text = text;
    bl.curs_name = cursor;
    bl.kind = kind;
    return bl;
  }
  LexedBlock stored(const char* text, const char* cursor, int kind) {
    LexedBlock bl = block(text, cursor, kind);
    bl.rpn = &list;
    bl.term_table = table;
    EXPECT_EQ(store_lex_block(cx, bl), 0);
    return bl;
  }

  ExprContext cx;
  TERM_TABLE* table = nullptr;
  TERM_TABLE *a = nullptr, *b = nullptr;
  const Operation* plus = nullptr;
  LexList list;
};

TEST_F(LexCacheTest, SameTextCursorAndKindReturnTheSameCompiledList) {
  LexedBlock first = stored("a + b", "CUR1", kLexedCond);
  EXPECT_NE(first.rpn, &list) << "the cache keeps its own copy";
  EXPECT_EQ(first.rpn_len, 3u);
  ASSERT_NE(first.replica, nullptr);
  EXPECT_EQ(*first.replica, list);
  LexedBlock again = block("a + b", "CUR1", kLexedCond);
  ASSERT_EQ(find_lex_block(cx, again), 1);
  EXPECT_EQ(again.rpn, first.rpn);
  EXPECT_EQ(again.replica, first.replica);
  EXPECT_EQ(again.term_table, table);
  EXPECT_EQ(lex_cache_size(cx), 1u);
}

TEST_F(LexCacheTest, TheSameWhereTextForTwoCursorsGivesOneEntryPerCursor) {
  stored("a + b", "CUR1", kLexedCond);
  LexedBlock other = block("a + b", "CUR2", kLexedCond);
  EXPECT_EQ(find_lex_block(cx, other), 0) << "terms bound for CUR1 must not serve CUR2";
  stored("a + b", "CUR2", kLexedCond);
  EXPECT_EQ(lex_cache_size(cx), 2u);
  LexedBlock one = block("a + b", "CUR1", kLexedCond), two = block("a + b", "CUR2", kLexedCond);
  ASSERT_EQ(find_lex_block(cx, one), 1);
  ASSERT_EQ(find_lex_block(cx, two), 1);
  EXPECT_NE(one.rpn, two.rpn);
  EXPECT_EQ(one.curs_name, "CUR1");
  EXPECT_EQ(two.curs_name, "CUR2");
}

TEST_F(LexCacheTest, ASelectListIsLexedForItselfAndAConditionDerivedFromItDropsItsRowFunction) {
  // A select list's ROW takes its last argument, the row-function argument,
  // as the carrier of its values: a plain list has none to give it.
  LexedBlock plain = stored("a + b", "", kLexedExpr);
  LexedBlock wanted = block("a + b,rfa", "", kLexedCols);
  EXPECT_EQ(find_lex_block(cx, wanted), 0);
  EXPECT_EQ(lex_cache_size(cx), 1u);

  open_lexer(cx, table);
  TERM_TABLE* rfa = chain_to_perm_term_tb(cx, kTermName, kTypeUndefined);
  rfa->set_text("rfa", 3);
  close_lexer(cx, &table);
  const LexList select_list = {a, b, plus, rfa, row_function_oper(), nullptr};
  LexedBlock cols = block("a + b,rfa", "CUR1", kLexedCols);
  cols.rpn = &select_list;
  cols.term_table = table;
  ASSERT_EQ(store_lex_block(cx, cols), 0);
  EXPECT_EQ(std::string(cols.text, cols.text_len), "a + b,rfa");
  EXPECT_EQ(*cols.rpn, select_list);
  EXPECT_EQ(cols.rpn_len, 5u);
  EXPECT_EQ(*cols.replica, select_list);

  // A condition of the same text loses ROW and its argument.
  LexedBlock cond = block("a + b", "CUR1", kLexedCond);
  ASSERT_EQ(find_lex_block(cx, cond), 1);
  EXPECT_EQ(*cond.rpn, list);
  EXPECT_EQ(*plain.rpn, list) << "the plain list is left as it was";
}

TEST_F(LexCacheTest, KindsThatDoNotChangeTheListShareIt) {
  LexedBlock curs = stored("a + b", "CUR1", kLexedCurs);
  LexedBlock select = block("a + b", "CUR1", kLexedSelect);
  ASSERT_EQ(find_lex_block(cx, select), 1);
  EXPECT_EQ(select.rpn, curs.rpn);
  EXPECT_NE(select.replica, nullptr);
  EXPECT_EQ(curs.replica, nullptr);
}

TEST_F(LexCacheTest, TextAfterTheEndSignIsNotPartOfTheKey) {
  LexedBlock first = stored("a + b; ignored", "", kLexedExpr);
  EXPECT_EQ(std::string(first.text, first.text_len), "a + b;");
  LexedBlock other = block("a + b;something else", "", kLexedExpr);
  ASSERT_EQ(find_lex_block(cx, other), 1);
  EXPECT_EQ(other.rpn, first.rpn);
  LexedBlock without = block("a + b", "", kLexedExpr);
  EXPECT_EQ(find_lex_block(cx, without), 0);
}

TEST_F(LexCacheTest, CheckLexBlAcceptsOnlyACompleteBlockForTheSameKey) {
  LexedBlock bl = stored("a + b", "CUR1", kLexedCond);
  EXPECT_EQ(check_lex_bl("a + b", "CUR1", kLexedCond, bl), 1);
  EXPECT_EQ(check_lex_bl("a + b", "CUR2", kLexedCond, bl), 0);
  EXPECT_EQ(bl.rpn, nullptr) << "a stale block is cleared";
  LexedBlock plain = stored("a - b", "", kLexedExpr);
  EXPECT_EQ(check_lex_bl("a - b", "", kLexedExpr, plain), 1) << "plain kinds have no replica";
  EXPECT_EQ(check_lex_bl("a - c", "", kLexedExpr, plain), 0);
}

TEST_F(LexCacheTest, StoreRefusesAnUnknownKindOrAnUnendedList) {
  LexedBlock bad = block("a + b", "", 9);
  bad.rpn = &list;
  EXPECT_EQ(store_lex_block(cx, bad), 1);
  LexList unended = {a, b, plus};
  LexedBlock open = block("a + b", "", kLexedExpr);
  open.rpn = &unended;
  EXPECT_EQ(store_lex_block(cx, open), 1);
  EXPECT_EQ(lex_cache_size(cx), 0u);
}

}  // namespace
}  // namespace qrx
