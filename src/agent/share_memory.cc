#include "agent/share_memory.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "agent/comm_entry.h"
#include "base/clock.h"
#include "base/env_vars.h"
#include "base/files.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/signals.h"

namespace qrx {

ShareCommObject* g_pCommObjectRequest = nullptr;
ShareCommObject* g_pCommObjectData = nullptr;

namespace {

// How long a leaving collector waits for its last reply to be read.
constexpr int kLeaveReadWaitMs = 2000;

// True when process `pid` has ended but was not yet waited for: it holds no
// attachment any more and will never serve the channel again.
bool is_zombie(int pid) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  std::FILE* f = std::fopen(path, "r");
  if (!f) return false;
  char line[512];
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  // The state letter follows the command name, which may itself hold ')'.
  const char* close = read ? std::strrchr(line, ')') : nullptr;
  return close && close[1] == ' ' && (close[2] == 'Z' || close[2] == 'X');
}

bool kill_probe(int pid) {
  return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM) && !is_zombie(pid);
}

// This process's attachment to the channel: one per process, as a process
// attaches to one channel at most.
struct ChannelState {
  RequestSegment* request = nullptr;  // the attached segments
  DataSegment* data = nullptr;
  int request_counter = 0;
  ProcessProbe probe = kill_probe;
  // The process that created the channel and claimed it as its collector: it
  // removes the channel when it leaves, whoever else is still attached.
  pid_t creator = 0;
  bool claimed = false;
};
ChannelState channel;

// Mode of the IPC id file and its lock file, whatever the umask.
constexpr mode_t kIdFileMode = 0600;

int32_t now32() { return static_cast<int32_t>(the_clock().now()); }

// Copies at most `max` bytes of `text` into a cleared field of `size` bytes.
void put_field(char* field, size_t size, const std::string& text, size_t max) {
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), std::min(text.size(), max));
}

std::string get_field(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

// The longest request time-out, as the time-out reader caps it.
constexpr int32_t kLongestTimeout = 600;

// What the channel's creator writes into the request time-out field.
int32_t default_request_timeout() { return get_timeout_value("WAIT_TIMEOUT", 45); }

// The request time-out field. A value no request could mean, left there by
// another process, would refuse or keep every later request: it is put
// back to the default ("ush0600").
int32_t request_timeout(RequestSegment& segment) {
  const int32_t value = segment.timeout;
  if (value >= 1 && value <= kLongestTimeout) return value;
  const int32_t fallback = default_request_timeout();
  PRINT('w', "ush0600", "Request time-out %d out of range, using %d\n", value, fallback);
  segment.timeout = fallback;
  return fallback;
}

// Reads owner pid, writer pid and the four ids from the id file; false when
// there is none this process can trust (missing, a link, not a regular
// file, another user's: the last three are reported).
bool read_id_file(const char* id_file, int pids[2], int ids[4]) {
  const int fd = open_owned_file(id_file, O_RDONLY, kIdFileMode);
  if (fd < 0) {
    if (errno != ENOENT)
      PRINT('w', "ush0580", "IPC file %s not used: %s\n", id_file, std::strerror(errno));
    return false;
  }
  std::FILE* f = fdopen(fd, "r");
  if (!f) {
    ::close(fd);
    return false;
  }
  const int n = std::fscanf(f, "%d %d %d %d %d %d", &pids[0], &pids[1], &ids[0], &ids[1],
                            &ids[2], &ids[3]);
  std::fclose(f);
  return n == 6;
}

// Replaces the id file by a new one holding one line. Whatever stands under
// the name, a planted link included, is removed first; the lock file keeps
// other channel users away meanwhile. False when the file cannot be made.
bool write_id_file(const char* id_file, const int pids[2], const int ids[4]) {
  ::unlink(id_file);
  const int fd = open_owned_file(id_file, O_WRONLY | O_CREAT | O_EXCL, kIdFileMode);
  if (fd < 0) {
    PRINT('w', "ush0580", "IPC file %s not used: %s\n", id_file, std::strerror(errno));
    return false;
  }
  char line[128];
  const int n = std::snprintf(line, sizeof line, "%d %d %d %d %d %d\n", pids[0], pids[1], ids[0],
                              ids[1], ids[2], ids[3]);
  const bool written = ::write(fd, line, n) == n;
  return ::close(fd) == 0 && written;
}

// True for the error of removing what another process removed just before.
bool already_removed(int err) { return err == EINVAL || err == EIDRM; }

// True for a unique id that a client holding the exchange made (it ends in
// "@PID"): no such client waits for it while another holds the exchange.
bool taken_under_exchange(const std::string& unique) {
  const size_t at = unique.rfind('@');
  return at != std::string::npos && at + 1 < unique.size() &&
         unique.find_first_not_of("0123456789", at + 1) == std::string::npos;
}

// Removes a segment left by dead processes when it still looks like ours.
void remove_stale_segment(int shmid, size_t size) {
  shmid_ds info{};
  if (shmid < 0 || shmctl(shmid, IPC_STAT, &info) != 0) return;
  if (info.shm_segsz != size || info.shm_perm.uid != geteuid()) return;
  shmctl(shmid, IPC_RMID, nullptr);
}

void remove_stale_semaphores(int semid) {
  semid_ds info{};
  if (semid < 0 || semctl(semid, 0, IPC_STAT, &info) != 0) return;
  if (info.sem_nsems < 2 || info.sem_nsems > 3 || info.sem_perm.uid != geteuid()) return;
  semctl(semid, 0, IPC_RMID);
}

}  // namespace

// ---- QRXSemaphore

QRXSemaphore::QRXSemaphore(key_t key, int count, int flags) {
  semid_ = semget(key, count, flags);
  if (semid_ < 0) PRINT('e', "ush0024", "Failed to create semaphore: %s", std::strerror(errno));
}

QRXSemaphore::QRXSemaphore(int number, int count, QRXShareKeyType key_type) {
  if (key_type != kShareByKey) {
    semid_ = number;
    return;
  }
  semid_ = semget(number, count, 0);
  if (semid_ < 0) PRINT('e', "ush0025", "Failed to get semaphore: %s\n", std::strerror(errno));
}

int QRXSemaphore::SemOp(sembuf* ops, int count) {
  if (semop(semid_, ops, count) == 0) return 0;
  if (errno == EAGAIN && (ops[0].sem_flg & IPC_NOWAIT)) return -1;
  PRINT('e', "ush0027", "semop() failed: %s\n", std::strerror(errno));
  return -1;
}

int QRXSemaphore::SemTimedOp(sembuf* ops, int count, int timeout, bool reload_ends) {
  using namespace std::chrono;
  return SemOpUntil(ops, count, steady_clock::now() + seconds(std::max(timeout, 0)), reload_ends);
}

int QRXSemaphore::SemOpUntil(sembuf* ops, int count, Deadline deadline, bool reload_ends) {
  using namespace std::chrono;
  for (;;) {
    if (reload_ends && signal_waiting()) return kShareTimeout;
    auto left = duration_cast<nanoseconds>(deadline - steady_clock::now());
    // A signal that lands just before the wait begins interrupts nothing:
    // the wait goes in slices, so that it is seen within one.
    if (reload_ends) left = std::min<nanoseconds>(left, seconds(1));
    if (left.count() <= 0) {
      // Out of time: one last try that does not wait.
      for (int i = 0; i < count; ++i) ops[i].sem_flg |= IPC_NOWAIT;
      if (semop(semid_, ops, count) == 0) return 0;
      if (errno == EAGAIN) return kShareTimeout;
      PRINT('e', "ush0027", "semop() failed: %s\n", std::strerror(errno));
      return kShareFailure;
    }
    timespec ts{static_cast<time_t>(left.count() / 1000000000),
                static_cast<long>(left.count() % 1000000000)};
    if (semtimedop(semid_, ops, count, &ts) == 0) return 0;
    if (errno == EAGAIN && reload_ends && steady_clock::now() < deadline) continue;  // a slice
    if (errno == EAGAIN) return kShareTimeout;
    // A terminating signal ends the wait (with `reload_ends` a reload request
    // too); any other signal resumes it.
    if (errno == EINTR && !(reload_ends ? signal_waiting() : go_home != 0)) continue;
    if (errno == EINTR) return kShareTimeout;
    PRINT('e', "ush0027", "semop() failed: %s\n", std::strerror(errno));
    return kShareFailure;
  }
}

int QRXSemaphore::SemCtl(int semnum, int cmd, unsigned short* values) {
  if (semctl(semid_, semnum, cmd, values) == 0) return 0;
  PRINT('e', "ush0026", "semctl() failed: %s\n", std::strerror(errno));
  return -1;
}

std::array<int, 2> QRXSemaphore::Values() {
  unsigned short v[2];
  if (semid_ < 0 || semctl(semid_, 0, GETALL, v) != 0) return {-1, -1};
  return {v[0], v[1]};
}

// ---- QRXShareMemory

QRXShareMemory::QRXShareMemory(int size, key_t key, int flags, bool attach) {
  shmid_ = shmget(key, size, flags);
  if (shmid_ < 0) {
    PRINT('e', "ush0016", "Failed to construct QRXShareMemory(): %s\n", std::strerror(errno));
    return;
  }
  if (attach && Attach()) static_cast<int32_t*>(address_)[0] = 1;
}

QRXShareMemory::QRXShareMemory(int number, QRXShareKeyType key_type) {
  shmid_ = key_type == kShareByKey ? shmget(number, 0, 0) : number;
  if (shmid_ < 0) {
    PRINT('e', "ush0017", "Failed to construct QRXShareMemory(): %s\n", std::strerror(errno));
    return;
  }
  if (Attach()) __atomic_add_fetch(static_cast<int32_t*>(address_), 1, __ATOMIC_SEQ_CST);
}

QRXShareMemory::~QRXShareMemory() {
  if (!attached_) return;
  // The count in the segment is kept for the other side, but whether anyone
  // is still attached is the system's count: a killed process or one that
  // wrote the count cannot leave that wrong.
  __atomic_sub_fetch(static_cast<int32_t*>(address_), 1, __ATOMIC_SEQ_CST);
  if (shmdt(address_) != 0) {
    PRINT('e', "ush0018", "Failed to detach share memory: %s\n", std::strerror(errno));
  }
  shmid_ds info{};
  const bool deserted = shmctl(shmid_, IPC_STAT, &info) == 0 && info.shm_nattch == 0;
  if (!deserted && !remove_when_leaving_) return;
  if (shmctl(shmid_, IPC_RMID, nullptr) != 0 && !already_removed(errno)) {
    PRINT('e', "ush0019", "Failed to remove share memory: %s\n", std::strerror(errno));
  }
  if (remove_semid_ >= 0 && semctl(remove_semid_, 0, IPC_RMID) != 0 && !already_removed(errno)) {
    PRINT('e', "ush0020", "Failed to remove share memory: %s\n", std::strerror(errno));
  }
}

void* QRXShareMemory::Attach() {
  if (attached_) return address_;
  void* address = shmat(shmid_, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    PRINT('e', "ush0021", "Failed to attach share memory: %s\n", std::strerror(errno));
    return nullptr;
  }
  address_ = address;
  attached_ = true;
  return address_;
}

// ---- QRXRequest

QRXRequest::QRXRequest(const char* name, const std::vector<std::string>& params, const char* data)
    : name_(name ? name : ""), data_(data ? data : ""), params_(params) {
  // The process id keeps two clients asking in the same second apart; at
  // most 14 + 35 characters, within the field.
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, "-%.12d-%.4d@%d", static_cast<int>(the_clock().now()),
                ++channel.request_counter, static_cast<int>(getpid()));
  unique_ = name_ + suffix;
}

// ---- ShareCommObject

ShareCommObject::ShareCommObject(QRXShareType type, int size, key_t key, bool attach,
                                 int sem_flags, int shm_flags)
    : QRXShareMemory(size, key, shm_flags, attach),
      QRXSemaphore(key, type == kRequestShare ? 3 : 2, sem_flags) {
  if (IsShmGood() && IsSemGood()) {
    init(size, type, true);
    if (ResetSemaphore(type) != 0 ||
        (type == kRequestShare && semctl(semid_, kExchangeSemaphore, SETVAL, 1) != 0))
      PRINT('e', "ush0022", "Failed to initialize semaphore\n");
  }
  SetSemIdToRemove(GetSemID());
  // A semaphore set without its segment would outlive this object.
  if (IsSemGood() && !IsShmGood()) {
    semctl(GetSemID(), 0, IPC_RMID);
    semid_ = -1;
  }
}

ShareCommObject::ShareCommObject(QRXShareType type, int shmid, int semid,
                                 QRXShareKeyType key_type)
    : QRXShareMemory(shmid, key_type), QRXSemaphore(semid, 2, key_type) {
  if (IsShmGood() && IsSemGood()) init(-1, type, false);
  SetSemIdToRemove(GetSemID());
}

void ShareCommObject::init(int, QRXShareType type, bool creator) {
  if (type == kRequestShare) {
    request = static_cast<RequestSegment*>(address_);
    channel.request = request;
    if (creator) {
      request->timeout = default_request_timeout();
      request->read_block = 0;
      request->write_block = 0;
      request->request_written = now32();
    }
  } else {
    data = static_cast<DataSegment*>(address_);
    channel.data = data;
    data->reader_done = 1;
    if (creator) {
      data->read_block = 0;
      data->write_block = 0;
      if (channel.request) channel.request->data_written = now32();
    }
  }
}

int ShareCommObject::ResetSemaphore(QRXShareType type) {
  // One semaphore at a time, so that the exchange semaphore and what the
  // kernel keeps to undo it stay as they are; 'filled' goes first, so no
  // writer can post between the two.
  const int available = type == kRequestShare || type == kDataShare ? 1 : 0;
  if (semctl(semid_, 1, SETVAL, 0) == 0 && semctl(semid_, 0, SETVAL, available) == 0) return 0;
  PRINT('e', "ush0026", "semctl() failed: %s\n", std::strerror(errno));
  PRINT('e', "ush0023", "Failed to initialize semaphore\n");
  return -1;
}

bool ShareCommObject::IsBlockAvailableForWrite() {
  sembuf op{0, 0, IPC_NOWAIT};
  return SemOp(&op, 1) != 0;
}

bool ShareCommObject::IsBlockFilledForRead() {
  sembuf op{1, 0, IPC_NOWAIT};
  return SemOp(&op, 1) != 0;
}

int ShareCommObject::Acquire(int num, int timeout) {
  sembuf op{static_cast<unsigned short>(num), -1, 0};
  return SemTimedOp(&op, 1, timeout, /*reload_ends=*/true);
}

int ShareCommObject::Acquire(int num, Deadline deadline) {
  sembuf op{static_cast<unsigned short>(num), -1, 0};
  return SemOpUntil(&op, 1, deadline);
}

int ShareCommObject::WaitFilled(int milliseconds) {
  // Taking and giving back in one atomic call waits for a posting without
  // consuming it: the next GetRequest still finds the request.
  sembuf ops[2] = {{1, -1, 0}, {1, 1, 0}};
  if (milliseconds <= 0) {
    ops[0].sem_flg = ops[1].sem_flg = IPC_NOWAIT;
    if (semop(semid_, ops, 2) == 0) return 0;
    return errno == EAGAIN ? kShareTimeout : kShareFailure;
  }
  timespec ts{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  if (semtimedop(semid_, ops, 2, &ts) == 0) return 0;
  // A signal ends the wait early; the caller's loop looks at go_home.
  if (errno == EAGAIN || errno == EINTR) return kShareTimeout;
  PRINT('e', "ush0027", "semop() failed: %s\n", std::strerror(errno));
  return kShareFailure;
}

int ShareCommObject::Release(int num) {
  sembuf op{static_cast<unsigned short>(num), 1, 0};
  return SemOp(&op, 1);
}

int ShareCommObject::SendRequest(const char* name, const std::vector<std::string>& params,
                                 std::string& unique, const char* text, int timeout) {
  if (channel_trace()) PRINT('t', "ush0120", "SendRequest: %s, timeout=%d\n", name, timeout);
  return SendRequestUntil(name, params, unique, text,
                          std::chrono::steady_clock::now() + std::chrono::seconds(std::max(timeout, 0)));
}

int ShareCommObject::SendRequestUntil(const char* name, const std::vector<std::string>& params,
                                      std::string& unique, const char* text, Deadline deadline) {
  const bool trace = channel_trace();
  QRXRequest req(name, params, text);
  unique = req.unique();

  if (trace) PRINT('t', "ush0140", "SendRequest: Get 'available' semaphore\n");
  const int rc = Acquire(0, deadline);
  if (rc == kShareTimeout) {
    if (trace) PRINT('i', "ush0007", "Function SendRequest timeout\n");
    // Both zero means a writer died between its take and its post: post
    // 'filled' so the reader consumes the leftover and resets the set.
    if (!IsBlockAvailableForWrite() && !IsBlockFilledForRead()) {
      if (trace) PRINT('t', "ush0130", "SendRequest: share memory inconsistency occurs\n");
      if (Release(1) != 0) {
        ResetSemaphore(kRequestShare);
        PRINT('i', "ush0038", "Break SendRequest deadlock\n");
      }
    }
    return kShareTimeout;
  }
  if (rc != 0) {
    PRINT('e', "ush0003", "SendRequest cannnot acquire 'available' semaphore\n");
    return kShareFailure;
  }

  put_field(request->name, sizeof request->name, req.name(), kRequestNameSize - 1);
  put_field(request->unique, sizeof request->unique, req.unique(), kUniqueSize - 1);
  // A request without data must not carry the previous request's data.
  put_field(request->data, sizeof request->data, req.data(), kRequestDataSize - 1);
  std::memset(request->params, 0, sizeof request->params);
  for (size_t i = 0; i < params.size() && i < static_cast<size_t>(kParamSlots); ++i) {
    std::memcpy(request->params[i], params[i].data(),
                std::min<size_t>(params[i].size(), kParamSlotSize - 1));
  }
  request->write_block = 0;
  request->request_written = now32();

  if (Release(1) != 0) {
    ResetSemaphore(kRequestShare);
    PRINT('e', "ush0008", "SendRequest cannot release 'filled' semaphore\n");
    return kShareFailure;
  }
  if (trace) PRINT('t', "ush0150", "Finish copy a request to share memory, Unique=%s\n",
                   unique.c_str());
  return 0;
}

int ShareCommObject::GetRequest(std::string& name, std::string& unique,
                                std::vector<std::string>& params, std::string& text,
                                int timeout) {
  const bool trace = channel_trace();
  if (trace) PRINT('t', "ush0170", "GetRequest: Entering\n");
  const int rc = Acquire(1, timeout);
  if (rc == kShareTimeout) {
    if (trace) PRINT('t', "ush0009", "Function GetRequest timeout\n");
    return kShareTimeout;
  }
  if (rc != 0) {
    if (trace) PRINT('t', "ush0190", "SemOp failed\n");
    ResetSemaphore(kRequestShare);
    PRINT('e', "ush0004", "GetRequest cannot acquire 'filled' semaphore\n");
    return kShareFailure;
  }

  unique = get_field(request->unique, sizeof request->unique);
  name = get_field(request->name, sizeof request->name);
  // Empty slots before the last filled one keep their place.
  int filled = kParamSlots;
  while (filled > 0 && request->params[filled - 1][0] == '\0') --filled;
  for (int i = 0; i < filled; ++i)
    params.push_back(get_field(request->params[i], sizeof request->params[i]));
  if (request->data[0] != '\0') text = get_field(request->data, sizeof request->data);
  request->read_block = 0;
  const int32_t written = request->request_written;
  const int32_t limit = request_timeout(*request);

  // One reset hands the segment back as {1, 0}: releasing 'available' first
  // would let the next writer post a request that the reset then wipes.
  if (ResetSemaphore(kRequestShare) != 0) {
    PRINT('e', "ush0010", "GetRequest cannot release 'available' semaphore\n");
  }

  // A request that waited while a cursor ran is served all the same: its
  // client, not the collector, decides how long it waits for the answer.
  const int32_t now = now32();
  if (now - written > limit) {
    PRINT('i', "ush0032",
          "It's %s. Request '%s' waited longer than the request time-out, served all the "
          "same(now:%d, finish write:%d, timeout:%d)\n",
          channel_time_text().c_str(), unique.c_str(), now, written, limit);
  }
  if (trace) PRINT('t', "ush0210", "GetRequest(%s): Leaving, unique=%s, timeout=%d\n",
                   channel_time_text().c_str(), unique.c_str(), timeout);
  return 0;
}

void ShareCommObject::ResetDataSegment() {
  data->read_block = 0;
  data->write_block = 0;
  // The flag goes before the data-written time: a writer looking in between
  // sees a finished reply, never a flag of 0 with no reply pending.
  data->reader_done = 1;
  if (channel.request) channel.request->data_written = -1;
  ResetSemaphore(kDataShare);
}

bool ShareCommObject::CleanStaleData() {
  if (!channel.request || !data) return false;
  const int32_t written = channel.request->data_written;
  if (written == -1 || now32() - written <= g_nCheckTime) return false;
  ResetDataSegment();
  return true;
}

void ShareCommObject::CheckReaderDone() {
  const int32_t done = data->reader_done;
  if (done != 0 && done != 1) {
    PRINT('w', "ush0610", "Reader-done flag %d out of range, taken as 1\n", done);
  } else if (done == 0 && channel.request->data_written == -1) {
    // Every reply in transfer has its data-written time set.
    PRINT('w', "ush0615", "Reader-done flag 0 with no reply pending, taken as 1\n");
  } else {
    return;
  }
  data->reader_done = 1;
}

int ShareCommObject::Check() {
  const std::string unique = data ? get_field(data->unique, sizeof data->unique) : "";
  if (!CleanStaleData()) return 0;
  if (channel_trace()) {
    PRINT('i', "nsh0011", "It's %s. Data for cursor %s is cleaned\n",
          channel_time_text().c_str(), unique.c_str());
  }
  return 1;
}

int ShareCommObject::SendData(const std::string& unique, int numrow, int lenrow,
                              const char* rows, int timeout) {
  if (!channel.request || !data) return kShareFailure;
  const bool trace = channel_trace();
  const std::string left_over = get_field(data->unique, sizeof data->unique);
  if (CleanStaleData()) {
    PRINT('i', "ush0030", "Cleaning share memory, Data for cursor %s is cleaned\n",
          left_over.c_str());
  }
  if (trace) PRINT('t', "ush0230", "SendData(%s): Entering\n", channel_time_text().c_str());
  if (unique.empty()) {
    PRINT('e', "ush0015", "Unique name is not supplied\n");
    return kShareFailure;
  }
  if (numrow < 0 || lenrow < 0) return kShareFailure;

  const char* payload = rows;
  size_t remaining = static_cast<size_t>(numrow) * static_cast<size_t>(lenrow);
  if (remaining == 0 || !rows) {
    payload = "NONE";
    remaining = 4;
  }

  // The whole reply, the wait for the previous reader included, has
  // `timeout` seconds: a reader that stalls or dies costs no more than that.
  int budget = std::max(timeout, 0);
  CheckReaderDone();
  for (int i = 0; data->reader_done == 0 && i < 20 && budget > 0; ++i) {
    const int step = std::min(3, budget);
    the_clock().sleep_seconds(static_cast<unsigned>(step));
    budget -= step;
  }
  if (data->reader_done == 0 && trace) {
    PRINT('t', "ush0240", "Reader should already finish read now!\n");
  }
  data->reader_done = 0;
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(budget);

  const int blocks = static_cast<int>((remaining + kDataBlockSize - 1) / kDataBlockSize);
  for (int block = 0; block < blocks; ++block) {
    const int rc = Acquire(0, deadline);
    if (rc == kShareTimeout) {
      if (trace) PRINT('i', "ush0002", "Function SendData Timeout\n");
      PRINT('w', "ush0620",
            "Reply %s abandoned after %d seconds with %d of %d blocks read; data segment reset\n",
            unique.c_str(), std::max(timeout, 0), std::max(block - 1, 0), blocks);
      ResetDataSegment();
      return kShareTimeout;
    }
    if (rc != 0) {
      PRINT('e', "ush0005", "SendData cannot acquire 'available' semaphore\n");
      return kShareFailure;
    }
    if (block == 0) {
      put_field(data->unique, sizeof data->unique, unique, kUniqueSize - 1);
      data->numrow = numrow;
      data->lenrow = lenrow;
    }
    const size_t chunk = std::min<size_t>(remaining, kDataBlockSize);
    std::memcpy(data->block, payload, chunk);
    std::memset(data->block + chunk, 0, kDataBlockSize - chunk);
    payload += chunk;
    remaining -= chunk;
    data->write_block = 0;
    channel.request->data_written = now32();
    if (Release(1) != 0) {
      ResetSemaphore(kDataShare);
      PRINT('e', "ush0012", "SendData cannot release 'filled' semaphore\n");
      return kShareFailure;
    }
  }
  if (trace) {
    PRINT('t', "ush0250", "SendData(%s): Leaving, unique=%s, numrow=%d, lenrow=%d\n",
          channel_time_text().c_str(), unique.c_str(), numrow, lenrow);
  }
  return 0;
}

int ShareCommObject::GetData(const std::string& unique, std::string& received_unique,
                             int& numrow, int& lenrow, std::string& text, int timeout) {
  return ReadReply(unique, false, received_unique, numrow, lenrow, text,
                   std::chrono::steady_clock::now() + std::chrono::seconds(std::max(timeout, 0)));
}

int ShareCommObject::ReadReply(const std::string& unique, bool exchange_held,
                               std::string& received_unique, int& numrow, int& lenrow,
                               std::string& text, Deadline deadline) {
  const bool trace = channel_trace();
  if (trace) PRINT('t', "ush0260", "GetData(%s): Entering\n", unique.c_str());
  text.clear();
  bool first = true;
  size_t remaining = 0;
  int result = 0;
  do {
    const int rc = Acquire(1, deadline);
    if (rc == kShareTimeout) {
      if (trace) PRINT('i', "ush0013", "GetData timeout\n");
      return kShareTimeout;
    }
    if (rc != 0) {
      PRINT('e', "ush0006", "GetData cannot acquire 'filled' semaphore\n");
      return kShareFailure;
    }
    if (first) {
      received_unique = get_field(data->unique, sizeof data->unique);
      if (!unique.empty() && received_unique != unique) {
        PRINT('i', "ush0037", "Get Data for %s, not for %s\n", received_unique.c_str(),
              unique.c_str());
        const int passed = PassReplyOn(received_unique, exchange_held, deadline);
        if (passed != 0) return passed;
        continue;
      }
      numrow = data->numrow;
      lenrow = data->lenrow;
      // Sizes come from another process: refuse what no reply can be.
      if (numrow < 0 || lenrow < 0 ||
          static_cast<int64_t>(numrow) * lenrow > (int64_t{1} << 31)) {
        result = kShareFailure;
        break;
      }
      remaining = static_cast<size_t>(numrow) * static_cast<size_t>(lenrow);
      if (remaining == 0) remaining = 4;
      text.reserve(remaining);
      first = false;
    }
    const size_t chunk = std::min<size_t>(remaining, kDataBlockSize);
    text.append(data->block, chunk);
    remaining -= chunk;
    data->read_block = 0;
    // The last block is handed back by the reset below, so that no writer
    // can post a new block before the reset would wipe it.
    if (remaining > 0 && Release(0) != 0) {
      PRINT('e', "ush0014", "GetData cannot release 'available' semaphore\n");
      break;
    }
  } while (first || remaining > 0);

  ResetDataSegment();
  if (trace) {
    PRINT('t', "ush0270", "GetData(%s): get unique=%s, numrow=%d, lenrow=%d\n", unique.c_str(),
          received_unique.c_str(), numrow, lenrow);
  }
  return result;
}

int ShareCommObject::PassReplyOn(const std::string& other, bool exchange_held,
                                 Deadline deadline) {
  if (exchange_held && taken_under_exchange(other)) {
    // Its exchange has ended (this one holds the exchange): its client gave
    // up or died, and nobody else will read it.
    PRINT('i', "ush0625", "Reply %s of an ended exchange dropped\n", other.c_str());
    ResetDataSegment();
    return 0;
  }
  // Its requester is waiting for it: put it back and wait until it is taken.
  if (Release(1) != 0) {
    PRINT('e', "ush0014", "GetData cannot release 'filled' semaphore\n");
    return kShareFailure;
  }
  sembuf taken{1, 0, 0};
  return SemOpUntil(&taken, 1, deadline);
}

int ShareCommObject::TakeExchange(Deadline deadline) {
  semid_ds info{};
  if (semctl(semid_, 0, IPC_STAT, &info) != 0) {
    PRINT('e', "ush0026", "semctl() failed: %s\n", std::strerror(errno));
    return kShareFailure;
  }
  if (info.sem_nsems <= kExchangeSemaphore) return kNoExchange;
  sembuf take{kExchangeSemaphore, -1, SEM_UNDO};
  return SemOpUntil(&take, 1, deadline);
}

void ShareCommObject::GiveExchange() {
  sembuf give{kExchangeSemaphore, 1, SEM_UNDO};
  SemOp(&give, 1);
}

// ---- Establishing and leaving the channel

bool IsServerRunning(int pid) { return channel.probe(pid); }

void set_process_probe(ProcessProbe probe) { channel.probe = probe ? probe : kill_probe; }

std::string ipc_directory() { return env_vars.tmpdir.empty() ? "/tmp" : env_vars.tmpdir; }

std::string ipc_id_file_path() {
  return ipc_directory() + "/" + env_vars.serverid + "_" + env_vars.db_type + "_" +
         env_vars.hostname;
}

bool CreateShareCommObject(const char*, int& req_shm, int& req_sem, int& data_shm,
                           int& data_sem) {
  const int flags = IPC_CREAT | IPC_EXCL | kChannelMode;
  g_pCommObjectRequest =
      new ShareCommObject(kRequestShare, kRequestSegmentBytes, IPC_PRIVATE, true, flags, flags);
  if (!g_pCommObjectRequest->IsGood()) {
    PRINT('e', "ush0034", "Failed to create Request object\n");
    return false;
  }
  g_pCommObjectData =
      new ShareCommObject(kDataShare, kDataSegmentBytes, IPC_PRIVATE, true, flags, flags);
  if (!g_pCommObjectData->IsGood()) {
    PRINT('e', "ush0035", "Failed to create Data object\n");
    return false;
  }
  req_shm = g_pCommObjectRequest->GetShmID();
  req_sem = g_pCommObjectRequest->GetSemID();
  data_shm = g_pCommObjectData->GetShmID();
  data_sem = g_pCommObjectData->GetSemID();
  return true;
}

bool AttachShareCommObject(int req_shm, int req_sem, int data_shm, int data_sem) {
  g_pCommObjectRequest = new ShareCommObject(kRequestShare, req_shm, req_sem, kShareById);
  if (!g_pCommObjectRequest->IsGood()) {
    PRINT('e', "ush0036", "Failed to attach Request object\n");
    return false;
  }
  g_pCommObjectData = new ShareCommObject(kDataShare, data_shm, data_sem, kShareById);
  if (!g_pCommObjectData->IsGood()) {
    PRINT('e', "ush0037", "Failed to attach Data object\n");
    return false;
  }
  return true;
}

void claim_channel(bool claimed) { channel.claimed = claimed; }

namespace {

// Waits up to `milliseconds` for the reader of the last reply to finish it.
void wait_for_reply_read(int milliseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (channel.data && __atomic_load_n(&channel.data->reader_done, __ATOMIC_SEQ_CST) == 0 &&
         std::chrono::steady_clock::now() < until)
    usleep(10000);
}

}  // namespace

void DestroyShareCommObject() {
  // The collector that made the channel takes it away with it; a process
  // forked from it is not that collector.
  if (channel.claimed && channel.creator == getpid()) {
    // The last reply (a SHUTDOWN request's, served at once) may still be
    // unread: removing the semaphores now would fail its reader.
    wait_for_reply_read(kLeaveReadWaitMs);
    for (ShareCommObject* object : {g_pCommObjectData, g_pCommObjectRequest})
      if (object) object->RemoveWhenLeaving();
  }
  channel.creator = 0;
  delete g_pCommObjectData;
  delete g_pCommObjectRequest;
  g_pCommObjectData = nullptr;
  g_pCommObjectRequest = nullptr;
  channel.data = nullptr;
  channel.request = nullptr;
}

void DetachShareCommObject() { DestroyShareCommObject(); }

int CreateShare(const char* server_id, const char* id_file) {
  if (g_pCommObjectRequest && g_pCommObjectData) return 0;
  int pids[2] = {-1, -1};
  int ids[4] = {-1, -1, -1, -1};
  bool attach = false;
  if (read_id_file(id_file, pids, ids)) {
    const bool first_runs = pids[0] != -1 && IsServerRunning(pids[0]);
    const bool second_runs = pids[1] != -1 && IsServerRunning(pids[1]);
    attach = first_runs || second_runs;
    if (!attach) {
      remove_stale_segment(ids[0], kRequestSegmentBytes);
      remove_stale_segment(ids[2], kDataSegmentBytes);
      remove_stale_semaphores(ids[1]);
      remove_stale_semaphores(ids[3]);
    }
    pids[0] = first_runs ? pids[0] : pids[1];
  }
  if (attach) {
    if (AttachShareCommObject(ids[0], ids[1], ids[2], ids[3])) {
      PRINT('a', "ush0035", "Attached IPCID(%s): %d %d %d %d\n", channel_time_text().c_str(),
            ids[0], ids[1], ids[2], ids[3]);
    } else {
      // The recorded pids may belong to unrelated processes by now: start afresh.
      DetachShareCommObject();
      attach = false;
    }
  }
  if (!attach) {
    if (!CreateShareCommObject(server_id, ids[0], ids[1], ids[2], ids[3])) {
      PRINT('e', "ush0033", "Failed to initialize share memory and semaphore\n");
      DestroyShareCommObject();
      return -1;
    }
    PRINT('a', "ush0034", "Created IPCID(%s): %d %d %d %d\n", channel_time_text().c_str(),
          ids[0], ids[1], ids[2], ids[3]);
    pids[0] = -1;
    channel.creator = getpid();
  }
  pids[1] = static_cast<int>(getpid());
  if (!write_id_file(id_file, pids, ids)) {
    PRINT('e', "ush0032", "Cannot open file: %s\n", id_file);
    DestroyShareCommObject();
    return -1;
  }
  return 0;
}

int InitShare(const char* server_id) {
  if (env_vars.tmpdir.empty()) get_envs(env_vars);
  if (check_private_directory(ipc_directory().c_str()) != 0) return -1;
  const std::string id_file = ipc_id_file_path();
  const std::string lock_file = id_file + "-lk";
  const int fd = open_owned_file(lock_file.c_str(), O_WRONLY | O_CREAT, kIdFileMode);
  if (fd < 0) {
    PRINT('w', "ush0580", "IPC file %s not used: %s\n", lock_file.c_str(), std::strerror(errno));
    PRINT('e', "ush0560", "Cannot open lock file: %s\n", lock_file.c_str());
    return -1;
  }
  const bool trace = channel_trace();
  if (trace) PRINT('t', "ush0550", "locking file %s\n", lock_file.c_str());
  issue_write_lock(fd, lock_file.c_str(), 1);
  const int rc = CreateShare(server_id, id_file.c_str());
  char line[32];
  const int n = std::snprintf(line, sizeof line, "%d\n", static_cast<int>(getpid()));
  if (ftruncate(fd, 0) != 0 || ::write(fd, line, n) != n) {
    PRINT('e', "ush0560", "Cannot open lock file: %s\n", lock_file.c_str());
  }
  if (trace) PRINT('t', "ush0570", "Unlock file %s\n", lock_file.c_str());
  issue_unlock(fd, lock_file.c_str(), 1);
  ::close(fd);
  return rc == 0 ? 0 : -1;
}

int AttachShare() {
  if (g_pCommObjectRequest && g_pCommObjectData) return 0;
  if (env_vars.tmpdir.empty()) get_envs(env_vars);
  const std::string id_file = ipc_id_file_path();
  if (::access(id_file.c_str(), F_OK) != 0)
    return errno == ENOENT || errno == ENOTDIR ? kNoChannel : -1;
  if (check_private_directory(ipc_directory().c_str()) != 0) return -1;
  // The lock keeps a collector from rewriting the id file while it is read;
  // without a lock file there is nobody to wait for.
  const std::string lock_file = id_file + "-lk";
  const int fd = open_owned_file(lock_file.c_str(), O_WRONLY, kIdFileMode);
  if (fd >= 0) issue_write_lock(fd, lock_file.c_str(), 1);
  int pids[2] = {-1, -1};
  int ids[4] = {-1, -1, -1, -1};
  int rc = kNoChannel;
  if (read_id_file(id_file.c_str(), pids, ids) &&
      ((pids[0] != -1 && IsServerRunning(pids[0])) || (pids[1] != -1 && IsServerRunning(pids[1])))) {
    rc = AttachShareCommObject(ids[0], ids[1], ids[2], ids[3]) ? 0 : -1;
    if (rc == 0) {
      PRINT('a', "ush0035", "Attached IPCID(%s): %d %d %d %d\n", channel_time_text().c_str(),
            ids[0], ids[1], ids[2], ids[3]);
    } else {
      DetachShareCommObject();
    }
  }
  if (fd >= 0) {
    issue_unlock(fd, lock_file.c_str(), 1);
    ::close(fd);
  }
  return rc;
}

void SetError(int result, CommAnchor* anchor) {
  if (!anchor) return;
  if (result == kShareTimeout) {
    anchor->error_code = 20;
    anchor->error_text = "Share memory time out";
  } else if (result == kShareFailure) {
    anchor->error_code = 21;
    anchor->error_text = "Share memory generic error";
  }
}

}  // namespace qrx
