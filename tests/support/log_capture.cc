#include "log_capture.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "runtime/log.h"

namespace qrx::testing {

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

TempDir::TempDir() {
  char path[] = "/tmp/qrx_test_XXXXXX";
  path_ = mkdtemp(path);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace qrx::testing
