// Reading control-file lines and assembling them into statements. The reader
// borrows the stream or text it reads; the statement it returns is a copy
// owned by the caller.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qrx {

// Room of the statement buffer, including the four closing blanks and the NUL.
constexpr std::size_t kStatementBufferSize = 16000;
// Longest statement text that fits the buffer.
constexpr std::size_t kStatementMax = kStatementBufferSize - 5;

struct ReaderOptions {
  const char* echo_id = "";           // identifier of the raw-line echo
  bool single_semicolon_comment = true;  // a line starting with ";" is a comment (else only ";;")
  // Hides secrets in the copy of a line that the echo shows; `pending` carries
  // a secret whose keyword ended the previous line.
  void (*mask_echo)(std::string& line, bool& pending) = nullptr;
};

class StatementReader {
 public:
  enum Status { kStatement, kEnd, kTooLong };

  // Reads `file` (not owned, may be null: no statements), whose path
  // `source` names it in the location of fault messages (none when empty).
  StatementReader(std::FILE* file, ReaderOptions options, std::string source = {});
  // Reads `text` (not owned; must outlive the reader).
  StatementReader(std::string_view text, ReaderOptions options, std::string source = {});
  // Ends the location of fault messages.
  ~StatementReader();
  StatementReader(const StatementReader&) = delete;
  StatementReader& operator=(const StatementReader&) = delete;

  // The next statement, with four blanks appended, into `statement`. kTooLong
  // when it exceeds kStatementMax: the rest of it is skipped and `statement`
  // holds its beginning.
  Status next(std::string& statement);

  // Number of the line on which the last statement ended (from 1).
  int line() const { return line_; }

  // A line of the last statement after its first: where its text begins in
  // the statement, and its number.
  struct LaterLine {
    std::size_t offset;
    int line;
  };
  // The lines after the first that gave the last statement text, in order.
  const std::vector<LaterLine>& later_lines() const { return later_lines_; }

  // Number of the line on which the last statement began (0: none).
  int first_line() const { return statement_line_; }

  // Names the block the statements belong to ("cursor TBLSIZE"; empty: none)
  // in the location of fault messages.
  void set_block(std::string block);

  // Fault messages from here on carry no location (the file's summary).
  void end_location();

  // The location fault messages show for the last statement ("file:line,
  // block"), empty when there is none.
  std::string location() const;

 private:
  bool read_line(std::string& line);
  Status read_statement(std::string& statement);
  void publish_location() const;

  std::FILE* file_ = nullptr;
  std::string_view text_;
  std::size_t text_pos_ = 0;
  ReaderOptions options_;
  int line_ = 0;
  int statement_line_ = 0;  // line on which the last statement began
  std::vector<LaterLine> later_lines_;
  std::string source_;
  std::string block_;
  bool mask_pending_ = false;
};

}  // namespace qrx
