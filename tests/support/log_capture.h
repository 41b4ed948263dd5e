// Test helper: captures what the message log writes (log stream, standard
// output and standard error as the log sees them) while alive, and restores
// a closed log afterwards.
#pragma once

#include <cstdio>
#include <string>

namespace qrx::testing {

// Content of an open stream from its start, leaving its position at the end.
std::string stream_text(std::FILE* f);

// Content of the file at `path`; empty when it cannot be read.
std::string file_text(const std::string& path);

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string log() const;  // what went to the log stream
  std::string out() const;  // what went to standard output
  std::string err() const;  // what went to standard error (echo, "+ " copies)

  std::FILE* out_stream() const { return out_; }
  std::FILE* err_stream() const { return err_; }

 private:
  std::FILE* out_;
  std::FILE* err_;
  std::FILE* log_;
};

}  // namespace qrx::testing
