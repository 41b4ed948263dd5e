#include "collector_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "log_capture.h"

namespace qrx::testing {

namespace fs = std::filesystem;

CollectorProcess::~CollectorProcess() {
  if (pid_ > 0) end_collector(pid_);
}

int end_collector(pid_t pid) {
  int status = 0;
  kill(pid, SIGTERM);
  for (int i = 0; i < 150; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return status;
}

int run_until_collecting(const fs::path& dir, const std::string& command) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  bool ended = false;
  wait_until([&] {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    return ended || collector_log(dir).find("Start collecting.") != std::string::npos;
  });
  if (ended) return status;
  kill(pid, SIGTERM);
  waitpid(pid, &status, 0);
  return status;
}

std::vector<std::string> sanitizer_environment() {
  std::vector<std::string> out;
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) out.push_back(std::string(name) + "=" + value);
  return out;
}

bool CollectorProcess::start(const fs::path& dir, const std::string& args,
                             const std::string& environment) {
  const std::string d = dir.string();
  std::string sanitizers;
  for (const std::string& entry : sanitizer_environment()) {
    const std::size_t eq = entry.find('=');
    sanitizers += entry.substr(0, eq + 1) + "'" + entry.substr(eq + 1) + "' ";
  }
  const std::string command = "cd '" + d + "' && exec env -i PATH=/usr/bin:/bin HOME='" + d +
                              "' USER=tester COLL_HOME='" + d + "' COLL_CTL_HOME='" + d +
                              "' COLL_OUT='" + d + "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d + "' COLL_SHUTDOWN_WAIT=1 " + sanitizers + environment +
                              " '" QRX_BINARY_DIR "/qrxcoll' " + args + " >/dev/null 2>&1";
  pid_ = fork();
  if (pid_ == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid_ > 0;
}

int CollectorProcess::stop(int signal) {
  if (pid_ <= 0) return end_status_;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

bool CollectorProcess::ended() {
  if (pid_ <= 0) return true;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  end_status_ = status;
  pid_ = -1;
  return true;
}

std::vector<std::string> probe_csv_rows(const fs::path& dir, const std::string& environment,
                                        const std::string& server, const std::string& cursor) {
  const std::string d = dir.string();
  const std::string command = "cd '" + d + "' && env -i PATH=/usr/bin:/bin HOME='" + d +
                              "' USER=tester COLL_HOME='" + d + "' COLL_CTL_HOME='" + d + "' COLL_OUT='" + d +
                              "' COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d + "' " + environment +
                              " '" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server + " -dbtype qrx --csv get " +
                              cursor + " 2>/dev/null";
  std::vector<std::string> rows;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return rows;
  char line[8192];
  for (bool header = true; std::fgets(line, sizeof line, pipe); header = false) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!header) rows.push_back(text);
  }
  pclose(pipe);
  return rows;
}

std::string collector_log(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().string().ends_with("col.out")) return file_text(entry.path());
  return {};
}

bool wait_until(const std::function<bool()>& ready) {
  for (int i = 0; i < 300; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

}  // namespace qrx::testing
