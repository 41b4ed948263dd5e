#include "channel_fixture.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "agent/comm_entry.h"
#include "agent/share_memory.h"
#include "base/log.h"
#include "base/trace.h"

namespace qrx::test {

void ChannelTest::SetUp() {
  char pattern[] = "/tmp/qrx_channel_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir_ = pattern;
  saved_env_ = env_vars;
  env_vars.tmpdir = dir_;
  env_vars.localtmpdir = dir_;
  env_vars.serverid = "SRV";
  env_vars.db_type = "qrx";
  env_vars.hostname = "host";
  env_vars.use_shm.clear();
  unsetenv("WAIT_TIMEOUT");
  unsetenv("COLL_WAIT_TIMEOUT");
  reset_channel_state();
  set_process_probe(nullptr);
  set_clock(&clock_);
  saved_log_ = stder;
  log_ = std::tmpfile();
  stder = log_;
}

void ChannelTest::TearDown() {
  const std::vector<int> ids = channel_ids();
  if (!ids.empty()) expect_removed_later({ids[0], ids[2]}, {ids[1], ids[3]});
  DestroyShareCommObject();
  for (int id : shm_ids_) {
    EXPECT_TRUE(shm_gone(id)) << "segment " << id << " left behind";
    shmctl(id, IPC_RMID, nullptr);
  }
  for (int id : sem_ids_) {
    EXPECT_TRUE(sem_gone(id)) << "semaphore set " << id << " left behind";
    semctl(id, 0, IPC_RMID);
  }
  for (int& fd : go_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  stder = saved_log_;
  std::fclose(log_);
  set_clock(nullptr);
  set_process_probe(nullptr);
  reset_channel_state();
  my_trace_all[4] = my_trace_all[5] = 0;
  env_vars = saved_env_;
  unsetenv("WAIT_TIMEOUT");
  unsetenv("COLL_WAIT_TIMEOUT");
  std::filesystem::remove_all(dir_);
}

std::string ChannelTest::log_text() {
  std::fflush(log_);
  std::rewind(log_);
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, log_)) > 0) text.append(buf, n);
  std::fseek(log_, 0, SEEK_END);
  return text;
}

bool ChannelTest::logged(const char* id, const std::string& text) {
  std::string upper = id;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::istringstream lines(log_text());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(upper, 0) == 0 && line.find(text) != std::string::npos) return true;
  }
  return false;
}

void ChannelTest::expect_removed_later(std::vector<int> shm_ids, std::vector<int> sem_ids) {
  shm_ids_.insert(shm_ids_.end(), shm_ids.begin(), shm_ids.end());
  sem_ids_.insert(sem_ids_.end(), sem_ids.begin(), sem_ids.end());
}

std::vector<int> ChannelTest::channel_ids() {
  if (!g_pCommObjectRequest || !g_pCommObjectData) return {};
  return {g_pCommObjectRequest->GetShmID(), g_pCommObjectRequest->GetSemID(),
          g_pCommObjectData->GetShmID(), g_pCommObjectData->GetSemID()};
}

pid_t ChannelTest::fork_peer(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int rc = body();
    std::fflush(nullptr);
    _exit(rc);
  }
  return pid;
}

int ChannelTest::wait_peer(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int ChannelTest::serve_requests(int count,
                                const std::function<bool(CursList&, const CommAnchor&)>& fill) {
  if (qrxcomm("initsm").code != 0) return 20;
  CommAnchor* anchor = qrxcomm("initc").anchor;
  if (!anchor) return 21;
  int served = 0, rc = 0;
  for (int tries = 0; served < count && tries < 20; ++tries) {
    std::vector<CursList>* blocks = qrxcomm("get", anchor).blocks;
    if (!blocks) continue;
    for (CursList& block : *blocks) {
      if (!fill(block, *anchor)) rc = 22;
      ++served;
    }
    qrxcomm("put", anchor);
    if (anchor->error_code != 0) rc = 23;
  }
  qrxcomm("term", anchor);
  qrxcomm("shut");
  return served == count ? rc : 24;
}

void ChannelTest::make_go() { ASSERT_EQ(pipe(go_), 0); }

void ChannelTest::send_go() { ASSERT_EQ(write(go_[1], "g", 1), 1); }

void ChannelTest::await_go() {
  char c;
  if (read(go_[0], &c, 1) != 1) _exit(90);
}

bool shm_gone(int id) {
  shmid_ds info{};
  return shmctl(id, IPC_STAT, &info) != 0;
}

bool sem_gone(int id) {
  semid_ds info{};
  return semctl(id, 0, IPC_STAT, &info) != 0;
}

}  // namespace qrx::test
