#include "base/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/log.h"

namespace qrx {

namespace {

constexpr int kMaxLines = 500;
constexpr std::size_t kMaxOutput = 4094;
constexpr int kMaxEmptyLines = 3;

struct PipeCloser {
  void operator()(std::FILE* f) const { if (f) pclose(f); }
};

}  // namespace

std::string join_shell_output(std::FILE* in) {
  std::string out;
  std::string line;
  int lines = 0;
  int empty = 0;
  bool at_end = false;
  while (!at_end && lines < kMaxLines && out.size() < kMaxOutput) {
    line.clear();
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
    if (c == EOF) {
      at_end = true;
      if (line.empty()) break;
    }
    ++lines;
    const std::size_t keep = line.find_last_not_of(" \t\r\n\v\f");
    line.resize(keep == std::string::npos ? 0 : keep + 1);
    if (line.empty()) {
      if (++empty >= kMaxEmptyLines) break;
      continue;
    }
    if (!out.empty()) out.push_back(' ');
    out += line;
  }
  if (out.size() > kMaxOutput) out.resize(kMaxOutput);
  return out;
}

std::optional<std::string> u_shell(const char* command) {
  if (!command) return std::nullopt;
  std::fflush(nullptr);  // the child must not repeat our buffered output
  errno = 0;
  std::unique_ptr<std::FILE, PipeCloser> pipe(popen(command, "r"));
  if (!pipe && errno == 0) pipe.reset(popen(command, "r"));
  if (!pipe) {
    const int err = errno;
    PRINT('e', "uti2050", "popen error (%d %s), cmd=%.40s...\n", err, std::strerror(err),
          command);
    return std::nullopt;
  }
  return join_shell_output(pipe.get());
}

}  // namespace qrx
