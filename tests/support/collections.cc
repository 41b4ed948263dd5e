#include "collections.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sstream>

#include <unistd.h>

#include "collector_process.h"

namespace qrx::testing {

void SqliteCollectorTest::TearDown() {
  if (collector_.pid() > 0) collector_.stop(SIGTERM);
  StartupTest::TearDown();
}

std::string SqliteCollectorTest::settings() const {
  return "COLL_SERVERID=" + server_ +
         " COLL_HOSTNAME=host COLL_VERSION=qrx COLL_USESHM=0 COLL_DB_DRIVER=sqlite"
         " COLL_SHUTDOWN_WAIT=0 COLL_WAIT_TIMEOUT=1 WAIT_TIMEOUT=20 ";
}

std::string own_server_id(char letter) {
  static int counter = 0;
  char id[16];
  std::snprintf(id, sizeof id, "%c%05d%02d", letter, static_cast<int>(getpid() % 100000), ++counter % 100);
  return id;
}

std::vector<std::string> probe_csv(const std::string& dir, const std::string& settings,
                                   const std::string& server, const std::string& command) {
  const std::string shell = "cd '" + dir + "' && env -i PATH=/usr/bin:/bin HOME='" + dir +
                            "' USER=tester COLL_HOME='" + dir + "' COLL_CTL_HOME='" + dir +
                            "' COLL_OUT='" + dir + "' COLL_PREFIX='" + dir + "' COLL_PREFIX_LOCAL='" +
                            dir + "' " + settings + " '" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server +
                            " -dbtype qrx --csv " + command + " 2>/dev/null";
  std::vector<std::string> lines;
  if (std::FILE* pipe = popen(shell.c_str(), "r")) {
    char line[8192];
    while (std::fgets(line, sizeof line, pipe)) {
      std::string text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      lines.push_back(text);
    }
    pclose(pipe);
  }
  return lines;
}

std::map<std::string, std::string> cursor_run_times(const std::string& status_csv) {
  std::map<std::string, std::string> times;
  std::istringstream lines(status_csv);
  bool in_cursors = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("name,")) {
      in_cursors = true;
      continue;
    }
    if (!in_cursors) continue;
    if (line.empty() || line.starts_with("D-STATUS") || line.starts_with("distrib_name")) break;
    std::vector<std::string> fields;
    std::istringstream words(line);
    for (std::string f; std::getline(words, f, ',');) fields.push_back(f);
    // name, hold, demand, interval, last_time, ...
    if (fields.size() > 4) times[fields[0]] = fields[4];
  }
  return times;
}

std::vector<std::string> evaluator_values(const std::string& log, const std::string& line,
                                          const std::string& column) {
  // The row follows its line column by column: "#=N,n=NAME,...:VALUE".
  const std::string field = ",n=" + column + ",";
  std::vector<std::string> values;
  std::istringstream in(log);
  bool in_row = false;
  for (std::string l; std::getline(in, l);) {
    if (in_row && l.find(field) != std::string::npos) {
      values.push_back(l.substr(l.rfind(':') + 1));
      in_row = false;
    }
    if (l.ends_with(line)) in_row = true;
  }
  return values;
}

CollectionWaiter::CollectionWaiter(std::function<std::string()> status,
                                   std::vector<std::string> cursors)
    : status_(std::move(status)), cursors_(std::move(cursors)) {}

void CollectionWaiter::mark() {
  // A "get" sets its cursor's time to the time of the request: the mark is
  // the latest time of any cursor, that of a collection or of a request.
  last_ = status_();
  marked_.clear();
  for (const auto& [name, time] : cursor_run_times(last_)) marked_ = std::max(marked_, time);
}

bool CollectionWaiter::next() {
  // Every cursor of a collection gets the collection's start time just
  // before it runs (the times are fixed-width texts of whole seconds, so they
  // compare as texts). A first cursor's time later than the mark began a
  // collection after it; that collection is whole once no later cursor's
  // time is older than the first's.
  const bool came = wait_until([&] {
    last_ = status_();
    std::map<std::string, std::string> times = cursor_run_times(last_);
    const std::string first = times[cursors_.front()];
    if (first.empty() || first <= marked_) return false;
    for (const std::string& c : cursors_)
      if (times[c] < first) return false;
    return true;
  });
  return came;
}

}  // namespace qrx::testing
