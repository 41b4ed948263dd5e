// Test helper for steady-state runs: telling whole collections apart through
// the collector's cursor status records, as `qrxprobe --csv status` prints
// them, so that a test reads figures of a collection begun after it changed
// the data, without sleeping a fixed time.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "collector_process.h"
#include "startup_fixture.h"

namespace qrx::testing {

// A server id of this process's own ("M" + pid + counter for `letter` 'M'),
// so that tests running side by side have their own channels.
std::string own_server_id(char letter);

// A test of a real collector on SQLite under a server id of its own (set
// server_ in SetUp): the settings it and its probes share, and the
// collector, stopped at the end of the test.
class SqliteCollectorTest : public StartupTest {
 protected:
  void TearDown() override;
  // The settings of the collector and its probes, as shell words.
  virtual std::string settings() const;

  std::string server_;
  CollectorProcess collector_;
};

// The lines `qrxprobe --csv COMMAND` prints ("get CURSOR", "status") for the
// collector of `server` whose files are in `dir`, with `settings` (the
// collector's "NAME=value ..." shell words) in an otherwise clean environment.
std::vector<std::string> probe_csv(const std::string& dir, const std::string& settings,
                                   const std::string& server, const std::string& command);

// Each cursor's last run time ("YYYY/MM/DD HH:MM:SS") by name, from the
// cursor section of `qrxprobe --csv status` output; empty when it has none.
std::map<std::string, std::string> cursor_run_times(const std::string& status_csv);

// The values of `column` in the rows the evaluator wrote into `log`, one
// for each line ending with `line` (e.g. "Evaluation E (1) true for cursor C").
std::vector<std::string> evaluator_values(const std::string& log, const std::string& line,
                                          const std::string& column);

// Waits for collections of `cursors` (in the order the collector runs them
// in one collection) through `status`, which answers the output of
// `qrxprobe --csv status`.
class CollectionWaiter {
 public:
  CollectionWaiter(std::function<std::string()> status, std::vector<std::string> cursors);

  // Notes the collection under way now; call it after committing a change.
  void mark();
  // Waits (about a minute at most) until a collection begun after the last
  // mark() has run every cursor; false when none came.
  bool next();
  // The last status output read, for a failure's message.
  const std::string& last_status() const { return last_; }

 private:
  std::function<std::string()> status_;
  std::vector<std::string> cursors_;
  std::string marked_;  // the latest cursor time at the mark
  std::string last_;
};

}  // namespace qrx::testing
