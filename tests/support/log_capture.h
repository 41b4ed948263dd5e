// Test helpers: capture what the message log writes (log stream, standard
// output and standard error as the log sees them) while alive, a temporary
// directory, and a clock fixed at one instant. Each restores what it changed.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "base/clock.h"

namespace qrx::testing {

// Content of an open stream from its start, leaving its position at the end.
std::string stream_text(std::FILE* f);

// Content of the file at `path`; empty when it cannot be read.
std::string file_text(const std::string& path);

// The message log ("...col.out") a collector run wrote into `dir`; empty when none.
std::string collector_log(const std::string& dir);

// How often `what` occurs in `text`.
int occurrences(const std::string& text, const std::string& what);

// The message lines of `text` whose severity is an error or worse.
std::vector<std::string> error_lines(const std::string& text);

class LogCapture {
 public:
  // with_log: install a fresh log file as `stder`; otherwise no log is open.
  explicit LogCapture(bool with_log = true);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string log() const;          // what went to the log (flushed first)
  std::string log_on_disk() const;  // what the log has flushed so far
  std::string out() const;          // what went to standard output
  std::string err() const;          // what went to standard error (echo, "+ " copies)

  // Everything logged so far (same as log()).
  std::string text() const { return log(); }
  // Every logged line, without its line end.
  std::vector<std::string> lines() const;
  // True when a message with identifier `id` and severity letter `severity`
  // (as shown) has exactly `message` as its text (line end excluded).
  bool has(const std::string& id, char severity, const std::string& message) const;
  // Number of messages with the identifier `id`.
  int count(const std::string& id) const;

  std::FILE* out_stream() const { return out_; }
  std::FILE* err_stream() const { return err_; }

 private:
  std::FILE* out_;
  std::FILE* err_;
  std::FILE* log_ = nullptr;  // owned by the log module while installed
  std::string log_path_;
};

// A directory removed with its content at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Installs a clock standing at `when` until the end of the scope.
class FixedClock : public Clock {
 public:
  explicit FixedClock(std::time_t when) : when_(when) { set_clock(this); }
  ~FixedClock() override { set_clock(nullptr); }
  std::time_t now() override { return when_; }
  void sleep_seconds(unsigned seconds) override { when_ += seconds; }

 private:
  std::time_t when_;
};

}  // namespace qrx::testing
