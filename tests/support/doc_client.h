// Clients of the collector's channel written from docs/channel.md alone, with
// bare system calls and the byte offsets the document gives: they stand for
// a third-party agent beside qrxprobe. Each object owns its attachment or
// FIFO and gives it up when destroyed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qrx::test {

// One reply: its rows as the collector sent them.
struct DocReply {
  bool ok = false;   // false: no answer by the deadline, or the channel failed
  std::string unique;  // the reply's unique id (shared memory)
  int32_t rows = 0;
  int32_t length = 0;
  std::string data;  // rows x length bytes, or "NONE"
};

// The shared-memory client: attaches to the segments that the id file names.
class DocShmClient {
 public:
  // Attaches to the channel recorded in `id_file`; ok() says whether it did.
  explicit DocShmClient(const std::string& id_file);
  ~DocShmClient();
  DocShmClient(const DocShmClient&) = delete;
  DocShmClient& operator=(const DocShmClient&) = delete;
  bool ok() const { return request_ != nullptr && data_ != nullptr; }

  // One whole exchange for `cursor` with `params`, within `timeout` seconds.
  DocReply ask(const std::string& cursor, const std::vector<std::string>& params, int timeout);
  // Takes the exchange and posts the request, and leaves it there (the
  // caller then kills this process): true when the request was posted.
  bool post_only(const std::string& cursor, const std::vector<std::string>& params, int timeout);

 private:
  bool post(const std::string& cursor, const std::vector<std::string>& params, int timeout,
            std::string& unique);
  char* request_ = nullptr;
  char* data_ = nullptr;
  int request_sem_ = -1;
  int data_sem_ = -1;
  int counter_ = 0;
};

// The named-pipe client: its own FIFO in `dir`, requests into `collector_fifo`.
class DocPipeClient {
 public:
  DocPipeClient(const std::string& dir, const std::string& collector_fifo,
                const std::string& name);
  ~DocPipeClient();
  DocPipeClient(const DocPipeClient&) = delete;
  DocPipeClient& operator=(const DocPipeClient&) = delete;
  bool ok() const { return fd_ >= 0; }

  // Writes one request record and reads its reply within `timeout` seconds.
  DocReply ask(const std::string& cursor, const std::vector<std::string>& params, int timeout);
  // Writes the request record only: true when it was written.
  bool post_only(const std::string& cursor, const std::vector<std::string>& params);

 private:
  std::string path_;
  std::string collector_;
  int fd_ = -1;
  int keep_ = -1;
};

}  // namespace qrx::test
