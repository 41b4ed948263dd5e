#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/env_vars.h"
#include "base/files.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "collector/collection.h"
#include "collector/scheduler.h"
#include "ctl/control_parse.h"
#include "exec/cursor_data.h"
#include "exec/stored_rows.h"
#include "qrx/curs.h"

namespace qrx {
namespace {

constexpr std::size_t kNowTextLength = 14;
// Mode of every history file, whatever the umask.
constexpr mode_t kHistoryMode = 0640;

bool history_wanted(curs& c, int32_t t) {
  if (c.window_close <= t) set_window_c(c, t);
  return c.window_open <= t && c.history && c.history_due && c.hold != 'Y';
}

void add_record(std::string& out, const std::string& stamp, const row_data& row, std::size_t length) {
  out.append(stamp);
  out.append(row.data(), length);
  out.push_back('\n');
}

// The cursor's records for this run: its one-row result once, else its
// current rows in chain order.
std::string history_records(const curs& c, const std::string& stamp) {
  const std::size_t length = c.row_length;
  std::string out;
  if (c.column_data) {
    add_record(out, stamp, *c.column_data, length);
    return out;
  }
  for (const row_data* row = c.stored.first(); row; row = row->next)
    if (in_current_sample(c, *row)) add_record(out, stamp, *row, length);
  return out;
}

// Appends `records` with one write, so that a record is never interleaved or
// split between runs; a failed or short write is cut back off the file.
bool append_whole(int fd, const std::string& records) {
  struct stat st {};
  const bool sized = fstat(fd, &st) == 0;
  std::size_t done = 0;
  while (done < records.size()) {
    ssize_t n = write(fd, records.data() + done, records.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      // When even the cut fails, the log line still names the file.
      if (done > 0 && sized) static_cast<void>(ftruncate(fd, st.st_size) == 0);
      errno = saved;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes one cursor's history; returns 0, or 1 when its file failed (the
// cursor stays due so that its rows are written at the next run).
int write_history(curs& c, const std::string& now_text) {
  const std::string path = env_vars.coll_home + "/" + c.name + ".HST";
  const int fd = open_owned_file(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, kHistoryMode);
  if (fd < 0) {
    PRINT('e', "chi1630", "Can't open %s\n", path.c_str());
    return 1;
  }
  if (c.trace) PRINT('t', "chi1635", "Writing history of cursor %s\n", c.name.c_str());
  int rc = 0;
  if (c.row_length == 0) {
    PRINT('w', "chi1640", "Cursor (%s) needs history but has no length\n", c.name.c_str());
    c.history_due = 0;
  } else {
    const std::string stamp = now_text.substr(0, kNowTextLength);
    if (append_whole(fd, history_records(c, stamp))) {
      c.history_due = 0;
    } else {
      PRINT('e', "chi1645", "Can't write %s: %s\n", path.c_str(), std::strerror(errno));
      rc = 1;
    }
  }
  close(fd);
  return rc;
}

}  // namespace

int do_history(const std::string& now_text) {
  const int32_t t = relative_sec(now_text);
  int rc = 0;
  for (const auto& c : cur_anchor)
    if (history_wanted(*c, t)) rc |= write_history(*c, now_text);
  return rc;
}

}  // namespace qrx
