// The shared-memory channel: System V segments and semaphore sets, the request
// and data channel objects with their semaphore hand-overs, and establishing,
// attaching and leaving the channel. This module owns the two process-wide
// channel objects; callers only borrow them.
#pragma once

#include <sys/sem.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "qrx/channel.h"

namespace qrx {

// 0 = request segment, 1 = data segment.
enum QRXShareType { kRequestShare = 0, kDataShare = 1 };
// 0 = the number is a key to look up, nonzero = the number is already the id.
enum QRXShareKeyType { kShareByKey = 0, kShareById = 1 };

using Deadline = std::chrono::steady_clock::time_point;

constexpr int kShareTimeout = -10;
constexpr int kShareFailure = -1;
// What TakeExchange answers on a channel whose request set has no exchange
// semaphore (made by an older collector): the client goes on without it.
constexpr int kNoExchange = 1;
// The request set's third semaphore: 1 while no client holds the exchange.
constexpr int kExchangeSemaphore = 2;
// Mode of every segment, semaphore set and FIFO: owner and group only.
constexpr int kChannelMode = 0660;

// One semaphore set.
class QRXSemaphore {
 public:
  // Gets a set of `count` semaphores ("ush0024" on failure).
  QRXSemaphore(key_t key, int count, int flags);
  // Looks the set up by key (key type 0, "ush0025") or takes `number` as the id.
  QRXSemaphore(int number, int count, QRXShareKeyType key_type);
  // 0 on success; -1 when it would block under IPC_NOWAIT or failed ("ush0027").
  int SemOp(sembuf* ops, int count);
  // Like SemOp with a time-out in seconds: 0, -10 on time-out, -1 on failure.
  // A terminating signal ends the wait as a time-out; with `reload_ends`, so
  // does a reload request (signal_waiting()).
  int SemTimedOp(sembuf* ops, int count, int timeout, bool reload_ends = false);
  // As SemTimedOp, waiting until `deadline` (one try without waiting once past).
  int SemOpUntil(sembuf* ops, int count, Deadline deadline, bool reload_ends = false);
  // 0 or -1 after logging "ush0026".
  int SemCtl(int semnum, int cmd, unsigned short* values);
  // The current values of the first two semaphores ({-1,-1} on failure).
  std::array<int, 2> Values();
  bool IsSemGood() const { return semid_ >= 0; }
  int GetSemID() const { return semid_; }

 protected:
  int semid_ = -1;
};

// One shared-memory segment.
class QRXShareMemory {
 public:
  // Creates or gets a segment; when `attach`, attaches and writes 1 into the
  // attach count ("ush0016" on failure).
  QRXShareMemory(int size, key_t key, int flags, bool attach);
  // Looks the segment up by key (key type 0) or takes `number` as the id,
  // attaches and adds 1 to the attach count ("ush0017" on failure).
  QRXShareMemory(int number, QRXShareKeyType key_type);
  // Detaches; when no process is attached any more (the system's count), or
  // when asked to by RemoveWhenLeaving, removes the segment and the recorded
  // semaphore set.
  ~QRXShareMemory();
  QRXShareMemory(const QRXShareMemory&) = delete;
  QRXShareMemory& operator=(const QRXShareMemory&) = delete;
  // Attaches once ("ush0021" on failure); the address or null.
  void* Attach();
  bool IsShmGood() const { return shmid_ >= 0 && attached_; }
  int GetShmID() const { return shmid_; }
  // Records the companion semaphore set to remove together with the segment.
  void SetSemIdToRemove(int semid) { remove_semid_ = semid; }
  // Makes the destructor remove the segment whoever is still attached.
  void RemoveWhenLeaving() { remove_when_leaving_ = true; }

 protected:
  int shmid_ = -1;
  int remove_semid_ = -1;
  bool remove_when_leaving_ = false;
  void* address_ = nullptr;
  bool attached_ = false;
};

// A request: name, parameters, data and a unique id made at construction:
// NAME-SECONDS-COUNTER@PID, unique among the processes of the machine.
class QRXRequest {
 public:
  QRXRequest(const char* name, const std::vector<std::string>& params, const char* data);
  const std::string& name() const { return name_; }
  const std::string& unique() const { return unique_; }
  const std::vector<std::string>& params() const { return params_; }
  const std::string& data() const { return data_; }

 private:
  std::string name_, unique_, data_;
  std::vector<std::string> params_;
};

// The operations every channel object offers; 0 success, -10 time-out, -1 failure.
class QRXCommObject {
 public:
  virtual ~QRXCommObject() = default;
  virtual bool IsGood() = 0;
  // Agent side: writes one request; its unique id comes back in `unique`.
  virtual int SendRequest(const char* name, const std::vector<std::string>& params,
                          std::string& unique, const char* data, int timeout) = 0;
  // Collector side: takes the pending request, waiting up to `timeout` seconds.
  virtual int GetRequest(std::string& name, std::string& unique, std::vector<std::string>& params,
                         std::string& data, int timeout) = 0;
  // Collector side: writes a reply of numrow x lenrow bytes ("NONE" when
  // empty) within `timeout` seconds in all; a reply not taken by then is
  // abandoned (-10) and the data segment reset for the next request.
  virtual int SendData(const std::string& unique, int numrow, int lenrow, const char* data,
                       int timeout) = 0;
  // Agent side: reads the whole reply to `unique` (to any request when
  // empty). Another requester's reply is handed back untouched.
  virtual int GetData(const std::string& unique, std::string& received_unique, int& numrow,
                      int& lenrow, std::string& data, int timeout) = 0;
  // Sets both semaphores of the object to {1, 0}.
  virtual int ResetSemaphore(QRXShareType type) = 0;
};

// One segment with its semaphore set: the request object or the data object.
class ShareCommObject : public QRXCommObject, public QRXShareMemory, public QRXSemaphore {
 public:
  // Creates segment and semaphores, initialises both ("ush0022").
  ShareCommObject(QRXShareType type, int size, key_t key, bool attach, int sem_flags,
                  int shm_flags);
  // Attaches to an existing segment and semaphore set by id.
  ShareCommObject(QRXShareType type, int shmid, int semid, QRXShareKeyType key_type);

  bool IsGood() override { return IsShmGood() && IsSemGood(); }
  int SendRequest(const char* name, const std::vector<std::string>& params, std::string& unique,
                  const char* data, int timeout) override;
  int GetRequest(std::string& name, std::string& unique, std::vector<std::string>& params,
                 std::string& data, int timeout) override;
  int SendData(const std::string& unique, int numrow, int lenrow, const char* data,
               int timeout) override;
  int GetData(const std::string& unique, std::string& received_unique, int& numrow, int& lenrow,
              std::string& data, int timeout) override;
  int ResetSemaphore(QRXShareType type) override;
  // SendRequest waiting for the segment until `deadline`.
  int SendRequestUntil(const char* name, const std::vector<std::string>& params,
                       std::string& unique, const char* data, Deadline deadline);
  // GetData waiting until `deadline`. With `exchange_held` (the caller holds
  // the exchange), a reply to another exchange, which has ended, is dropped.
  int ReadReply(const std::string& unique, bool exchange_held, std::string& received_unique,
                int& numrow, int& lenrow, std::string& data, Deadline deadline);
  // Request object, client side: takes the exchange semaphore until
  // `deadline` (undone by the kernel if this process dies): 0, -10 on
  // time-out, kNoExchange when the set has none, -1 on failure.
  int TakeExchange(Deadline deadline);
  // Gives the exchange semaphore back.
  void GiveExchange();
  // True when semaphore 0 ('available') is nonzero.
  bool IsBlockAvailableForWrite();
  // True when semaphore 1 ('filled') is nonzero.
  bool IsBlockFilledForRead();
  // Cleans a reply left unread for 30 seconds; 1 when it cleaned, else 0.
  int Check();
  // Waits up to `milliseconds` until semaphore 1 ('filled') is posted, leaving
  // its value as it is: 0 when posted, -10 on time-out, -1 on failure.
  int WaitFilled(int milliseconds);

  RequestSegment* request = nullptr;
  DataSegment* data = nullptr;

 private:
  void init(int size, QRXShareType type, bool creator);
  // Takes semaphore `num`, blocking up to `timeout` seconds (once when <= 0);
  // the collector's wait for a request, which a stop or a reload ends.
  int Acquire(int num, int timeout);
  // Takes semaphore `num`, blocking until `deadline`.
  int Acquire(int num, Deadline deadline);
  int Release(int num);
  bool CleanStaleData();
  // Hands the data segment back empty: block indexes 0, reader done, no data
  // pending, semaphores {1, 0}.
  void ResetDataSegment();
  // Puts a reader-done flag that no reply state explains back to 1
  // ("ush0610", "ush0615").
  void CheckReaderDone();
  // What a reader does with reply `other`, not its own, whose first block it
  // took: drops it when it belongs to an ended exchange, else posts it back
  // for its requester and waits until that one took it. 0 to read on, -10
  // when `deadline` passed, -1 on failure.
  int PassReplyOn(const std::string& other, bool exchange_held, Deadline deadline);
};

// The two channel objects of this process (null until established).
extern ShareCommObject* g_pCommObjectRequest;
extern ShareCommObject* g_pCommObjectData;
// Seconds after which an unread reply is cleaned.
constexpr int g_nCheckTime = 30;

// Establishes the channel under the lock file; 0 or -1.
int InitShare(const char* server_id);
// What AttachShare answers when no collector runs: there is no id file, or
// none of the processes it names is alive.
constexpr int kNoChannel = 1;
// The probe's way onto the channel: attaches to the channel that the id file
// names when a process it records still runs. Never creates a channel or any
// file, nor rewrites the id file. 0 attached, kNoChannel, or -1.
int AttachShare();
// Attaches to the live channel named in `id_file` or creates a new one, and
// rewrites the id file; 0 or -1.
int CreateShare(const char* server_id, const char* id_file);
// Creates both objects; true when both are good, with their four ids.
bool CreateShareCommObject(const char* server_id, int& req_shm, int& req_sem, int& data_shm,
                           int& data_sem);
// Attaches both objects by id; true when both are good.
bool AttachShareCommObject(int req_shm, int req_sem, int data_shm, int data_sem);
// Marks this process as the collector (or not): a channel it created is
// removed when it leaves, whoever is still attached.
void claim_channel(bool claimed);
// Leave the channel: delete both objects; the last process attached removes
// them, and so does the collector that created them.
void DestroyShareCommObject();
void DetachShareCommObject();
// Maps a channel result into the anchor: -10 gives 20, -1 gives 21.
void SetError(int result, CommAnchor* anchor);

// The directory of the IPC id file (the temporary directory, else /tmp).
std::string ipc_directory();
// The IPC id file path for this collector (lock file: path + "-lk").
std::string ipc_id_file_path();

// Whether process `pid` is alive; replaceable so tests can name dead or live pids.
using ProcessProbe = bool (*)(int pid);
bool IsServerRunning(int pid);
// Installs `probe` (null restores the kill(pid, 0) test).
void set_process_probe(ProcessProbe probe);

}  // namespace qrx
