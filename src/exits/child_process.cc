#include "exits/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

#include "base/child_env.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/trace.h"

namespace qrx {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxWords = 500;
constexpr int kExecShellLines = 10000;      // lines u_exec reads at most
constexpr auto kTermGrace = std::chrono::seconds(2);  // SIGTERM to SIGKILL
constexpr std::size_t kShortParms = 600;

// A file descriptor closed when it goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A pipe whose two ends are closed on exec; false after logging.
bool make_pipe(Fd& read_end, Fd& write_end, const char* cmd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    const int err = errno;
    PRINT('e', "uex6200", "Pipe open failure. errno=%d %s, cmd=%.100s\n", err, std::strerror(err),
          cmd);
    return false;
  }
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  if (trace_level(6) > 0) PRINT('t', "uex6210", "Created pipes %d, %d.\n", fds[0], fds[1]);
  return true;
}

// Directory for the temporary files of children.
std::string temp_directory() {
  if (!env_vars.localtmpdir.empty()) return env_vars.localtmpdir;
  if (!env_vars.tmpdir.empty()) return env_vars.tmpdir;
  return "/tmp";
}

// A new private temporary file named from `stem`; the descriptor (close on
// exec) with `name` set, or -1.
int make_temp_file(const char* stem, std::string& name) {
  std::string path = temp_directory() + "/qrx" + stem + "XXXXXX";
  const int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd >= 0) name = path;
  return fd;
}

bool keep_temp_files() { return trace_level(9) > 0; }

// The executable search path: COLL_BINPATH before PATH when set. Read at
// each use, so that a reload's environment file takes effect.
std::string search_path() {
  const char* bin = std::getenv("COLL_BINPATH");
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  if (bin && *bin) p = std::string(bin) + ":" + p;
  return p;
}

// The first of `name` (taken as it is when it holds a "/") and its places
// on the search path for which `wanted` holds, or nothing.
template <typename Test>
std::optional<std::string> first_on_path(const std::string& name, Test wanted) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) {
    if (wanted(name)) return name;
    return std::nullopt;
  }
  const std::string path = search_path();
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    if (wanted(candidate)) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

// Full path of program `name`, or nothing.
std::optional<std::string> find_program(const std::string& name) {
  return first_on_path(name, [](const std::string& file) { return access(file.c_str(), X_OK) == 0; });
}

// Where find_program found nothing: the first file of that name that is
// there without execute permission, or nothing.
std::optional<std::string> non_executable_program(const std::string& name) {
  return first_on_path(name, [](const std::string& file) {
    struct stat st {};
    return stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  });
}

// Logs why `name` cannot be started: a file that is there but may not be
// run says so, as "not found" would send its owner looking in vain.
void log_program_missing(const std::string& name) {
  if (const auto file = non_executable_program(name))
    PRINT('s', "uex4101", "Command not executable: %s (%s has no execute permission).\n",
          name.c_str(), file->c_str());
  else
    PRINT('s', "uex4100", "Command not found: %s.\n", name.c_str());
}

// Blanks outside single quotes collapsed to one, leading and trailing ones dropped.
std::string normalise_blanks(std::string_view text) {
  std::string out;
  bool quoted = false;
  for (char ch : text) {
    if (ch == '\'') quoted = !quoted;
    const bool blank = !quoted && (ch == ' ' || ch == '\t' || ch == '\n');
    if (blank) {
      if (!out.empty() && out.back() != ' ') out.push_back(' ');
    } else {
      out.push_back(ch);
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Collects output bytes into lines: cut at newline or NUL, empty lines
// skipped, each line cut at kExecLineMax bytes, at most `max_lines` lines.
class LineCollector {
 public:
  LineCollector(int32_t max_lines, std::string_view cmd) : max_lines_(max_lines), cmd_(cmd) {}

  bool full() const { return count_ >= max_lines_; }
  int32_t count() const { return count_; }

  void feed(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n && !full(); ++i) {
      const char ch = p[i];
      if (ch == '\n' || ch == '\0') {
        end_line();
      } else if (current_.size() < kExecLineMax) {
        current_.push_back(ch);
      } else if (!cut_) {
        cut_ = true;
        // Once per child: a child of long lines must not flood the log.
        if (!cut_logged_)
          PRINT('w', "uex6845", "Output line %d of %.50s cut at %d bytes\n", count_ + 1,
                cmd_.c_str(), static_cast<int>(kExecLineMax));
        cut_logged_ = true;
      }
    }
  }
  void finish() { end_line(); }
  exec_lines take() {
    tail_ = nullptr;
    return std::move(head_);
  }

 private:
  void end_line() {
    cut_ = false;
    if (current_.empty() || full()) {
      current_.clear();
      return;
    }
    auto* line = new r_exec_chain;
    line->length = static_cast<int32_t>(current_.size());
    line->text = std::move(current_);
    current_.clear();
    if (trace_level(9) > 0)
      PRINT('t', "uex6613", " Line %d (%d)=%s.\n", count_ + 1, line->length, line->text.c_str());
    if (tail_)
      tail_->next = line;
    else
      head_.reset(line);
    tail_ = line;
    ++count_;
  }

  int32_t max_lines_;
  std::string cmd_;
  std::string current_;
  bool cut_ = false;         // the current line was cut
  bool cut_logged_ = false;  // a cut line was reported
  int32_t count_ = 0;
  exec_lines head_;
  r_exec_chain* tail_ = nullptr;
};

// Writes to a pipe without letting a closed reader kill the collector:
// SIGPIPE is blocked for the call and a SIGPIPE it raised is taken back.
ssize_t write_no_sigpipe(int fd, const char* data, std::size_t length) {
  sigset_t pipe_set, old_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
  sigset_t pending;
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE);
  const ssize_t n = ::write(fd, data, length);
  const int err = errno;
  if (n < 0 && err == EPIPE && !was_pending) {
    const timespec zero{0, 0};
    sigtimedwait(&pipe_set, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  errno = err;
  return n;
}

// A descriptor that becomes readable when `pid` ends, or -1 where the
// system has none (the wait then polls).
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#endif
  (void)pid;
  return -1;
}


// Sets every signal that can be caught to `handler` and blocks none; safe
// between fork and exec.
void every_signal_to(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The warden: a small process of the collector's that ends the process
// groups of its children when the collector dies without ending them
// (kill -9). The system then kills only the collector's own children (they
// ask for it after the fork), not what they started. The warden learns each
// group from a pipe (a pgid to watch, its negative to forget) and takes the
// end of the pipe as the end of the collector.
constexpr int kWardenGroups = 256;

// The children of this process that outlive a call, with the warden: one set
// per process, as only the process that forked them can wait for them.
struct Children {
  int warden_fd = -1;  // write end; -1 without a warden
  pid_t warden_pid = -1;
  // Children kept beyond one run: the end of a run leaves them alone.
  // Permanent ones are reaped by their owner, detached ones here.
  std::vector<pid_t> permanent;
  std::vector<pid_t> detached;
};
Children children;
constexpr auto kWardenEndWait = std::chrono::seconds(2);

void tell_warden(pid_t group) {
  if (children.warden_fd < 0) return;
  const int32_t word = static_cast<int32_t>(group);
  if (write_no_sigpipe(children.warden_fd, reinterpret_cast<const char*>(&word), sizeof word) !=
      static_cast<ssize_t>(sizeof word)) {
    ::close(children.warden_fd);  // the warden is gone: nobody to tell any more
    children.warden_fd = -1;
    waitpid(children.warden_pid, nullptr, WNOHANG);
  }
}

[[noreturn]] void warden_main(int in) {
  pid_t groups[kWardenGroups];
  int count = 0;
  for (;;) {
    int32_t word = 0;
    const ssize_t got = ::read(in, &word, sizeof word);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof word)) break;
    if (word > 0 && count < kWardenGroups) {
      groups[count++] = word;
    } else if (word < 0) {
      for (int i = 0; i < count; ++i)
        if (groups[i] == -word) {
          groups[i] = groups[--count];
          break;
        }
    }
  }
  for (int i = 0; i < count; ++i) kill(-groups[i], SIGKILL);
  _exit(0);
}

// Starts the warden; false when it could not be started.
bool start_warden() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid == 0) {
    // Only the pipe's end tells it to go: a signal meant for the collector
    // or its group must not end it first. Async-signal-safe calls only.
    setpgid(0, 0);
    prctl(PR_SET_NAME, "qrxcoll-warden");
    every_signal_to(SIG_IGN);
    // The pipe's end may sit on a standard descriptor: it moves first.
    const int in = fcntl(fds[0], F_DUPFD, 3);
    const int null_fd = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
      if (null_fd >= 0) dup2(null_fd, fd);
    if (in < 0 || dup2(in, 3) < 0) _exit(1);
    close_range(4, UINT_MAX, 0);
    warden_main(3);
  }
  ::close(fds[0]);
  children.warden_fd = fds[1];
  children.warden_pid = pid;
  return true;
}

// What /proc shows of a process: its state, parent and start time (clock
// ticks since boot); false when it is gone.
struct ProcessStat {
  char state = 0;
  pid_t parent = 0;
  unsigned long long start = 0;
};
bool process_stat(pid_t pid, ProcessStat& out) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return false;
  // The name may hold blanks and parentheses: the fields follow the last ')'.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 1));
  std::string skip;
  fields >> out.state >> out.parent;
  for (int field = 5; field < 22 && fields; ++field) fields >> skip;
  fields >> out.start;
  return static_cast<bool>(fields);
}

void forget(std::vector<pid_t>& pids, pid_t pid) {
  pids.erase(std::remove(pids.begin(), pids.end(), pid), pids.end());
}
bool kept(pid_t pid) {
  const auto& p = children.permanent;
  const auto& d = children.detached;
  return std::find(p.begin(), p.end(), pid) != p.end() ||
         std::find(d.begin(), d.end(), pid) != d.end();
}

// Reaps the detached children that have ended; how many still run.
int reap_detached() {
  auto& pids = children.detached;
  for (std::size_t i = 0; i < pids.size();) {
    const pid_t ended = waitpid(pids[i], nullptr, WNOHANG);
    if (ended == pids[i] || (ended < 0 && errno == ECHILD)) {
      // What it started went with it or is the collector's to end later.
      tell_warden(-pids[i]);
      pids.erase(pids.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  return static_cast<int>(pids.size());
}

// Ends and reaps whatever a run left behind. The run's child is reaped;
// what it started is either still in its process group or, once its parent
// is gone, our child (the collector is the subreaper of its descendants).
// Our children not kept beyond a run and started at or after the run's
// child (`since`, clock ticks) belong to the run, as the collector starts
// nothing else while it waits for a run; an older child of ours that is
// only a zombie is an adopted orphan that ended, reaped too.
void end_run_leftovers(pid_t group, unsigned long long since) {
  kill(-group, SIGKILL);
  tell_warden(-group);
  const pid_t self = getpid();
  for (bool found = true; found;) {
    found = false;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t pid = static_cast<pid_t>(std::stol(name));
      ProcessStat st;
      // The warden may have started in the same clock tick as the run.
      if (pid == children.warden_pid || !process_stat(pid, st) || st.parent != self || kept(pid)) continue;
      const bool of_the_run = st.start >= since;
      if (!of_the_run && st.state != 'Z') continue;
      if (of_the_run) {
        // A leftover that leads a group or session takes its members along;
        // their orphans become ours and are found in the next round.
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
      }
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      if (trace_level(6) > 0) PRINT('t', "uex8095", "Ended process %d left by a run\n", pid);
      found = true;
    }
  }
}

// How a new child is wired: program, words, environment and the three
// standard descriptors (each must stay open until start_child returns).
struct ChildPlan {
  const char* program = nullptr;
  std::vector<char*> argv;      // null-terminated
  std::vector<std::string> env_entries;
  std::vector<char*> envp;      // null-terminated, into env_entries
  int fds[3] = {-1, -1, -1};
};

// Starts `plan` as a child that leads a process group of its own (ending it
// ends whatever it started and did not move away), has every signal at its
// default, no descriptor but the three standard ones, and dies with the
// collector. The pid, or -1 with errno set.
pid_t start_child(ChildPlan& plan) {
  plan.envp = environment_array(plan.env_entries);
  const pid_t parent = getpid();
  std::fflush(nullptr);  // the child must not repeat our buffered output
  const pid_t pid = fork();
  if (pid != 0) {
    // Both sides set the group, so that it exists before either goes on.
    if (pid > 0) {
      setpgid(pid, pid);
      tell_warden(pid);
    }
    return pid;
  }
  // Only async-signal-safe calls from here to the exec.
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The collector may have died before the line above: then nobody is
  // left to send the signal.
  if (getppid() != parent) _exit(127);
  every_signal_to(SIG_DFL);
  // Move the sources above 2 first, so that no dup2 overwrites another's source.
  int moved[3];
  for (int i = 0; i < 3; ++i) {
    moved[i] = fcntl(plan.fds[i], F_DUPFD_CLOEXEC, 3);
    if (moved[i] < 0) moved[i] = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  }
  for (int i = 0; i < 3; ++i)
    if (moved[i] < 0 || dup2(moved[i], i) < 0) _exit(127);
  close_range(3, UINT_MAX, 0);
  execve(plan.program, plan.argv.data(), plan.envp.data());
  _exit(127);
}

}  // namespace

// One child while it is handled.
struct createProcessComm {
  pid_t pid = -1;
  Fd pidfd;
  Fd out_file;                 // output file (kExecOutFile)
  Fd in_read, in_write;        // standard-input pipe
  Fd out_read, out_write;      // standard-output pipe
  Fd err_read, err_write;      // standard-error pipe
  std::string childStdoutFn;   // output file name
  std::string childStdinFn;    // parameter file name
  std::string p_cmd, p_parms, p_cFullCmd;
  int parm_mode = 0;           // -1 done on the command line, 0 command line, 1 stdin, 2 file
  std::string stdin_data;      // still to be written to the child
  std::size_t stdin_written = 0;
  unsigned long long started = 0;  // start time in clock ticks since boot
  bool reaped = false;

  ~createProcessComm() {
    if (pid > 0 && !reaped) {
      // Nobody waits for it any more: end its group and take it back.
      kill(-pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      forget(children.permanent, pid);
      tell_warden(-pid);
    }
    if (!keep_temp_files()) {
      if (!childStdinFn.empty()) unlink(childStdinFn.c_str());
      if (!childStdoutFn.empty()) unlink(childStdoutFn.c_str());
    }
  }
};

execopt::execopt() = default;
execopt::~execopt() = default;

void u_free_r_chain(r_exec_chain* chain) {
  while (chain) {
    r_exec_chain* next = chain->next;
    delete chain;
    chain = next;
  }
}

int u_ismessage(std::string_view t) {
  if (t.size() <= 9) return 0;
  const auto upper = [&t](std::size_t from, std::size_t n) {
    for (std::size_t i = from; i < from + n; ++i)
      if (t[i] < 'A' || t[i] > 'Z') return false;
    return true;
  };
  const auto digits = [&t](std::size_t from) {
    for (std::size_t i = from; i < from + 4; ++i)
      if (t[i] < '0' || t[i] > '9') return false;
    return true;
  };
  const auto severity = [](char ch) { return std::strchr("EWIST", ch) != nullptr && ch != '\0'; };
  if (upper(0, 3) && digits(3) && severity(t[7]) && t[8] == ' ') return 1;
  if (t.size() > 10 && upper(0, 4) && digits(4) && severity(t[8]) && t[9] == ' ') return 1;
  return 0;
}

std::string shell_quote(std::string_view text) {
  std::string out = "'";
  for (char ch : text) {
    if (ch == '\'')
      out += "'\\''";
    else
      out.push_back(ch);
  }
  out.push_back('\'');
  return out;
}

std::vector<std::string> split_command_words(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size() && static_cast<int>(words.size()) < kMaxWords) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\n')) ++i;
    if (i >= line.size()) break;
    std::string word;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\n') {
      const char ch = line[i++];
      if (ch == '\'') {
        while (i < line.size() && line[i] != '\'') word.push_back(line[i++]);
        if (i < line.size()) ++i;
      } else if (ch == '"') {
        while (i < line.size() && line[i] != '"') {
          if (line[i] == '\\' && i + 1 < line.size() && std::strchr("\"\\$`", line[i + 1])) ++i;
          word.push_back(line[i++]);
        }
        if (i < line.size()) ++i;
      } else if (ch == '\\' && i < line.size()) {
        word.push_back(line[i++]);
      } else {
        word.push_back(ch);
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

namespace {

// Parameter passing and pipes; 0, or the failing step's code after logging.
int set_up_passing(createProcessComm& cp, execopt& o) {
  if (o.flags & kExecOutFile) {
    const int fd = make_temp_file("out", cp.childStdoutFn);
    if (fd < 0) {
      PRINT('e', "uex5010", "Create file for piping stdout failed.\n");
      return 1;
    }
    cp.out_file.reset(fd);
  } else if (!make_pipe(cp.out_read, cp.out_write, cp.p_cmd.c_str())) {
    PRINT('e', "uex5020", "Create pipe for stdout failed.\n");
    return 2;
  }
  if (!(o.flags & kExecStderrToOut) && !make_pipe(cp.err_read, cp.err_write, cp.p_cmd.c_str())) {
    PRINT('e', "uex5030", "Create pipe for stderr failed.\n");
    return 3;
  }
  int mode = (o.flags & kExecParmsStdin) ? 1 : (o.flags & kExecParmsFile) ? 2 : 0;
  if (cp.p_parms.empty()) mode = 0;
  if (mode != 0 && (o.flags & kExecByLength)) {
    if (cp.p_cmd.size() + 1 + cp.p_parms.size() < kCommandLineMax) {
      mode = 0;
    } else if (cp.p_parms.find(')') == std::string::npos && cp.p_parms.size() < kShortParms) {
      std::string full = cp.p_cmd + " " + normalise_blanks(cp.p_parms);
      if (full.size() < kCommandLineMax) {
        cp.p_cFullCmd = std::move(full);
        mode = -1;
      }
    }
  }
  if (mode == 0) {
    cp.p_cFullCmd = cp.p_parms.empty() ? cp.p_cmd : cp.p_cmd + " " + cp.p_parms;
    mode = -1;
  }
  if (mode == 1 || (o.flags2 & kExecStdinPipe)) {
    if (!make_pipe(cp.in_read, cp.in_write, cp.p_cmd.c_str())) return 2;
    if (mode == 1) {
      cp.stdin_data = cp.p_parms + "\n";
      if (o.flags & kExecMarker) cp.p_cFullCmd = cp.p_cmd + " --";
    }
  }
  if (mode == 2) {
    const int fd = make_temp_file("parms", cp.childStdinFn);
    Fd file(fd);
    if (fd < 0 || ::write(fd, cp.p_parms.data(), cp.p_parms.size()) !=
                      static_cast<ssize_t>(cp.p_parms.size())) {
      PRINT('w', "uex5040", "Can't open file %s for write\n",
            cp.childStdinFn.empty() ? "parms" : cp.childStdinFn.c_str());
      return 2;
    }
    if (o.flags & kExecMarker) cp.p_cFullCmd = cp.p_cmd + " @" + cp.childStdinFn;
  }
  if (cp.p_cFullCmd.empty()) cp.p_cFullCmd = cp.p_cmd;
  cp.parm_mode = mode;
  return 0;
}

// Starts the child; 0, or a code after logging (30: program not found).
// The shell runs it only when the caller says that its own text asks for
// one (kExecShellText); values from outside then sit in the parameters
// quoted for it. Either way the program is the one found on the search path.
int create_child(createProcessComm& cp, execopt& o) {
  std::vector<std::string> words;
  const auto found = find_program(cp.p_cmd);
  const bool through_shell = (o.flags2 & kExecShellText) != 0;
  if (!found && !through_shell) {
    log_program_missing(cp.p_cmd);
    return 30;
  }
  if (trace_level(6) > 0 || trace_all)
    PRINT('t', "uex4010", "Time limit=%d, cmd=%.20s. parms=%.100s\n", o.time_limit,
          cp.p_cmd.c_str(), cp.p_parms.c_str());
  std::string program = found ? *found : cp.p_cmd;
  if (through_shell) {
    // What the shell does not know as a program it may know as a builtin.
    words = {"sh", "-c",
             "( " + (found ? shell_quote(*found) : cp.p_cmd) + " " + cp.p_parms + " )"};
    program = "/bin/sh";
    cp.p_parms.clear();  // they are part of the shell's line
  }
  if (set_up_passing(cp, o) != 0) return 2;
  if (!through_shell) {
    words = split_command_words(cp.p_cFullCmd);
    if (words.empty()) words.push_back(cp.p_cmd);
  }
  if (trace_level(7) > 0)
    for (std::size_t i = 0; i < words.size(); ++i)
      PRINT('t', "uex4071", "Parm %d %.200s\n", static_cast<int>(i), words[i].c_str());

  Fd null_in;
  if (!cp.in_read.open()) null_in.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int out_fd = cp.out_file.open() ? cp.out_file.get() : cp.out_write.get();
  ChildPlan plan;
  plan.program = program.c_str();
  for (auto& w : words) plan.argv.push_back(w.data());
  plan.argv.push_back(nullptr);
  plan.env_entries = child_environment();
  plan.fds[0] = cp.in_read.open() ? cp.in_read.get() : null_in.get();
  plan.fds[1] = out_fd;
  plan.fds[2] = cp.err_write.open() ? cp.err_write.get() : out_fd;
  reap_detached();
  const pid_t pid = start_child(plan);
  if (pid < 0) {
    const int err = errno;
    PRINT('s', "uex4050", "Fork failure. errno=%d %s\n", err, std::strerror(err));
    return 6;
  }
  cp.pid = pid;
  cp.pidfd.reset(open_pidfd(pid));
  ProcessStat st;
  if (process_stat(pid, st)) cp.started = st.start;
  if (trace_level(6) > 0 || trace_all) PRINT('t', "uex4090", "Child pid= %d.\n", pid);
  cp.in_read.reset();
  cp.out_write.reset();
  cp.err_write.reset();
  if (cp.stdin_data.empty()) return 0;
  fcntl(cp.in_write.get(), F_SETFL, O_NONBLOCK);
  return 0;
}

// True once the child has ended (it stays a zombie until reaped).
bool child_ended(const createProcessComm& cp) {
  siginfo_t info{};
  return waitid(P_PID, cp.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == cp.pid;
}

// Reaps the ended child and records its exit status.
void reap(createProcessComm& cp, execopt& o) {
  int status = 0;
  while (waitpid(cp.pid, &status, 0) < 0 && errno == EINTR) {
  }
  cp.reaped = true;
  o.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (trace_level(6) > 0) PRINT('t', "uex8060", "waitpid() ended=%d (%d %s)\n", cp.pid, 0, "");
}

// One round of polling the child's pipes for at most `timeout_ms`; reads
// into `lines` (standard error is read and dropped) and writes pending
// standard input. `watch_child`: also wake when the child ends.
void pump(createProcessComm& cp, LineCollector* lines, int timeout_ms, bool watch_child = true) {
  pollfd fds[4];
  int n = 0;
  int out_at = -1, err_at = -1, in_at = -1, pid_at = -1;
  if (cp.out_read.open()) { out_at = n; fds[n++] = {cp.out_read.get(), POLLIN, 0}; }
  if (cp.err_read.open()) { err_at = n; fds[n++] = {cp.err_read.get(), POLLIN, 0}; }
  if (cp.in_write.open() && cp.stdin_written < cp.stdin_data.size()) {
    in_at = n;
    fds[n++] = {cp.in_write.get(), POLLOUT, 0};
  }
  if (watch_child && cp.pidfd.open()) { pid_at = n; fds[n++] = {cp.pidfd.get(), POLLIN, 0}; }
  // Without a pidfd nothing wakes us when the child ends: poll in short steps.
  if (watch_child && pid_at < 0) timeout_ms = std::min(timeout_ms, 20);
  if (poll(fds, n, std::max(timeout_ms, 0)) <= 0) return;
  char buffer[8192];
  if (out_at >= 0 && fds[out_at].revents) {
    const ssize_t got = ::read(cp.out_read.get(), buffer, sizeof buffer);
    if (got > 0 && lines) lines->feed(buffer, static_cast<std::size_t>(got));
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
      if (got < 0 && trace_level(6) > 0)
        PRINT('t', "uex1025", "read() returned -1. errno=%d %s\n", errno, std::strerror(errno));
      cp.out_read.reset();
    }
  }
  if (err_at >= 0 && fds[err_at].revents) {
    const ssize_t got = ::read(cp.err_read.get(), buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) cp.err_read.reset();
  }
  if (in_at >= 0 && fds[in_at].revents) {
    const ssize_t put = write_no_sigpipe(cp.in_write.get(), cp.stdin_data.data() + cp.stdin_written,
                                         cp.stdin_data.size() - cp.stdin_written);
    if (put > 0) cp.stdin_written += static_cast<std::size_t>(put);
    if (put < 0 && errno != EAGAIN && errno != EINTR) {
      PRINT('e', "uex6900", "Unable to write to un-named pipe\n");
      cp.in_write.reset();
    } else if (cp.stdin_written == cp.stdin_data.size()) {
      if (trace_level(8) > 0)
        PRINT('t', "uex4130", "Wrote parms to stdin pipe '%.100s'\n", cp.stdin_data.c_str());
      cp.in_write.reset();
    }
  }
}

int ms_until(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
}

// Waits for a timed child while reading its output; ends its whole group
// when the time limit passes (status kExecTimedOut) and whatever it left
// behind when it ends. The child is reaped on every path.
void wait_child(createProcessComm& cp, execopt& o, LineCollector& lines) {
  const auto start = Clock::now();
  const bool limited = !(o.flags2 & kExecNoLimit);
  const int32_t seconds = o.time_limit > 0 ? o.time_limit : kDefaultExecSeconds;
  const auto deadline = limited ? start + std::chrono::seconds(seconds) : Clock::time_point::max();
  bool cut_logged = false;
  while (!child_ended(cp)) {
    const bool stopping = go_home != 0;  // a terminating signal does not wait for the child
    if (stopping || (limited && Clock::now() >= deadline)) {
      if (stopping)
        PRINT('w', "uex8085", "Child process %.20s ended: the collector is stopping\n",
              cp.p_cmd.c_str());
      else
        PRINT('w', "uex8080", "Child process %.20s did not finish in %d seconds.\n",
              cp.p_cmd.c_str(), seconds);
      o.status = kExecTimedOut;
      kill(-cp.pid, SIGTERM);
      const auto grace = Clock::now() + kTermGrace;
      while (!child_ended(cp) && Clock::now() < grace) pump(cp, &lines, ms_until(grace));
      break;
    }
    if (trace_level(6) > 0) PRINT('t', "uex8050", "Wait loop. pid=%d, rc=%d.\n", cp.pid, 0);
    pump(cp, &lines, limited ? ms_until(deadline) : 60000);
    if (lines.full() && cp.out_read.open()) {
      // Enough lines: the child learns through SIGPIPE that nobody reads on.
      cp.out_read.reset();
      if (!cut_logged)
        PRINT('w', "uex6840", "Output of %.50s cut after %d lines\n", cp.p_cmd.c_str(),
              lines.count());
      cut_logged = true;
    }
  }
  // Nothing of the child's group may outlive it; its output stays readable.
  kill(-cp.pid, SIGKILL);
  const auto drain_end = Clock::now() + kTermGrace;
  while ((cp.out_read.open() || cp.err_read.open()) && Clock::now() < drain_end) {
    pump(cp, &lines, ms_until(drain_end), false);
    if (lines.full() && cp.out_read.open()) {
      cp.out_read.reset();
      if (!cut_logged)
        PRINT('w', "uex6840", "Output of %.50s cut after %d lines\n", cp.p_cmd.c_str(),
              lines.count());
      cut_logged = true;
    }
  }
  reap(cp, o);
  end_run_leftovers(cp.pid, cp.started);
  if (o.status == kExecNormal) {
    o.time_limit = static_cast<int32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
    if (trace_level(6) > 0 || trace_all)
      PRINT('t', "uex8070", "finished in %d seconds\n", o.time_limit);
  }
}

// Reads the output file of a child that wrote to one.
void read_output_file(createProcessComm& cp, LineCollector& lines) {
  if (trace_level(7) > 0)
    PRINT('t', "uex6801", "Reading results from file %s\n", cp.childStdoutFn.c_str());
  if (lseek(cp.out_file.get(), 0, SEEK_SET) != 0) {
    PRINT('e', "uex6810", "Can't open file %s\n", cp.childStdoutFn.c_str());
    return;
  }
  char buffer[8192];
  ssize_t got;
  while (!lines.full() && (got = ::read(cp.out_file.get(), buffer, sizeof buffer)) > 0)
    lines.feed(buffer, static_cast<std::size_t>(got));
  if (lines.full())
    PRINT('w', "uex6840", "Output of %.50s cut after %d lines\n", cp.p_cmd.c_str(),
          lines.count());
}

// Ends a permanent child's group: SIGTERM, SIGKILL after the grace time, reaped.
void end_child(createProcessComm& cp, execopt& o) {
  if (cp.pid <= 0 || cp.reaped) return;
  kill(-cp.pid, SIGTERM);
  const auto grace = Clock::now() + kTermGrace;
  while (!child_ended(cp) && Clock::now() < grace) pump(cp, nullptr, ms_until(grace));
  kill(-cp.pid, SIGKILL);
  reap(cp, o);
  forget(children.permanent, cp.pid);
  tell_warden(-cp.pid);
}

}  // namespace

exec_lines u_exec_timed(const char* cmd, const char* parms, int seconds, execopt& o) {
  if (!(o.flags & kExecOptionsSet)) o.flags = kExecByLength | kExecParmsStdin | kExecMarker;
  o.status = kExecNormal;
  o.exit_status = 0;
  if (!(o.flags2 & kExecChildExists) || !o.comm) {
    o.comm = std::make_unique<createProcessComm>();
    o.comm->p_cmd = cmd ? cmd : "";
    o.comm->p_parms = parms ? parms : "";
    if (o.time_limit <= 0) o.time_limit = seconds;
    if (create_child(*o.comm, o) != 0) {
      o.status = kExecNotCreated;
      o.comm.reset();
      return nullptr;
    }
  }
  if (o.flags & kExecPermanent) return nullptr;
  createProcessComm& cp = *o.comm;
  LineCollector lines(o.max_lines > 0 ? o.max_lines : kDefaultExecLines, cp.p_cmd);
  if (!cp.out_file.open() && !cp.out_read.open()) {
    PRINT('e', "uex6820", "No pipe created for child stdout\n");
  }
  wait_child(cp, o, lines);
  if (cp.out_file.open()) read_output_file(cp, lines);
  lines.finish();
  if (trace_all)
    PRINT('t', "uex6830", "Read %d lines for Command %.50s\n", lines.count(), cp.p_cmd.c_str());
  o.comm.reset();
  return lines.take();
}

exec_lines u_exec(const char* cmd, const char* parms, int* exit_status, int seconds) {
  // The program is looked up as timed children's are (COLL_BINPATH first);
  // what is not found is left to the shell, which may know it as a builtin.
  std::string program = cmd ? cmd : "";
  if (const auto found = find_program(program)) program = shell_quote(*found);
  std::string line = program + " " + (parms ? parms : "");
  const bool file_form = env_vars.db_type.rfind("xmb", 0) == 0 || env_vars.db_type.rfind("xpa", 0) == 0;
  std::string parm_file;
  Fd parm_fd;
  if (file_form) {
    if (line.size() + 17 < kCommandLineMax) {
      line = "( " + line + " ) 2>&1";
    } else {
      parm_fd.reset(make_temp_file("rexecp", parm_file));
      const std::string text = parms ? parms : "";
      if (!parm_fd.open() ||
          ::write(parm_fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        const int err = errno;
        PRINT('e', "uex2038", "fopen error (%d %s), file=%s\n", err, std::strerror(err),
              parm_file.c_str());
        if (!parm_file.empty()) unlink(parm_file.c_str());
        return nullptr;
      }
      line = "( cat " + shell_quote(parm_file) + "|xargs " + program + " ) 2>&1";
    }
    if (trace_level(3) > 0) PRINT('t', "uex2039", "cmdparms to be executed (%s)\n", line.c_str());
  } else {
    if (line.size() >= kCommandLineMax) {
      PRINT('e', "uex2051", "cmdparms overflow (%d), cmd=(%s), parms=(%s)\n",
            static_cast<int>(line.size()), cmd ? cmd : "", parms ? parms : "");
      return nullptr;
    }
    if (trace_level(3) > 0) PRINT('t', "uex2051", "cmdparms to be executed (%s)\n", line.c_str());
  }
  execopt o;
  o.flags = kExecOptionsSet;
  o.max_lines = kExecShellLines;
  o.time_limit = seconds;
  o.comm = std::make_unique<createProcessComm>();
  createProcessComm& cp = *o.comm;
  cp.p_cmd = "/bin/sh";
  cp.p_parms.clear();
  // The line goes to the shell as one argument; it is not split here.
  exec_lines result;
  {
    if (!make_pipe(cp.out_read, cp.out_write, line.c_str())) {
      PRINT('e', "uex2050", "popen error (%d %s), cmd=%.40s...\n", errno, std::strerror(errno),
            line.c_str());
      if (!parm_file.empty() && !keep_temp_files()) unlink(parm_file.c_str());
      return nullptr;
    }
    Fd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    char sh[] = "sh", dash_c[] = "-c";
    ChildPlan plan;
    plan.program = "/bin/sh";
    plan.argv = {sh, dash_c, line.data(), nullptr};
    plan.env_entries = child_environment();
    plan.fds[0] = null_in.get();
    plan.fds[1] = cp.out_write.get();
    plan.fds[2] = STDERR_FILENO;  // what the shell says about failures goes to our error output
    reap_detached();
    const pid_t pid = start_child(plan);
    if (pid < 0) {
      const int err = errno;
      PRINT('e', "uex2040", "Command error (%d %s), cmd=(%s)\n", err, std::strerror(err),
            line.c_str());
      o.comm.reset();
      if (!parm_file.empty() && !keep_temp_files()) unlink(parm_file.c_str());
      return nullptr;
    }
    ProcessStat st;
    if (process_stat(pid, st)) cp.started = st.start;
    cp.pid = pid;
    cp.pidfd.reset(open_pidfd(pid));
    cp.out_write.reset();
    LineCollector lines(kExecShellLines, line);
    wait_child(cp, o, lines);
    lines.finish();
    if (lines.full() && trace_level(0) > 0)
      PRINT('t', "uex2070", "Stopped reading returned data after %d rows\n", lines.count());
    result = lines.take();
  }
  if (exit_status) *exit_status = o.status == kExecTimedOut ? 128 + SIGKILL : o.exit_status;
  if (trace_level(6) > 0) {
    int n = 0;
    for (const r_exec_chain* l = result.get(); l; l = l->next)
      PRINT('t', "uex3050", "u_exec returning Line(%d) ptr(%d) next(%d) value(%s)\n", ++n, 0, 0,
            l->text.c_str());
  }
  o.comm.reset();
  if (!parm_file.empty() && !keep_temp_files()) unlink(parm_file.c_str());
  return result;
}

int u_exec_perm(const char* cmd, const char* parms, execopt& o) {
  if (!(o.flags & kExecOptionsSet)) {
    o.flags = kExecPermanent;
    o.flags2 = kExecNoLimit | kExecStdinPipe;
    o.time_limit = -1;
  }
  o.status = kExecNormal;
  o.comm = std::make_unique<createProcessComm>();
  o.comm->p_cmd = cmd ? cmd : "";
  o.comm->p_parms = parms ? parms : "";
  if (create_child(*o.comm, o) != 0) {
    o.status = kExecNotCreated;
    o.comm.reset();
    return 1;
  }
  children.permanent.push_back(o.comm->pid);
  return 0;
}

int u_exec_get_fh(int* stdin_fd, int* stdout_fd, execopt& o) {
  if (!o.comm) return 4;
  createProcessComm& cp = *o.comm;
  int rc = 0;
  const int in = cp.in_write.open() ? cp.in_write.get() : -1;
  const int out = (o.flags & kExecOutFile) && cp.out_file.open() ? cp.out_file.get()
                                                                  : cp.out_read.get();
  if (stdin_fd) *stdin_fd = in;
  if (stdout_fd) *stdout_fd = out;
  if (in < 0) rc += 1;
  if (out < 0) rc += 2;
  return rc;
}

int u_exec_term(execopt& o) {
  if (!o.comm) return 0;
  createProcessComm& cp = *o.comm;
  cp.in_write.reset();
  cp.out_read.reset();
  cp.err_read.reset();
  end_child(cp, o);
  o.comm.reset();
  return 0;
}

int u_AsynProcess(const char* cmd, const char* parms) {
  const std::string line = std::string(cmd ? cmd : "") + " " + (parms ? parms : "");
  std::vector<std::string> words = split_command_words(line);
  if (words.empty()) return 4;
  const auto program = find_program(words[0]);
  if (!program) {
    log_program_missing(words[0]);
    return 4;
  }
  if (trace_level(6) > 0 || trace_all)
    PRINT('t', "uex9030", "Child process. cmd=%.20s\n", words[0].c_str());
  Fd null_fd(::open("/dev/null", O_RDWR | O_CLOEXEC));
  ChildPlan plan;
  plan.program = program->c_str();
  for (auto& w : words) plan.argv.push_back(w.data());
  plan.argv.push_back(nullptr);
  plan.env_entries = child_environment();
  plan.fds[0] = plan.fds[1] = plan.fds[2] = null_fd.get();
  reap_detached();
  // Not waited for: it outlives its run, is reaped once it has ended (at
  // the next child started) and dies with the collector.
  const pid_t pid = start_child(plan);
  if (pid < 0) {
    const int err = errno;
    PRINT('s', "uex9020", "Fork failure. errno=%d %s\n", err, std::strerror(err));
    return 4;
  }
  children.detached.push_back(pid);
  if (trace_level(6) > 0 || trace_all) PRINT('t', "uex9050", "Child pid= %d.\n", pid);
  return 0;
}

int u_reap_detached() { return reap_detached(); }

void end_warden() {
  if (children.warden_pid <= 0) return;
  if (children.warden_fd >= 0) ::close(children.warden_fd);
  children.warden_fd = -1;
  // It goes as soon as it reads the end; a warden that lingers is left to init.
  const auto give_up = Clock::now() + kWardenEndWait;
  while (waitpid(children.warden_pid, nullptr, WNOHANG) == 0 && Clock::now() < give_up) {
    const timespec step{0, 10 * 1000 * 1000};
    nanosleep(&step, nullptr);
  }
  children.warden_pid = -1;
}

int become_child_reaper() {
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    const int err = errno;
    PRINT('w', "uex9060", "Processes left by outside programs cannot be ended: %s\n",
          std::strerror(err));
    return 1;
  }
  if (!start_warden()) {
    const int err = errno;
    PRINT('w', "uex9065", "Children cannot be ended should the collector be killed: %s\n",
          std::strerror(err));
    return 1;
  }
  return 0;
}

}  // namespace qrx
