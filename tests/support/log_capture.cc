#include "log_capture.h"

#include <cctype>
#include <sstream>

#include "runtime/log.h"

namespace qrx::testing {

namespace {
std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
}  // namespace

LogCapture::LogCapture() : saved_(stder), file_(std::tmpfile()) { stder = file_; }

LogCapture::~LogCapture() {
  stder = saved_;
  std::fclose(file_);
}

std::string LogCapture::text() const {
  std::fflush(file_);
  std::string out;
  std::rewind(file_);
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
  std::fseek(file_, 0, SEEK_END);
  return out;
}

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  std::istringstream in(text());
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool LogCapture::has(const std::string& id, char severity, const std::string& message) const {
  const std::string prefix = upper(id) + static_cast<char>(std::toupper(severity)) + " (";
  std::string want = message;
  if (!want.empty() && want.back() == '\n') want.pop_back();
  for (const std::string& line : lines()) {
    if (!line.starts_with(prefix)) continue;
    const std::size_t close = line.find(") ");
    if (close != std::string::npos && line.substr(close + 2) == want) return true;
  }
  return false;
}

int LogCapture::count(const std::string& id) const {
  int n = 0;
  for (const std::string& line : lines())
    if (line.starts_with(upper(id))) ++n;
  return n;
}

}  // namespace qrx::testing
