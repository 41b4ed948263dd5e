#include "doc_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>

namespace qrx::test {
namespace {

using Clock = std::chrono::steady_clock;

// Request segment offsets.
constexpr int kReqWriteBlock = 8, kReqName = 12, kReqUnique = 27, kReqParams = 77,
              kReqData = 877, kReqWritten = 30884, kReqDataWritten = 30888;
// Data segment offsets.
constexpr int kDataReadBlock = 4, kDataWriteBlock = 8, kReaderDone = 12, kDataUnique = 16,
              kNumrow = 68, kLenrow = 72, kBlock = 76, kBlockSize = 99000;

void put_int(char* at, int32_t value) { std::memcpy(at, &value, 4); }
int32_t get_int(const char* at) {
  int32_t value;
  std::memcpy(&value, at, 4);
  return value;
}
void put_text(char* at, size_t size, const std::string& text) {
  std::memset(at, 0, size);
  std::memcpy(at, text.data(), std::min(text.size(), size - 1));
}

// One semaphore operation, waiting until `deadline`.
bool sem_until(int semid, unsigned short num, short op, short flags, Clock::time_point deadline) {
  sembuf b{num, op, flags};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      b.sem_flg |= IPC_NOWAIT;
      return semop(semid, &b, 1) == 0;
    }
    timespec ts{static_cast<time_t>(left.count() / 1000000000),
                static_cast<long>(left.count() % 1000000000)};
    if (semtimedop(semid, &b, 1, &ts) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool sem_now(int semid, unsigned short num, short op, short flags) {
  sembuf b{num, op, flags};
  return semop(semid, &b, 1) == 0;
}

// A unique id made by a client that holds the exchange ends in "@PID".
bool ends_in_pid(const std::string& unique) {
  const size_t at = unique.rfind('@');
  return at != std::string::npos && at + 1 < unique.size() &&
         unique.find_first_not_of("0123456789", at + 1) == std::string::npos;
}

}  // namespace

DocShmClient::DocShmClient(const std::string& id_file) {
  std::ifstream in(id_file);
  int owner, writer, ids[4];
  if (!(in >> owner >> writer >> ids[0] >> ids[1] >> ids[2] >> ids[3])) return;
  void* request = shmat(ids[0], nullptr, 0);
  void* data = shmat(ids[2], nullptr, 0);
  if (request == reinterpret_cast<void*>(-1) || data == reinterpret_cast<void*>(-1)) return;
  request_ = static_cast<char*>(request);
  data_ = static_cast<char*>(data);
  request_sem_ = ids[1];
  data_sem_ = ids[3];
}

DocShmClient::~DocShmClient() {
  if (request_) shmdt(request_);
  if (data_) shmdt(data_);
}

bool DocShmClient::post(const std::string& cursor, const std::vector<std::string>& params,
                        int timeout, std::string& unique) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeout);
  if (!sem_until(request_sem_, 2, -1, SEM_UNDO, deadline)) return false;
  if (!sem_until(request_sem_, 0, -1, 0, deadline)) {
    sem_now(request_sem_, 2, 1, SEM_UNDO);
    return false;
  }
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, "-%012ld-%04d@%d", static_cast<long>(std::time(nullptr)),
                ++counter_, static_cast<int>(getpid()));
  unique = cursor + suffix;
  put_text(request_ + kReqName, 15, cursor);
  put_text(request_ + kReqUnique, 50, unique);
  std::memset(request_ + kReqParams, 0, 40 * 20);
  for (size_t i = 0; i < params.size() && i < 40; ++i)
    put_text(request_ + kReqParams + 20 * i, 20, params[i]);
  std::memset(request_ + kReqData, 0, 30000);
  put_int(request_ + kReqWriteBlock, 0);
  put_int(request_ + kReqWritten, static_cast<int32_t>(std::time(nullptr)));
  return sem_now(request_sem_, 1, 1, 0);
}

bool DocShmClient::post_only(const std::string& cursor, const std::vector<std::string>& params,
                             int timeout) {
  std::string unique;
  return post(cursor, params, timeout, unique);
}

DocReply DocShmClient::ask(const std::string& cursor, const std::vector<std::string>& params,
                           int timeout) {
  DocReply reply;
  const auto deadline = Clock::now() + std::chrono::seconds(timeout);
  std::string unique;
  if (!post(cursor, params, timeout, unique)) return reply;
  // Hands the data segment back empty.
  const auto reset = [&] {
    put_int(data_ + kDataReadBlock, 0);
    put_int(data_ + kDataWriteBlock, 0);
    put_int(data_ + kReaderDone, 1);
    put_int(request_ + kReqDataWritten, -1);
    semctl(data_sem_, 1, SETVAL, 0);
    semctl(data_sem_, 0, SETVAL, 1);
  };
  size_t remaining = 0;
  bool first = true;
  while (first || remaining > 0) {
    if (!sem_until(data_sem_, 1, -1, 0, deadline)) break;
    if (first) {
      reply.unique.assign(data_ + kDataUnique, strnlen(data_ + kDataUnique, 50));
      if (reply.unique != unique) {
        if (ends_in_pid(reply.unique)) {
          reset();  // the reply of an exchange that has ended
        } else {
          sem_now(data_sem_, 1, 1, 0);  // another requester's: put back, wait till taken
          if (!sem_until(data_sem_, 1, 0, 0, deadline)) break;
        }
        continue;
      }
      reply.rows = get_int(data_ + kNumrow);
      reply.length = get_int(data_ + kLenrow);
      remaining = static_cast<size_t>(reply.rows) * static_cast<size_t>(reply.length);
      if (remaining == 0) remaining = 4;
      first = false;
    }
    const size_t chunk = std::min<size_t>(remaining, kBlockSize);
    reply.data.append(data_ + kBlock, chunk);
    remaining -= chunk;
    if (remaining > 0) sem_now(data_sem_, 0, 1, 0);
  }
  reply.ok = !first && remaining == 0;
  if (!first) reset();
  sem_now(request_sem_, 2, 1, SEM_UNDO);
  return reply;
}

DocPipeClient::DocPipeClient(const std::string& dir, const std::string& collector_fifo,
                             const std::string& name)
    : path_(dir + "/" + name), collector_(collector_fifo) {
  if (mkfifo(path_.c_str(), 0600) != 0) return;
  fd_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
  keep_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
}

DocPipeClient::~DocPipeClient() {
  if (fd_ >= 0) close(fd_);
  if (keep_ >= 0) close(keep_);
  unlink(path_.c_str());
}

bool DocPipeClient::post_only(const std::string& cursor, const std::vector<std::string>& params) {
  std::string record(4, '\0');
  record += cursor + path_ + '\0';
  for (const std::string& p : params) record += p + '\0';
  record += std::string(2, '\0');
  const uint16_t total = static_cast<uint16_t>(record.size());
  const uint16_t name_len = static_cast<uint16_t>(cursor.size());
  std::memcpy(record.data(), &total, 2);
  std::memcpy(record.data() + 2, &name_len, 2);
  const int fd = open(collector_.c_str(), O_WRONLY | O_NONBLOCK);
  if (fd < 0) return false;
  const bool written = write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
  close(fd);
  return written;
}

DocReply DocPipeClient::ask(const std::string& cursor, const std::vector<std::string>& params,
                            int timeout) {
  DocReply reply;
  if (!post_only(cursor, params)) return reply;
  const auto deadline = Clock::now() + std::chrono::seconds(timeout);
  const auto read_all = [&](char* into, size_t size) {
    while (size > 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      const ssize_t n = read(fd_, into, size);
      if (n > 0) {
        into += n;
        size -= static_cast<size_t>(n);
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        return false;
      }
    }
    return true;
  };
  char header[8];
  if (!read_all(header, sizeof header)) return reply;
  reply.rows = get_int(header);
  reply.length = get_int(header + 4);
  if (reply.rows > 0 && reply.length > 0) {
    reply.data.resize(static_cast<size_t>(reply.rows) * static_cast<size_t>(reply.length));
    if (!read_all(reply.data.data(), reply.data.size())) return reply;
  }
  reply.ok = true;
  return reply;
}

}  // namespace qrx::test
