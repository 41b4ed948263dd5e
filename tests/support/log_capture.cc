#include "log_capture.h"

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

LogCapture::LogCapture() : out_(std::tmpfile()), err_(std::tmpfile()), log_(std::tmpfile()) {
  close_PRINT();
  set_std_streams(out_, err_);
  stder = log_;
}

LogCapture::~LogCapture() {
  if (stder == log_) stder = nullptr;
  close_PRINT();
  set_std_streams(nullptr, nullptr);
  std::fclose(log_);
  std::fclose(out_);
  std::fclose(err_);
}

std::string LogCapture::log() const { return stream_text(log_); }
std::string LogCapture::out() const { return stream_text(out_); }
std::string LogCapture::err() const { return stream_text(err_); }

}  // namespace qrx::testing
