#include "base/shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/child_env.h"
#include "base/log.h"

namespace qrx {

namespace {

constexpr int kMaxLines = 500;
constexpr std::size_t kMaxOutput = 4094;
constexpr int kMaxEmptyLines = 3;

struct FileCloser {
  void operator()(std::FILE* f) const { if (f) std::fclose(f); }
};

// Starts "sh -c command" with its standard output on a pipe and the
// environment children get (no secrets); the pid with `out` set to the
// pipe's read end, or -1 with errno set.
pid_t start_shell(const char* command, int& out) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> env = child_environment();
  std::vector<char*> envp = environment_array(env);
  std::string text = command;
  char sh[] = "sh", dash_c[] = "-c";
  char* argv[] = {sh, dash_c, text.data(), nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    if (dup2(fds[1], STDOUT_FILENO) < 0) _exit(127);
    execve("/bin/sh", argv, envp.data());
    _exit(127);
  }
  const int err = errno;
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    errno = err;
    return -1;
  }
  out = fds[0];
  return pid;
}

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
  int fd = -1;
  pid_t pid = start_shell(command, fd);
  if (pid < 0 && errno == EAGAIN) pid = start_shell(command, fd);
  std::unique_ptr<std::FILE, FileCloser> pipe(pid < 0 ? nullptr : fdopen(fd, "r"));
  if (!pipe) {
    const int err = errno;
    if (pid > 0) {
      ::close(fd);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    PRINT('e', "uti2050", "popen error (%d %s), cmd=%.40s...\n", err, std::strerror(err),
          command);
    return std::nullopt;
  }
  std::string out = join_shell_output(pipe.get());
  pipe.reset();
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return out;
}

}  // namespace qrx
