// Fuzz target: every input goes through the statement reader and the word
// scanner, then is parsed as DICT.CTL, PROCESS.CTL, COLLECT.CTL, the
// evaluator file (over the cursors just built) and TRACE.CTL, and is
// compiled and evaluated as an expression over those cursors.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/log.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "ctl/statement_reader.h"
#include "ctl/word_scanner.h"
#include "exec/percent_cursor.h"
#include "expr/context.h"
#include "expr/interpreter.h"
#include "expr/lex_cache.h"
#include "expr/lexer.h"
#include "expr/terms.h"
#include "qrx/curs.h"
#include "qrx/dict.h"
#include "qrx/distributor.h"

namespace {

// The text (to its first zero byte) as an expression: compiled, cached as a
// condition, then evaluated in every process mode over the cursors just
// parsed into `defs` (the later evaluations by its compiled form), and as a
// held condition.
void fuzz_expression(qrx::Definitions& defs, const std::string& text) {
  using namespace qrx;
  ExprContext cx;
  ExprNames names;
  names.find_cursor = [&defs](std::string_view name) -> const curs* {
    return defs.find_cursor(std::string(name));
  };
  set_expr_names(cx, names);
  set_current_cursor(cx, defs.cur_anchor.empty() ? nullptr : defs.cur_anchor.front().get());
  open_lexer(cx, nullptr);
  if (auto rpn = parse_expression(cx, text.c_str())) {
    LexedBlock block;
    block.text = text.c_str();
    block.kind = kLexedCond;
    block.rpn = rpn.get();
    block.term_table = get_lex_term_tb_anchor(cx);
    store_lex_block(cx, block);
    LexedBlock cols;
    cols.text = text.c_str();
    cols.kind = kLexedCols;
    if (find_lex_block(cx, cols) == 1) {
      if (TERM_TABLE* r = interpreter(cx, *cols.rpn)) free_work_chain(cx, r, nullptr, 1);
    }
    for (int mode : {kProcPrepare, kProcExecute, kProcReset, kProcExecute}) {
      set_proc_mode(cx, mode);
      if (TERM_TABLE* r = interpreter(cx, *rpn)) free_work_chain(cx, r, nullptr, 1);
    }
    CompiledExpr held(cx, *rpn);
    for (int i = 0; i < 2; ++i) {
      bool truth = false;
      held.evaluate(&truth);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace qrx;
  // Messages, their echo and the fall-back output all go nowhere; the log
  // never wraps, since wrapping would reopen a log file in the working directory.
  static const bool quiet = [] {
    setenv("COLL_WRAPLINES", "0", 1);
    std::FILE* sink = std::fopen("/dev/null", "w");
    stder = sink;
    set_std_streams(sink, sink);
    return sink != nullptr;
  }();
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  StatementReader reader(text, {});
  std::string statement;
  while (reader.next(statement) != StatementReader::kEnd) {
    WordScanner scanner(statement);
    while (scanner.next() > 0) {
    }
  }
  Definitions defs;
  parse_dict_text(defs, text);
  parse_distributor_text(defs, text);
  parse_curs_text(defs, text);
  parse_eval_text(defs, text);
  parse_trace_text(defs, text);
  fuzz_expression(defs, std::string(text));

  trace_all = trace_something = 0;
  return 0;
}
