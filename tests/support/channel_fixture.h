// Test fixture for the agent channel: a private directory for the IPC id file
// and the FIFOs, the settings that name them, a captured message log, a clock
// that can be moved forward, helpers for forked peers, and a check that no
// segment or semaphore set made by a test outlives it.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/env_vars.h"
#include "qrx/channel.h"

namespace qrx::test {

// The system time moved forward by `offset` seconds; a sleep lasts 20 ms so
// that a peer process polling a flag still sees the other side progress.
class OffsetClock : public Clock {
 public:
  std::time_t now() override { return std::time(nullptr) + offset; }
  void sleep_seconds(unsigned seconds) override {
    slept += seconds;
    usleep(20000);
  }
  std::time_t offset = 0;
  unsigned slept = 0;
};

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The text logged so far.
  std::string log_text();
  // True when a logged line carries message `id` and contains `text`.
  bool logged(const char* id, const std::string& text);
  // Remembers IPC ids that must be gone when the test ends.
  void expect_removed_later(std::vector<int> shm_ids, std::vector<int> sem_ids);
  // The four ids of this process's channel (request shm, sem, data shm, sem).
  std::vector<int> channel_ids();
  // Runs `body` in a forked child; its result becomes the child's exit status.
  pid_t fork_peer(const std::function<int()>& body);
  // Waits for the child and returns its exit status (-1 when it did not exit).
  int wait_peer(pid_t pid);

  // Serves `count` requests as the collector does over shared memory,
  // letting `fill` answer each block (false when the request was not as
  // expected); the child's exit status: 0 when all went well.
  int serve_requests(int count, const std::function<bool(CursList&, const CommAnchor&)>& fill);
  // A go signal from parent to child, so that a child attaches to the
  // channel only once the parent has made it.
  void make_go();
  void send_go();
  void await_go();

  std::string dir_;
  OffsetClock clock_;

 private:
  EnvVars saved_env_;
  std::FILE* saved_log_ = nullptr;
  std::FILE* log_ = nullptr;
  std::vector<int> shm_ids_, sem_ids_;
  int go_[2] = {-1, -1};
};

// True when the segment or semaphore set no longer exists.
bool shm_gone(int id);
bool sem_gone(int id);

}  // namespace qrx::test
