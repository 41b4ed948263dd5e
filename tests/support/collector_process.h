// Test helpers for end-to-end runs: the real qrxcoll started as a child
// process in a test directory with a clean environment, its message log, and
// a bounded wait for what it writes. A process still running when its helper
// goes out of scope is ended through its own exit path, so its channel goes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qrx::testing {

// The sanitizers' options of this process as NAME=value entries, so that a
// child started with a clean environment runs under the same ones.
std::vector<std::string> sanitizer_environment();

class CollectorProcess {
 public:
  CollectorProcess() = default;
  ~CollectorProcess();
  CollectorProcess(const CollectorProcess&) = delete;
  CollectorProcess& operator=(const CollectorProcess&) = delete;

  // Starts qrxcoll in `dir` with `args`; COLL_HOME, COLL_CTL_HOME and
  // COLL_OUT name `dir`, each shutdown wait lasts one second, and
  // `environment` ("NAME=value ..." words for the shell) adds variables.
  // False when no process could be made.
  bool start(const std::filesystem::path& dir, const std::string& args,
             const std::string& environment = "");
  // Sends `signal` and waits for the end; returns the wait status (that of
  // the earlier end when ended() saw it).
  int stop(int signal);
  // True once the process has ended by itself; does not wait.
  bool ended();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int end_status_ = -1;  // the wait status ended() collected; -1 while it runs
};

// Runs the shell `command`, which must exec one collector writing its log in
// `dir`, and stops it with SIGTERM once the log says "Start collecting." (or
// when it ends by itself); returns the wait status, or -1.
int run_until_collecting(const std::filesystem::path& dir, const std::string& command);

// Ends `pid` with SIGTERM, so that its exit path removes its channel, and
// waits for it; SIGKILL after about 15 seconds. Returns the wait status.
int end_collector(pid_t pid);

// The collector's message log in `dir` (the file ending in "col.out"); empty
// when there is none yet.
std::string collector_log(const std::filesystem::path& dir);

// The CSV lines (header dropped) `qrxprobe --csv get CURSOR` prints for
// `cursor` of the collector for `server` in `dir`, run with the same clean
// environment as CollectorProcess::start plus `environment`.
std::vector<std::string> probe_csv_rows(const std::filesystem::path& dir, const std::string& environment,
                                        const std::string& server, const std::string& cursor);

// Polls `ready` every 100 ms for about 30 seconds; true once it answers true.
bool wait_until(const std::function<bool()>& ready);

}  // namespace qrx::testing
