#include "log_capture.h"

#include <stdlib.h>
#include <cctype>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "base/log.h"

namespace qrx::testing {

namespace {
std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
}  // namespace

std::string stream_text(std::FILE* f) {
  if (!f) return {};
  std::fflush(f);
  std::rewind(f);
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  std::fseek(f, 0, SEEK_END);
  return text;
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string collector_log(const std::string& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.path().string().ends_with("col.out")) return file_text(entry.path());
  return {};
}

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The message lines of `text` whose severity is an error or worse.
std::vector<std::string> error_lines(const std::string& text) {
  static const std::regex kFault("^[A-Za-z0-9]+[ES] \\([0-9]{6}\\) .*");
  std::vector<std::string> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (std::regex_match(line, kFault)) out.push_back(line);
  return out;
}

LogCapture::LogCapture(bool with_log) : out_(std::tmpfile()), err_(std::tmpfile()) {
  close_PRINT();
  set_std_streams(out_, err_);
  if (with_log) {
    char path[] = "/tmp/qrx_log_XXXXXX";
    const int fd = mkstemp(path);
    log_path_ = path;
    log_ = fdopen(fd, "w");
    stder = log_;
  }
}

LogCapture::~LogCapture() {
  close_PRINT();  // closes log_ when it is still the log
  set_std_streams(nullptr, nullptr);
  if (!log_path_.empty()) ::unlink(log_path_.c_str());
  std::fclose(out_);
  std::fclose(err_);
}

std::string LogCapture::log() const {
  if (log_ && stder == log_) std::fflush(log_);
  return log_on_disk();
}

std::string LogCapture::log_on_disk() const { return file_text(log_path_); }
std::string LogCapture::out() const { return stream_text(out_); }
std::string LogCapture::err() const { return stream_text(err_); }

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  std::istringstream in(log());
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

TempDir::TempDir() {
  char path[] = "/tmp/qrx_test_XXXXXX";
  path_ = mkdtemp(path);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace qrx::testing
