#include "ctl/statement_reader.h"

#include "base/log.h"
#include "base/trace.h"

namespace qrx {

StatementReader::StatementReader(std::FILE* file, ReaderOptions options, std::string source)
    : file_(file), options_(options), source_(std::move(source)) {}

StatementReader::StatementReader(std::string_view text, ReaderOptions options, std::string source)
    : text_(text), options_(options), source_(std::move(source)) {}

StatementReader::~StatementReader() { end_location(); }

void StatementReader::set_block(std::string block) {
  block_ = std::move(block);
  publish_location();
}

void StatementReader::end_location() {
  if (!source_.empty()) set_message_location("");
  source_.clear();
}

std::string StatementReader::location() const {
  if (source_.empty() || statement_line_ == 0) return {};
  // The file's own name is enough to find it; the search path is in the log.
  const std::size_t slash = source_.rfind('/');
  std::string where = source_.substr(slash == std::string::npos ? 0 : slash + 1) + ":" +
                      std::to_string(statement_line_);
  if (!block_.empty()) where += ", " + block_;
  return where;
}

void StatementReader::publish_location() const {
  if (source_.empty() || statement_line_ == 0) return;
  set_message_location(location());
}

// Reads one whole line, whatever its length, without its line end. A line is
// never cut into pieces: a piece could start with ";" and read as a comment,
// or a word could be split by the joining blank.
bool StatementReader::read_line(std::string& line) {
  line.clear();
  if (file_) {
    int c;
    bool any = false;
    while ((c = std::fgetc(file_)) != EOF) {
      any = true;
      if (c == '\n') break;
      line.push_back(static_cast<char>(c));
    }
    if (!any) return false;
  } else {
    if (text_pos_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', text_pos_);
    if (end == std::string_view::npos) end = text_.size();
    line.assign(text_.substr(text_pos_, end - text_pos_));
    text_pos_ = end + 1;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  ++line_;
  if (trace_something) {
    std::string shown = line;
    if (options_.mask_echo) options_.mask_echo(shown, mask_pending_);
    PRINT('i', options_.echo_id, "%s\n", shown.c_str());
  }
  return true;
}

namespace {

// Appends `c` unless the statement is full, which marks it too long. A NUL
// would end the text early for every consumer; it reads as a blank.
void append(std::string& statement, char c, bool& too_long) {
  if (too_long) return;
  if (statement.size() >= kStatementMax) {
    too_long = true;
    return;
  }
  statement.push_back(c == '\0' ? ' ' : c);
}

}  // namespace

StatementReader::Status StatementReader::next(std::string& statement) {
  const Status status = read_statement(statement);
  publish_location();
  return status;
}

StatementReader::Status StatementReader::read_statement(std::string& statement) {
  statement.clear();
  statement_line_ = 0;
  later_lines_.clear();
  bool too_long = false;
  std::string line;
  while (read_line(line)) {
    if (line.starts_with(";;") || (options_.single_semicolon_comment && line.starts_with(";")))
      continue;
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t semi = line.find(';', i);
    if (statement_line_ == 0 && i < line.size())
      statement_line_ = line_;
    else if (i < line.size() && i != semi)
      later_lines_.push_back({statement.size(), line_});
    std::size_t stop = semi == std::string::npos ? line.size() : semi;
    for (; i < stop && !too_long; ++i) append(statement, line[i], too_long);
    if (semi == std::string::npos) {
      append(statement, ' ', too_long);
      continue;
    }
    if (too_long) return kTooLong;
    statement.append("    ");
    return kStatement;
  }
  if (too_long) return kTooLong;
  // The file ended inside a statement: it ends there.
  bool blank = statement.find_first_not_of(' ') == std::string::npos;
  if (blank) return kEnd;
  statement.append("    ");
  return kStatement;
}

}  // namespace qrx
