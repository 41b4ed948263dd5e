// TRACE.CTL: trace words naming the cursors whose trace flags are set.

#include "base/control_files.h"
#include "base/log.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "ctl/parse_common.h"
#include "ctl/statement_reader.h"
#include "ctl/word_scanner.h"
#include "qrx/curs.h"

namespace qrx {

int reset_trace = 0;

namespace {

enum TraceCode { kTrace = 1, kTracem = 2, kTraced = 3, kTraceAll = 4, kShowRow = 5,
                 kShowCursor = 6, kEnd = 7 };

constexpr KeywordSpelling kTraceKeywords[] = {
    {"trace", kTrace},       {"tracem", kTracem},     {"traced", kTraced},
    {"traceall", kTraceAll}, {"trace_all", kTraceAll}, {"show_row", kShowRow},
    {"show_cursor", kShowCursor}, {"end", kEnd},
};

constexpr std::size_t kTraceNameMax = 9;

// Per keyword: the flag it sets and its two messages.
struct TraceTarget {
  int code;
  uint16_t curs::*flag;
  const char* long_id;
  const char* long_text;
  const char* missing_id;
  const char* missing_text;
};

constexpr TraceTarget kTargets[] = {
    {kTrace, &curs::trace, "ptc4645", "Trace cursor name too long : %s\n", "ptc4655",
     "Cursor to trace (%s) not found\n"},
    {kTracem, &curs::tracem, "ptc4670", "Tracem cursor name too long : %s\n", "ptc4680",
     "Cursor on which to trace math (%s) not found\n"},
    {kTraced, &curs::traced, "ptc4685", "Traced cursor name too long : %s\n", "ptc4695",
     "Cursor on which to trace decodes (%s) not found\n"},
    {kShowRow, &curs::show_row, "ptc4700", "Show_row cursor name too long : %s\n", "ptc4705",
     "Cursor on which to show_row (%s) not found\n"},
    {kShowCursor, &curs::show_cursor, "ptc4710", "Show_cursor cursor name too long : %s\n",
     "ptc4715", "Cursor on which to show_cursor (%s) not found\n"},
};

constexpr ParseBanner kTraceBanner = {
    {"ptc4615", "ptc4620", "ptc4625"}, "-- Starting parse of TRACE.CTL --- Time = %s\n",
    {"ptc4725", "ptc4740", "ptc4735"}, "--  Trace Control Parsing ended at %s\n"};

constexpr ReaderOptions kTraceReader = {"ptc4630", /*single_semicolon_comment=*/false};

// Sets the flag of `target` on each cursor named in the rest of the
// statement; false after an error.
bool trace_names(cursor_set& cursors, WordScanner& scanner, const TraceTarget& target) {
  bool ok = true;
  for (;;) {
    const int consumed = scanner.next();
    if (consumed == 0) return ok;
    if (consumed < 0) {
      PRINT('e', "ptc4635", "Parsing failed : %s\n", scanner.message.c_str());
      return false;
    }
    if (scanner.parse_word.flags & kWordComma) continue;
    const std::string name = scanner.parse_word.str();
    if (name.size() > kTraceNameMax) {
      PRINT('e', target.long_id, target.long_text, name.c_str());
      return false;
    }
    curs* c = cursors.find_cursor(name);
    if (!c) {
      PRINT('e', target.missing_id, target.missing_text, name.c_str());
      ok = false;
      continue;
    }
    c->*target.flag = 1;
    trace_something = 1;
  }
}

int parse_trace_from(cursor_set& cursors, StatementReader& reader) {
  write_start_banner(kTraceBanner);
  bool errors = false;
  std::string statement;
  WordScanner scanner(statement);
  for (;;) {
    const StatementReader::Status status = reader.next(statement);
    if (status == StatementReader::kEnd) break;
    if (status == StatementReader::kTooLong) {
      PRINT('e', "ptc4636", "Statement ending on line %d exceeds %zu characters\n", reader.line(),
            kStatementMax);
      errors = true;
      continue;
    }
    scanner.reset();
    const int consumed = scanner.next();
    if (consumed == 0) continue;
    if (consumed < 0) {
      PRINT('e', "ptc4635", "Parsing failed : %s\n", scanner.message.c_str());
      errors = true;
      break;
    }
    const std::string word = scanner.parse_word.str();
    const int code = test_trace_word(word.data(), static_cast<int>(word.size()));
    if (code == 0) {
      PRINT('e', "ptc4640", "Unknown keyword (%s)\n", word.c_str());
      errors = true;
      break;
    }
    if (code == kEnd) break;
    if (code == kTraceAll) {
      for (auto& c : cursors.cur_anchor) c->trace = c->show_cursor = c->show_row = 1;
      trace_all = 1;
      trace_something = 1;
      continue;
    }
    for (const TraceTarget& target : kTargets)
      if (target.code == code && !trace_names(cursors, scanner, target)) errors = true;
  }
  reader.end_location();
  write_end_banner(kTraceBanner);
  if (errors) PRINT('e', "ptc4755", "Trace Parsing ended with errors\n");
  else PRINT('i', "ptc4760", "Trace Parsing ended ok\n");
  return errors ? 1 : 0;
}

}  // namespace

int test_trace_word(const char* word, int length) {
  if (length <= 0) return 0;
  return lookup_two_spellings(std::string_view(word, static_cast<std::size_t>(length)),
                              kTraceKeywords, std::size(kTraceKeywords));
}

int parse_trace(cursor_set& cursors) {
  std::string path;
  FilePtr file = u_openInputFile("trac", &path);
  if (!file) return 0;
  StatementReader reader(file.get(), kTraceReader, path);
  return parse_trace_from(cursors, reader);
}

int parse_trace_text(cursor_set& cursors, std::string_view text) {
  StatementReader reader(text, kTraceReader);
  return parse_trace_from(cursors, reader);
}

void reset_tracing(cursor_set& cursors) {
  for (auto& c : cursors.cur_anchor) c->trace = c->traced = c->tracem = 0;
  trace_all = 0;
  trace_something = 0;
  parse_trace(cursors);
  reset_trace = 0;
}

std::vector<std::string> trace_keywords() {
  std::vector<std::string> words;
  for (const KeywordSpelling& k : kTraceKeywords) words.emplace_back(k.word);
  return words;
}

}  // namespace qrx
