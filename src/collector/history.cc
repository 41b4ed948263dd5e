#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/env_vars.h"
#include "base/files.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "base/settings.h"
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

// Retention of the history files, off unless set: the size at which a file
// is rotated and how many rotated files are kept (0: all of them).
struct Retention {
  uint32_t rotate_bytes = 0;
  uint32_t keep_files = 0;
};

// The variable's text, empty when unset.
std::string variable_text(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Read again only when the variables' texts change (a reload may set them
// anew), so that a faulty value is reported once, not at every run.
const Retention& retention() {
  static Retention kept;
  static std::optional<std::pair<std::string, std::string>> read_from;
  std::pair<std::string, std::string> texts{variable_text("COLL_HISTORY_ROTATE_SIZE"),
                                            variable_text("COLL_HISTORY_KEEP")};
  if (read_from == texts) return kept;
  constexpr uint32_t kMaxBytes = 0xFFFFFFFFu;
  constexpr uint32_t kMaxFiles = 100000;
  kept.rotate_bytes = env_number("COLL_HISTORY_ROTATE_SIZE", kMaxBytes).value_or(0);
  kept.keep_files = env_number("COLL_HISTORY_KEEP", kMaxFiles).value_or(0);
  read_from = std::move(texts);
  return kept;
}

// Suffix numbers of the rotated files of `path` (path.1, path.2, ...), in
// ascending order: the oldest first.
std::vector<uint64_t> rotated_numbers(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path p(path);
  const std::string prefix = p.filename().string() + ".";
  std::vector<uint64_t> numbers;
  std::error_code ec;
  for (fs::directory_iterator it(p.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(prefix) || name.size() == prefix.size()) continue;
    uint64_t n = 0;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    auto [ptr, err] = std::from_chars(first, last, n);
    if (err == std::errc() && ptr == last && *first != '0') numbers.push_back(n);
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// Renames the history file `path` to the next numbered name and removes the
// oldest rotated files beyond the number kept. One rename moves the whole
// file, so a collector killed at any moment leaves each record in exactly
// one file. Returns false when the file stays (it then grows on).
bool rotate(const std::string& path, uint32_t keep_files) {
  std::vector<uint64_t> numbers = rotated_numbers(path);
  const uint64_t next = numbers.empty() ? 1 : numbers.back() + 1;
  const std::string target = path + "." + std::to_string(next);
  if (std::rename(path.c_str(), target.c_str()) != 0) {
    PRINT('e', "chi1661", "Can't rotate %s to %s: %s\n", path.c_str(), target.c_str(),
          std::strerror(errno));
    return false;
  }
  PRINT('i', "chi1660", "History file %s rotated to %s\n", path.c_str(), target.c_str());
  numbers.push_back(next);
  if (keep_files == 0 || numbers.size() <= keep_files) return true;
  for (std::size_t i = 0; i + keep_files < numbers.size(); ++i) {
    const std::string old = path + "." + std::to_string(numbers[i]);
    if (::unlink(old.c_str()) != 0 && errno != ENOENT)
      PRINT('w', "chi1662", "Can't remove old history file %s: %s\n", old.c_str(),
            std::strerror(errno));
  }
  return true;
}

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
  int fd = open_owned_file(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, kHistoryMode);
  const std::string stamp = now_text.substr(0, kNowTextLength);
  const std::string records = c.row_length == 0 ? std::string() : history_records(c, stamp);
  // A file that this run's records would take past the rotation size is
  // rotated first: files end at a record boundary and a run's records stay
  // together, whatever the record length.
  struct stat st {};
  const Retention& kept = retention();
  if (fd >= 0 && kept.rotate_bytes > 0 && !records.empty() && fstat(fd, &st) == 0 &&
      st.st_size > 0 && static_cast<uint64_t>(st.st_size) + records.size() > kept.rotate_bytes &&
      rotate(path, kept.keep_files)) {
    close(fd);
    fd = open_owned_file(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, kHistoryMode);
  }
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
    if (append_whole(fd, records)) {
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

int do_history(const cursor_set& cursors, const std::string& now_text) {
  const int32_t t = relative_sec(now_text);
  int rc = 0;
  for (const auto& c : cursors.cur_anchor)
    if (history_wanted(*c, t)) rc |= write_history(*c, now_text);
  return rc;
}

}  // namespace qrx
