// The evaluator file: evaluations of one column of a cursor against a value,
// hung on their cursors.

#include <cstdlib>
#include <optional>

#include "base/control_files.h"
#include "base/log.h"
#include "ctl/control_parse.h"
#include "ctl/parse_common.h"
#include "ctl/statement_reader.h"
#include "ctl/word_scanner.h"
#include "qrx/curs.h"
#include "qrx/evaluation.h"

namespace qrx {
namespace {

enum EvalCode { kEval = 1, kValue = 2, kCursor = 3, kColumn = 4, kOperator = 5, kName = 6, kEnd = 7 };

constexpr KeywordSpelling eval_key_word[] = {
    {"eval", kEval},         {"value", kValue}, {"cursor", kCursor}, {"column", kColumn},
    {"operator", kOperator}, {"name", kName},   {"end", kEnd},
};

// Column-function prefixes of a column word and their codes.
constexpr struct {
  std::string_view prefix;  // lower case, with its "!"
  ColumnFunction function;
} kPrefixes[] = {
    {"avg!", kFnAvg}, {"sum!", kFnSum},     {"min!", kFnMin}, {"max!", kFnMax},     {"wavg!", kFnWavg},
    {"trend!", kFnTrend}, {"hw!", kFnHighWater}, {"lw!", kFnLowWater}, {"count!", kFnCount},
};

constexpr std::size_t kEvalNameMax = 35;
constexpr std::size_t kColumnMax = 32;

constexpr ReaderOptions kEvalReader = {"pev1250"};

class EvalParser {
 public:
  EvalParser(cursor_set& cursors, StatementReader& reader)
      : cursors_(cursors), reader_(reader), scanner_(statement_) {}

  int run();

 private:
  bool statement();
  bool open_record();
  bool close_record();
  bool clause(int code);
  bool column_value(const ParseWord& w);
  bool operator_value(const ParseWord& w);
  void value_value(const ParseWord& w);

  cursor_set& cursors_;  // each evaluation hangs on its cursor here
  StatementReader& reader_;
  std::string statement_;
  WordScanner scanner_;
  std::optional<e_ptr> cur_;
  bool has_operator_ = false;
  bool has_value_ = false;
  int ordinal_ = 0;
  bool errors_ = false;
  bool ended_ = false;
};

int EvalParser::run() {
  bool stop = false;
  while (!stop && !ended_) {
    const StatementReader::Status status = reader_.next(statement_);
    if (status == StatementReader::kEnd) break;
    if (status == StatementReader::kTooLong) {
      PRINT('e', "pev1251", "Statement ending on line %d exceeds %zu characters\n", reader_.line(),
            kStatementMax);
      stop = true;
      break;
    }
    stop = !statement();
  }
  if (!stop && cur_) stop = !close_record();
  reader_.end_location();
  return stop || errors_ ? 1 : 0;
}

// Handles one statement; false when the parse must stop.
bool EvalParser::statement() {
  scanner_.reset();
  const int consumed = scanner_.next();
  if (consumed == 0) return true;
  if (consumed < 0) {
    PRINT('e', "pev1255", "Parsing failed : %s\n", scanner_.message.c_str());
    return false;
  }
  const std::string word = scanner_.parse_word.str();
  const int code = lookup_two_spellings(word, eval_key_word, std::size(eval_key_word));
  if (!cur_ && ordinal_ == 0 && code != kEval) {
    PRINT('e', code == 0 ? "pev1265" : "pev1270", "First word must be 'eval'\n");
    return false;
  }
  if (code == 0) {
    PRINT('e', "pev1260", "Unknown keyword (%s)\n", word.c_str());
    errors_ = true;
    return true;
  }
  if (code == kEval || code == kEnd) {
    if (cur_ && !close_record()) return false;
    if (code == kEnd) {
      ended_ = true;
      return true;
    }
    return open_record();
  }
  if (!cur_) {  // a clause after a block failed to open cannot happen; after "end" the parse stops
    errors_ = true;
    return true;
  }
  if (!clause(code)) errors_ = true;
  if (scanner_.failed) return false;
  if (scanner_.parens != 0) {
    PRINT('e', "pev1375", "Parentheses do not balance\n");
    return false;
  }
  return true;
}

bool EvalParser::open_record() {
  cur_.emplace();
  has_operator_ = has_value_ = false;
  const int consumed = scanner_.next();
  if (consumed < 0) {
    PRINT('e', "pev1305", "Parsing failed : %s\n", scanner_.message.c_str());
    return false;
  }
  if (consumed == 0) return true;  // the name may come in a name clause
  if (scanner_.parse_word.len > kEvalNameMax) {
    PRINT('e', "pev1300", "Evaluation name is exceeeds 8 characters\n");
    return false;
  }
  cur_->name = scanner_.parse_word.str();
  return true;
}

// Applies the clause's first value word (parentheses aside) and scans the
// rest of the statement; false after an error.
bool EvalParser::clause(int code) {
  std::optional<ParseWord> first;
  for (;;) {
    const int consumed = scanner_.next();
    if (consumed < 0) {
      PRINT('e', "pev1305", "Parsing failed : %s\n", scanner_.message.c_str());
      return false;
    }
    if (consumed == 0) break;
    if (!first && !(scanner_.parse_word.flags & kWordParen)) first = scanner_.parse_word;
  }
  if (!first) return true;  // reported when the record closes
  const ParseWord w = *first;
  e_ptr& e = *cur_;
  switch (code) {
    case kName:
      if (!e.name.empty()) {
        PRINT('e', "pev1310", "Duplicate evaluation name\n");
        return false;
      }
      if (w.len > kEvalNameMax) {
        PRINT('e', "pev1315", "Excessive length on evaluation name\n");
        return false;
      }
      e.name = w.str();
      return true;
    case kCursor:
      if (!e.cursor.empty()) {
        PRINT('e', "pev1355", "Duplicate Cursor Name\n");
        return false;
      }
      if (w.len > kCursNameMax) {
        PRINT('e', "pev1360", "Excessive length on Cursor Name\n");
        return false;
      }
      e.cursor = w.str();
      return true;
    case kColumn:
      return column_value(w);
    case kOperator:
      return operator_value(w);
    default:  // kValue
      value_value(w);
      return true;
  }
}

bool EvalParser::column_value(const ParseWord& w) {
  e_ptr& e = *cur_;
  if (!e.column.empty()) {
    PRINT('e', "pev1365", "Duplicate Column Name %s\n", w.str().c_str());
    return false;
  }
  std::string_view name = w.text;
  for (const auto& p : kPrefixes) {
    if (name.size() >= p.prefix.size() && is_two_spelling(name.substr(0, p.prefix.size()), p.prefix)) {
      e.function = p.function;
      name.remove_prefix(p.prefix.size());
      break;
    }
  }
  if (name.size() > kColumnMax) {
    e.function = kFnNone;
    PRINT('e', "pev1370", "Column Name too long\n");
    return false;
  }
  e.column.assign(name);
  return true;
}

bool EvalParser::operator_value(const ParseWord& w) {
  e_ptr& e = *cur_;
  auto flag = [&e](char c) -> int32_t* {
    return c == '<' ? &e.less : c == '=' ? &e.equal : c == '>' ? &e.greater : nullptr;
  };
  if (w.len == 1) {
    int32_t* f = flag(w.text[0]);
    if (!f) {
      PRINT('e', "pev1320", "Invalid operator\n");
      return false;
    }
    *f = 1;
  } else if (w.len == 2) {
    int32_t* first = flag(w.text[0]);
    int32_t* second = flag(w.text[1]);
    if (!first) {
      PRINT('e', "pev1325", "Invalid operator\n");
      return false;
    }
    if (!second) {
      PRINT('e', "pev1330", "Invalid operator\n");
      return false;
    }
    *first = *second = 1;
  } else {
    PRINT('e', "pev1335", "Invalid operator\n");
    return false;
  }
  has_operator_ = true;
  return true;
}

void EvalParser::value_value(const ParseWord& w) {
  e_ptr& e = *cur_;
  std::string_view text = w.text;
  if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front())
    text = text.substr(1, text.size() - 2);
  e.value.assign(text);
  if (w.number_flags & kNumNumber) {
    e.value_type = 1;
    e.number = std::strtod(e.value.c_str(), nullptr);
  } else {
    e.value_type = 2;
  }
  has_value_ = true;
}

// Checks the record being built and hangs it on its cursor; false when the
// parse must stop.
bool EvalParser::close_record() {
  e_ptr e = std::move(*cur_);
  cur_.reset();
  if (e.name.empty()) {
    PRINT('e', "pev1275", "No Evaluation name\n");
    return false;
  }
  if (e.cursor.empty()) {
    PRINT('e', "pev1280", "No Cursor name\n");
    return false;
  }
  if (!has_operator_) {
    PRINT('e', "pev1285", "No Operator\n");
    return false;
  }
  if (!has_value_) {
    PRINT('e', "pev1290", "No Value specified\n");
    return false;
  }
  if (e.column.empty()) {
    PRINT('e', "pev1295", "No Column name\n");
    return false;
  }
  e.ordinal = ++ordinal_;
  curs* c = cursors_.find_cursor(e.cursor);
  if (!c) {
    PRINT('e', "pev1230", "Cursor named %s not found\n", e.cursor.c_str());
    errors_ = true;
    return true;
  }
  c->evaluations.push_front(std::move(e));
  return true;
}

int parse_eval_from(cursor_set& cursors, StatementReader& reader) {
  for (auto& c : cursors.cur_anchor) c->evaluations.clear();
  EvalParser parser(cursors, reader);
  return parser.run();
}

}  // namespace

int parse_eval(cursor_set& cursors) {
  if (!stder) init_PRINT();
  std::string path;
  FilePtr file = u_openInputFile("eval", &path);
  if (!file) return 1;
  StatementReader reader(file.get(), kEvalReader, path);
  return parse_eval_from(cursors, reader);
}

int parse_eval_text(cursor_set& cursors, std::string_view text) {
  StatementReader reader(text, kEvalReader);
  return parse_eval_from(cursors, reader);
}

int init_eval(cursor_set& cursors) { return parse_eval(cursors) != 0 ? kParseFailureCode : 0; }

std::vector<std::string> eval_keywords() {
  std::vector<std::string> words;
  for (const KeywordSpelling& k : eval_key_word) words.emplace_back(k.word);
  return words;
}

}  // namespace qrx
