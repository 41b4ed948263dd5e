// The named-pipe transport of the channel entry: the collector reads request
// records from its own FIFO and writes each reply into the requester's FIFO.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <span>

#include "agent/comm_entry.h"
#include "agent/request_record.h"
#include "agent/share_memory.h"
#include "base/clock.h"
#include "base/dump.h"
#include "base/env_vars.h"
#include "base/log.h"
#include "base/signals.h"
#include "base/time_text.h"
#include "base/trace.h"

namespace qrx {
namespace {

// This process's pipe ends: one per process, as a process serves or asks one
// collector's pipes.
struct PipeState {
  std::string collector_path;  // the collector's pipe, once named
  int sequence = 0;            // numbers the names of request pipes
  std::string cursor;          // cursor name(s) for error texts, at most 99 characters
};
PipeState pipes;
// Set by the SIGPIPE handler (and by failures it stands for).
volatile sig_atomic_t pipe_error = 0;
volatile sig_atomic_t sigpipe_signal = 0;

enum WaitResult { kReady = 0, kTimedOut = 1, kFailed = 2, kNotReady = 3 };

std::string format(const char* fmt, auto... args) {
  char text[1200];
  std::snprintf(text, sizeof text, fmt, args...);
  return text;
}

void on_sigpipe(int sig) {
  pipe_error = 1;
  sigpipe_signal = sig;
}

void catch_sigpipe(CommAnchor* anchor) {
  struct sigaction action {};
  action.sa_handler = on_sigpipe;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, &anchor->saved_sigpipe);
}

// Reports a SIGPIPE caught during the call (outside the handler, where
// logging is safe) and leaves SIGPIPE ignored.
void ignore_sigpipe() {
  if (sigpipe_signal != 0) {
    PRINT('e', "com0150", "%s:%d handle_pipe_error sig_val=%d\n Cursor=%s", __FILE__, __LINE__,
          static_cast<int>(sigpipe_signal), pipes.cursor.c_str());
    sigpipe_signal = 0;
  }
  std::signal(SIGPIPE, SIG_IGN);
}

bool path_exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string name_part(const std::string& value) { return value.empty() ? "" : value + "_"; }

// The channel's temporary directory with the separator after it: every FIFO
// of the channel is named by it and one more name.
std::string channel_dir_prefix() { return env_vars.localtmpdir + "/"; }

// How the names of this server's probe FIFOs begin.
std::string probe_name_prefix() {
  return "prb_" + name_part(env_vars.serverid) + name_part(env_vars.db_type) +
         name_part(env_vars.hostname);
}

}  // namespace

std::string new_probe_path() {
  const std::string prefix = channel_dir_prefix() + probe_name_prefix();
  for (;;) {
    pipes.sequence = pipes.sequence >= 9999 ? 0 : pipes.sequence + 1;
    const std::tm tm = u_localtime(the_clock().now());
    const std::string path = prefix + format("%02d%02d%02d%02d%s%04d%s%s", tm.tm_mday, tm.tm_hour,
                                             tm.tm_min, tm.tm_sec, "_", pipes.sequence, "_",
                                             "pipe");
    if (!path_exists(path)) return path;
  }
}

namespace {

// Makes the FIFO at `path` and opens it for reading, plus a write end kept
// open so that an empty pipe waits instead of reading end-of-file. Neither
// open follows a link planted under the name, and only a FIFO of this user
// is kept (and given its mode).
int open_own_fifo(const std::string& path, int& read_fd, int& write_fd) {
  if (::mkfifo(path.c_str(), kChannelMode) != 0 && errno != EEXIST) return 1;
  read_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (read_fd < 0) return 2;
  struct stat st {};
  if (fstat(read_fd, &st) != 0 || !S_ISFIFO(st.st_mode) || st.st_uid != geteuid() ||
      fchmod(read_fd, kChannelMode) != 0) {
    ::close(read_fd);
    read_fd = -1;
    errno = EPERM;
    return 2;
  }
  write_fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
  return write_fd < 0 ? 2 : 0;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The group of the channel: that of the collector's own FIFO.
gid_t channel_group(const CommAnchor& anchor) {
  struct stat st {};
  return anchor.coll_fd >= 0 && ::fstat(anchor.coll_fd, &st) == 0 ? st.st_gid : ::getegid();
}

// True when `st` belongs to the collector's user or to the channel's group.
bool owned_by_channel(const struct stat& st, gid_t group) {
  return st.st_uid == ::geteuid() || st.st_gid == group;
}

// Why a reply path is refused (message com0205); kAccepted when it is not.
enum Refusal {
  kAccepted = -1,
  kOutside,
  kOwnPipe,
  kNotFifo,
  kForeignOwner,
  kOpenToOthers,
  kReplaced,
};
const char* const kRefusals[] = {
    "outside the channel directory", "the collector's own pipe", "not a FIFO",
    "owned by another user and group", "open to others", "replaced while it was opened",
};

Refusal check_reply_fifo(const struct stat& st, gid_t group) {
  if (!S_ISFIFO(st.st_mode)) return kNotFifo;
  if (!owned_by_channel(st, group)) return kForeignOwner;
  if (st.st_mode & S_IRWXO) return kOpenToOthers;
  return kAccepted;
}

// Opens the requester's FIFO `path` for the reply. The path comes from a
// client: only a FIFO of the channel's directory, user or group and closed
// to others is written, so that no other file can be overwritten. Returns the
// descriptor, or -1 with `refusal` set or, when it is kAccepted, with errno.
int open_reply_pipe(const CommAnchor& anchor, const std::string& path, Refusal& refusal) {
  const std::string dir = channel_dir_prefix();
  const std::string name = path.starts_with(dir) ? path.substr(dir.size()) : "";
  refusal = name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos
                ? kOutside
                : kAccepted;
  if (refusal != kAccepted) return -1;
  struct stat before {}, own {};
  if (::lstat(path.c_str(), &before) != 0) return -1;
  const gid_t group = channel_group(anchor);
  refusal = check_reply_fifo(before, group);
  if (refusal == kAccepted && anchor.coll_fd >= 0 && ::fstat(anchor.coll_fd, &own) == 0 &&
      own.st_dev == before.st_dev && own.st_ino == before.st_ino)
    refusal = kOwnPipe;
  if (refusal != kAccepted) return -1;
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return -1;
  struct stat after {};
  if (::fstat(fd, &after) != 0 || after.st_dev != before.st_dev ||
      after.st_ino != before.st_ino || check_reply_fifo(after, group) != kAccepted) {
    ::close(fd);
    refusal = kReplaced;
    return -1;
  }
  return fd;
}

// Seconds a probe FIFO without a reader must have stood unchanged before it
// counts as left behind: a live probe opens its FIFO right after making it.
constexpr std::time_t kStaleProbeSeconds = 60;

// Removes the FIFOs of this server's probes that died without removing them:
// old ones that no process holds open for reading.
void remove_stale_probe_pipes(const CommAnchor& anchor) {
  const std::string dir = channel_dir_prefix();
  const std::string prefix = probe_name_prefix();
  const gid_t group = channel_group(anchor);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix) || !name.ends_with("_pipe")) continue;
    const std::string path = dir + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode) || !owned_by_channel(st, group) ||
        st.st_mtime > the_clock().now() - kStaleProbeSeconds)
      continue;
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
    if (fd >= 0) {
      ::close(fd);
      continue;
    }
    if (errno == ENXIO && ::unlink(path.c_str()) == 0)
      PRINT('i', "com0206", "Removed stale probe pipe %s\n", path.c_str());
  }
}

using Deadline = std::chrono::steady_clock::time_point;

// Milliseconds left until `deadline`, never below 0.
int millis_left(Deadline deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

WaitResult wait_for_read(CommAnchor* anchor, int fd, Deadline deadline) {
  for (int retries = 0;; ++retries) {
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, millis_left(deadline));
    if (n > 0) return (p.revents & POLLIN) ? kReady : kNotReady;
    if (n == 0) return kTimedOut;
    if (errno == EINTR && retries < 10 && !go_home) {
      the_clock().sleep_seconds(1);
      continue;
    }
    pipe_error = 1;
    const int err = errno;
    PRINT('t', "com0155", "%s:%d select failed errno=%d-%s pipe_fd=%d\n", __FILE__, __LINE__, err,
          std::strerror(err), fd);
    PRINT('t', "com0156", "  Pipe name=%s.\n", anchor->probe_path.c_str());
    if (anchor->side == 'P' && !path_exists(anchor->probe_path)) {
      PRINT('w', "com0165", "%s: Pipe is gone\n", channel_time_text().c_str());
    }
    return kFailed;
  }
}

// `wait_timeout` seconds from now: what one reply (or request) has in all to
// be written, however the reader takes it.
Deadline transfer_deadline() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(wait_timeout);
}

WaitResult wait_for_write(int fd, Deadline deadline) {
  pipe_error = 0;
  pollfd p{fd, POLLOUT, 0};
  const int n = ::poll(&p, 1, millis_left(deadline));
  if (n > 0 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP))) return kReady;
  pipe_error = 1;
  return n == 0 ? kTimedOut : kReady;
}

enum WriteResult { kWritten, kWriteTimedOut, kWaitError, kWriteError };

// Writes all `size` bytes by `deadline`, waiting whenever the pipe is full.
WriteResult write_all(int fd, const char* bytes, size_t size, int& err, Deadline deadline) {
  while (size > 0) {
    const WaitResult w = wait_for_write(fd, deadline);
    if (w == kTimedOut) return kWriteTimedOut;
    if (pipe_error) return kWaitError;
    const ssize_t n = ::write(fd, bytes, size);
    if (n > 0) {
      bytes += n;
      size -= static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      err = errno;
      pipe_error = 1;
      return kWriteError;
    }
  }
  return kWritten;
}

enum ReadResult { kRead, kReadTimedOut, kReadFailed };

// Reads exactly `size` bytes from `fd` by `deadline`, waiting before each attempt.
ReadResult read_all(CommAnchor* anchor, int fd, char* bytes, size_t size, int& wait_rc,
                    Deadline deadline) {
  while (size > 0) {
    const WaitResult w = wait_for_read(anchor, fd, deadline);
    if (w == kTimedOut) return kReadTimedOut;
    if (w != kReady) {
      wait_rc = w;
      return kReadFailed;
    }
    const ssize_t n = ::read(fd, bytes, size);
    if (n > 0) {
      bytes += n;
      size -= static_cast<size_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      wait_rc = kFailed;
      return kReadFailed;
    }
  }
  return kRead;
}

// Takes one well-framed request record into the blocks.
void take_record(CommAnchor* anchor, std::span<const char> record) {
  if (trace_level(7)) {
    PRINT('t', "com0202", "pipe buffer:\n");
    u_print_dumpx("com0202", record.data(), record.size());
  }
  const ParsedRequest parsed = parse_data_request(record);
  if (!parsed.ok || parsed.name.size() > static_cast<size_t>(kMaxCursorName)) {
    set_comm_error(anchor, 4,
                   format("Pipe cursor length error. Pipe=%s", anchor->coll_path.c_str()));
    return;
  }
  pipes.cursor = parsed.name;
  anchor->probe_path = parsed.path;
  anchor->parameters = parsed.params;
  add_request_block(*anchor, std::vector<char>(record.begin(), record.end()), parsed.path);
}

// Clients write each record in one piece (records are shorter than
// PIPE_BUF, so a write is never split), and the pipe holds them back to back;
// a client that died halfway or lied about a length leaves bytes that are no
// record. A record is taken only when a whole, well-formed one starts where
// the previous ended; otherwise reading goes on at the next place where one
// starts.

// True when a whole record with a cursor name of 1 to 8 characters starts at
// `at` of `bytes`.
bool record_starts_at(std::span<const char> bytes, size_t at) {
  if (bytes.size() - at < 4) return false;
  uint16_t total, name_len;
  std::memcpy(&total, bytes.data() + at, 2);
  std::memcpy(&name_len, bytes.data() + at + 2, 2);
  return total < kMaxPipeRecord && total <= bytes.size() - at && name_len >= 1 &&
         name_len <= kMaxCursorName && whole_request(bytes.subspan(at, total));
}

enum class Framing { kRecord, kBadLength, kMalformed };

// What starts at `at` of `bytes`; `total` gets the length field.
Framing frame_at(std::span<const char> bytes, size_t at, uint16_t& total) {
  total = 0;
  if (bytes.size() - at < 4) return Framing::kMalformed;
  std::memcpy(&total, bytes.data() + at, 2);
  if (total < 7 || total >= kMaxPipeRecord) return Framing::kBadLength;
  if (total > bytes.size() - at || !whole_request(bytes.subspan(at, total)))
    return Framing::kMalformed;
  // A record starting inside this one means this one is a cut-off write and
  // its length reaches into the next client's record.
  for (size_t inner = at + 1; inner < at + total; ++inner)
    if (record_starts_at(bytes, inner)) return Framing::kMalformed;
  return Framing::kRecord;
}

// Everything waiting in the collector's pipe, at most kDrainLimit bytes (a
// flood beyond that loses the one record the limit cuts).
std::vector<char> drain_pipe(int fd) {
  constexpr size_t kDrainLimit = 1 << 20;
  std::vector<char> bytes;
  char chunk[4096];
  while (bytes.size() < kDrainLimit) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

// Takes every record in `bytes`, skipping what is not one.
void take_records(CommAnchor* anchor, std::span<const char> bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    uint16_t total = 0;
    const Framing framing = frame_at(bytes, at, total);
    if (framing == Framing::kRecord) {
      take_record(anchor, bytes.subspan(at, total));
      at += total;
      continue;
    }
    size_t next = at + 1;
    while (next < bytes.size() && !record_starts_at(bytes, next)) ++next;
    if (framing == Framing::kBadLength) {
      PRINT('e', "com0203", "request length error, size=%d\n", static_cast<int>(total));
    } else {
      PRINT('e', "com0204", "Malformed request record, %d bytes skipped. Pipe=%s\n",
            static_cast<int>(next - at), anchor->coll_path.c_str());
    }
    at = next;
  }
}

// Takes every request waiting in the collector's pipe, so that equal
// requests from several requesters share one block.
std::vector<CursList>* collector_get(CommAnchor* anchor) {
  anchor->error_code = 0;
  anchor->blocks.clear();
  if (!path_exists(anchor->coll_path)) {
    close_fd(anchor->coll_fd);
    close_fd(anchor->extra_fd);
    if (open_own_fifo(anchor->coll_path, anchor->coll_fd, anchor->extra_fd) != 0) return nullptr;
  }
  take_records(anchor, drain_pipe(anchor->coll_fd));
  return anchor->blocks.empty() ? nullptr : &anchor->blocks;
}

}  // namespace

int pipe_wait_for_request(CommAnchor* anchor, int milliseconds) {
  if (anchor->coll_fd < 0) return -1;
  // The signal handler's wake pipe ends the wait as a signal does.
  pollfd p[2] = {{anchor->coll_fd, POLLIN, 0}, {signal_wake_fd(), POLLIN, 0}};
  const int n = ::poll(p, p[1].fd >= 0 ? 2 : 1, milliseconds < 0 ? 0 : milliseconds);
  if (n > 0 && (p[0].revents & POLLIN)) return 1;
  if (n > 0 && (p[1].revents & POLLIN)) woken_by_signal();
  // A pipe error is left to the next "get", which reopens the pipe.
  return n < 0 && errno != EINTR ? -1 : 0;
}

namespace {

std::vector<CursList>* collector_put(CommAnchor* anchor) {
  pipe_error = 0;
  // A requester that is gone or stalls costs only its own reply: the others
  // of the batch are still answered, and the first failure is reported.
  bool open_failed = false, write_failed = false;
  const auto fail = [&](int code, const std::string& text) {
    if (!open_failed && !write_failed) set_comm_error(anchor, code, text);
  };
  for (CursList& block : anchor->blocks) {
    pipes.cursor = block.name;
    const char* cursor = block.name.c_str();
    for (const std::string& requester : block.requesters) {
      anchor->probe_path = requester;
      Refusal refusal = kAccepted;
      const int fd = open_reply_pipe(*anchor, requester, refusal);
      if (refusal != kAccepted) {
        PRINT('e', "com0205", "Reply pipe refused (%s). Pipe=%s cursor=%s\n", kRefusals[refusal],
              requester.c_str(), cursor);
        continue;
      }
      if (fd < 0) {
        fail(3, format("Open Probe pipe errno= %d. Pipe=%s. cursor=%s", errno, requester.c_str(),
                       cursor));
        open_failed = true;
        continue;
      }
      const size_t size = static_cast<size_t>(block.numrow) * static_cast<size_t>(block.lenrow);
      const bool whole = block.numrow > 0 && block.lenrow > 0 && block.data.size() >= size;
      const StreamHeader header{whole ? block.numrow : 0, whole ? block.lenrow : 0};
      if (trace_level(6)) {
        PRINT('t', "com0111", "collector open rqs pipe to write(success):%d\n", fd);
        PRINT('t', "com0112", "header rows=%d, len=%d\n", header.rows, header.length);
      }
      int err = 0;
      const Deadline deadline = transfer_deadline();
      WriteResult w =
          write_all(fd, reinterpret_cast<const char*>(&header), sizeof header, err, deadline);
      const bool in_rows = w == kWritten;
      if (w == kWritten && whole) w = write_all(fd, block.data.data(), size, err, deadline);
      ::close(fd);
      if (w == kWriteTimedOut) {
        fail(1, in_rows ? format("Data Collector Wait Timeout. Is collector still there? "
                                 "Cursor=%s", cursor)
                        : format("Data Collector Wait Timeout.  Is collector still there? "
                                 "Cursor= %s", cursor));
        write_failed = true;
        continue;
      }
      if (w != kWritten) {
        if (trace_level(0)) {
          if (in_rows) {
            PRINT('t', "com0140", "%s:%d Pipe error in wait_for_write \n", __FILE__, __LINE__);
          } else {
            PRINT('t', "com0130", "%s:%d Pipe error in wait_for_write. Cursor= %s \n", __FILE__,
                  __LINE__, cursor);
          }
        }
        fail(1, in_rows ? format("Data Collector Wait error. Cursor=%s", cursor)
                        : format("Data Collector Wait error. Cursor=%s.", cursor));
        write_failed = true;
      }
    }
  }
  // The chain stays for the caller after a failure; the next "get" frees it.
  if (open_failed) return &anchor->blocks;
  if (write_failed) return nullptr;
  const std::string name = anchor->blocks.empty() ? "" : anchor->blocks.front().name;
  anchor->blocks.clear();
  if (channel_trace()) {
    PRINT('t', "com2010", "put_request() %8.8s pipe=%s\n", name.c_str(),
          anchor->probe_path.c_str());
  }
  return nullptr;
}

// Writes one request record into the collector's pipe by `deadline`; 0 or
// the error code.
int probe_send(CommAnchor* anchor, const CursList& block, Deadline deadline) {
  const char* cursors = pipes.cursor.c_str();
  int fd = -1;
  for (int attempt = 0; attempt < 10; ++attempt) {
    fd = ::open(anchor->coll_path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0 || millis_left(deadline) < 1000) break;
    if (attempt < 9) the_clock().sleep_seconds(1);
  }
  if (fd < 0) {
    set_comm_error(anchor, 3, format("Open Pipe errorno %d. Pipe=%s Cursor=%s", errno,
                                     anchor->coll_path.c_str(), cursors));
    return 3;
  }
  anchor->coll_fd = fd;
  int err = 0;
  pipe_error = 0;
  const WriteResult w =
      write_all(fd, block.pipe_buf.data(), block.pipe_buf.size(), err, deadline);
  close_fd(anchor->coll_fd);
  switch (w) {
    case kWritten:
      return 0;
    case kWriteTimedOut:
      set_comm_error(anchor, 1, kNoAnswer);
      return 1;
    case kWaitError:
      if (trace_level(0)) {
        PRINT('t', "com0145", "%s:%d pipe error in wait_for_write. Cursor=%s\n", __FILE__,
              __LINE__, cursors);
      }
      set_comm_error(anchor, 1, format("Data Collector Wait error. Cursor=%s", cursors));
      return 1;
    case kWriteError:
      break;
  }
  set_comm_error(anchor, 3, format("Write Pipe error %d. Pipe=%s Cursor=%s", err,
                                   anchor->coll_path.c_str(), cursors));
  return 3;
}

std::vector<CursList>* probe_ask(CommAnchor* anchor, const char* cursors, int timeout) {
  const Deadline deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(std::max(timeout, 0));
  anchor->error_code = 0;
  build_probe_blocks(anchor, cursors, anchor->probe_path);
  pipes.cursor = anchor->cursor_list;
  if (!path_exists(anchor->probe_path)) {
    close_fd(anchor->probe_fd);
    close_fd(anchor->extra_fd);
    if (open_own_fifo(anchor->probe_path, anchor->probe_fd, anchor->extra_fd) != 0) return nullptr;
  }
  for (const CursList& block : anchor->blocks) {
    if (probe_send(anchor, block, deadline) != 0) return nullptr;
  }
  for (CursList& block : anchor->blocks) {
    StreamHeader header{};
    int wait_rc = 0;
    ReadResult r = read_all(anchor, anchor->probe_fd, reinterpret_cast<char*>(&header),
                            sizeof header, wait_rc, deadline);
    if (r == kReadTimedOut) {
      set_comm_error(anchor, 1, kNoAnswer);
      return nullptr;
    }
    if (r != kRead) {
      PRINT('t', "com0120", "%s:%d Pipe error in wait_for_read:ret=%d Cursor=%s\n", __FILE__,
            __LINE__, wait_rc, block.name.c_str());
      set_comm_error(anchor, 1, "Data Collector Wait error.");
      return nullptr;
    }
    block.numrow = header.rows;
    block.lenrow = header.length;
    block.data.clear();
    if (header.rows <= 0) continue;
    if (header.length < 0 || static_cast<int64_t>(header.rows) * header.length > (int64_t{1} << 31)) {
      set_comm_error(anchor, 1, "Data Collector Wait error.");
      return nullptr;
    }
    block.data.resize(static_cast<size_t>(header.rows) * static_cast<size_t>(header.length));
    r = read_all(anchor, anchor->probe_fd, block.data.data(), block.data.size(), wait_rc,
                 deadline);
    if (r == kReadTimedOut) {
      set_comm_error(anchor, 1, kNoAnswer);
      return nullptr;
    }
    if (r != kRead) {
      if (trace_level(0)) {
        PRINT('t', "com0125", "%s:%d get_curs_data() Pipe error in wait_for_read: ret=%d  \n",
              __FILE__, __LINE__, wait_rc);
      }
      set_comm_error(anchor, 1, "Data Collector Wait error.");
      return nullptr;
    }
  }
  return &anchor->blocks;
}

}  // namespace

std::string collector_pipe_path() {
  if (pipes.collector_path.empty()) {
    std::string dir = env_vars.localtmpdir.empty() ? "" : env_vars.localtmpdir + "/";
    pipes.collector_path = dir + "col_" + name_part(env_vars.serverid) +
                            name_part(env_vars.db_type) + "pipe";
  }
  return pipes.collector_path;
}

bool pipe_collector_absent() {
  const std::string path = collector_pipe_path();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR;
  if (!S_ISFIFO(st.st_mode)) return true;
  // A FIFO that nobody reads refuses a writer that will not wait (ENXIO).
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENXIO || errno == ENOENT;
  ::close(fd);
  return false;
}

void reset_pipe_state() {
  pipes = PipeState{};
  pipe_error = 0;
  sigpipe_signal = 0;
}

CommAnchor* pipe_init_collector() {
  if (wait_timeout == 0) wait_timeout = get_timeout_value("COLL_WAIT_TIMEOUT", 5);
  auto* anchor = new CommAnchor;
  anchor->side = 'C';
  anchor->coll_path = collector_pipe_path();
  ::unlink(anchor->coll_path.c_str());
  const int rc = open_own_fifo(anchor->coll_path, anchor->coll_fd, anchor->extra_fd);
  if (rc != 0) {
    const std::string text =
        rc == 1 ? format("Create Pipe error %d. Pipe=%s", errno, anchor->coll_path.c_str())
                : format("Open Pipe error %d. Pipe=%s cursor=%s", errno,
                         anchor->coll_path.c_str(), "");
    PRINT('e', rc == 1 ? "com0110" : "com0115", "%s\n", text.c_str());
    pipe_term(anchor);
    return nullptr;
  }
  remove_stale_probe_pipes(*anchor);
  return anchor;
}

CommAnchor* pipe_init_probe() {
  if (wait_timeout == 0) wait_timeout = get_timeout_value("WAIT_TIMEOUT", 45);
  auto* anchor = new CommAnchor;
  anchor->side = 'P';
  anchor->coll_path = collector_pipe_path();
  // Another probe starting in the same second may take the name first.
  int made = -1;
  for (int attempt = 0; attempt < 100 && made != 0; ++attempt) {
    anchor->probe_path = new_probe_path();
    made = ::mkfifo(anchor->probe_path.c_str(), kChannelMode);
    if (made != 0 && errno != EEXIST) break;
  }
  if (made != 0) {
    PRINT('e', "com0110", "Create Pipe error %d. Pipe=%s", errno, anchor->probe_path.c_str());
    delete anchor;
    return nullptr;
  }
  if (channel_trace()) {
    PRINT('t', "com2005", "init_probe() Created pipe=%s\n", anchor->probe_path.c_str());
  }
  if (open_own_fifo(anchor->probe_path, anchor->probe_fd, anchor->extra_fd) != 0) {
    const int err = errno;
    PRINT('e', "com0115", "Open Pipe error %d-%s. Pipe=%s\n", err, std::strerror(err),
          anchor->probe_path.c_str());
    pipe_term(anchor);
    return nullptr;
  }
  return anchor;
}

std::vector<CursList>* pipe_ask(CommAnchor* anchor, const char* cursors, int timeout) {
  catch_sigpipe(anchor);
  std::vector<CursList>* blocks = probe_ask(anchor, cursors, timeout);
  ignore_sigpipe();
  return blocks;
}

std::vector<CursList>* pipe_get(CommAnchor* anchor) {
  catch_sigpipe(anchor);
  std::vector<CursList>* blocks = collector_get(anchor);
  ignore_sigpipe();
  if (blocks && channel_trace()) {
    PRINT('t', "com2010", "get_request() %.8s pipe=%s\n", blocks->front().name.c_str(),
          anchor->probe_path.c_str());
  }
  return blocks;
}

std::vector<CursList>* pipe_put(CommAnchor* anchor) {
  catch_sigpipe(anchor);
  std::vector<CursList>* blocks = collector_put(anchor);
  ignore_sigpipe();
  return blocks;
}

int pipe_term(CommAnchor* anchor) {
  if (anchor->side != 'P' && anchor->side != 'C') return 0;
  close_fd(anchor->probe_fd);
  close_fd(anchor->coll_fd);
  close_fd(anchor->extra_fd);
  ::unlink(anchor->side == 'C' ? anchor->coll_path.c_str() : anchor->probe_path.c_str());
  std::signal(SIGPIPE, SIG_IGN);
  delete anchor;
  return 0;
}

}  // namespace qrx
