// Test helper: captures the message log for the lifetime of the object and
// finds messages by identifier, severity and text.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace qrx::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far.
  std::string text() const;
  // The texts (after the prefix, without the line end) of every message.
  std::vector<std::string> lines() const;
  // True when a message with identifier `id` and severity letter `severity`
  // (as shown) has exactly `message` as its text (line end excluded).
  bool has(const std::string& id, char severity, const std::string& message) const;
  // Number of messages with the identifier `id`.
  int count(const std::string& id) const;

 private:
  std::FILE* saved_;
  std::FILE* file_;
};

}  // namespace qrx::testing
