// Fuzz target: every input goes through the statement reader and the word
// scanner, then is parsed as DICT.CTL, PROCESS.CTL, COLLECT.CTL, the
// evaluator file (over the cursors just built) and TRACE.CTL.

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
#include "qrx/curs.h"
#include "qrx/dict.h"
#include "qrx/distributor.h"

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
  parse_dict_text(text);
  parse_distributor_text(text);
  parse_curs_text(text);
  parse_eval_text(text);
  parse_trace_text(text);

  del_curs();
  del_distributor();
  sleep_time = 10;
  machine_id_from_control = false;
  dict_anchor.clear();
  trace_all = trace_something = 0;
  return 0;
}
