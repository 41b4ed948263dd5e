// The shared-memory channel: hand-overs between two processes, blocks,
// time-outs, clean-up of stale data and stuck semaphores, and the id file.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>

#include "agent/comm_entry.h"
#include "agent/share_memory.h"
#include "base/trace.h"
#include "support/channel_fixture.h"
#include "support/log_capture.h"

namespace qrx {
namespace {

using test::ChannelTest;

class ShareChannelTest : public ChannelTest {
 protected:
  // Makes the channel in this process, as the first side to start does.
  void create_channel() { ASSERT_EQ(InitShare("SRV"), 0); }
  ShareCommObject& req() { return *g_pCommObjectRequest; }
  ShareCommObject& dat() { return *g_pCommObjectData; }
  std::string id_file_line() {
    std::ifstream in(ipc_id_file_path());
    std::string line;
    std::getline(in, line);
    return line;
  }
};

// Answers with `rows` copies of `row` when the request carried `params`
// plus the two empty ones every request record ends with.
auto answer(const std::string& row, int rows, std::vector<std::string> params) {
  params.insert(params.end(), {"", ""});
  return [=](CursList& block, const CommAnchor& anchor) {
    block.numrow = rows;
    block.lenrow = static_cast<int>(row.size());
    for (int i = 0; i < rows; ++i) block.data.insert(block.data.end(), row.begin(), row.end());
    return anchor.parameters == params;
  };
}

TEST_F(ShareChannelTest, RequestAndReplyTravelBetweenTwoProcessesAndTheLastLeaverRemovesAll) {
  make_go();
  const pid_t collector = fork_peer([&] {
    await_go();
    return serve_requests(1, answer("ROW-A", 2, {"p1", "p2"}));
  });
  create_channel();
  const std::vector<int> ids = channel_ids();
  send_go();
  CommAnchor* probe = qrxcomm("init").anchor;
  probe->parameters = {"p1", "p2"};
  std::vector<CursList>* blocks = qrxcomm("get", probe, "CURS1").blocks;
  ASSERT_NE(blocks, nullptr) << probe->error_text;
  ASSERT_EQ(blocks->size(), 1u);
  EXPECT_EQ(blocks->front().numrow, 2);
  EXPECT_EQ(blocks->front().lenrow, 5);
  EXPECT_EQ(std::string(blocks->front().data.begin(), blocks->front().data.end()), "ROW-AROW-A");
  qrxcomm("term", probe);
  EXPECT_EQ(wait_peer(collector), 0);
  EXPECT_TRUE(logged("ush0035", "Attached IPCID("));
  EXPECT_TRUE(logged("ush0034", "Created IPCID("));
  EXPECT_FALSE(test::shm_gone(ids[0]));
  qrxcomm("shut");
  for (int i : {0, 2}) EXPECT_TRUE(test::shm_gone(ids[i]));
  for (int i : {1, 3}) EXPECT_TRUE(test::sem_gone(ids[i]));
}

TEST_F(ShareChannelTest, EachCursorOfOneGetReceivesTheReplyToItsOwnRequest) {
  make_go();
  const pid_t collector = fork_peer([&] {
    await_go();
    return serve_requests(2, [](CursList& block, const CommAnchor&) {
      block.numrow = 1;
      block.lenrow = static_cast<int>(block.name.size());
      block.data.assign(block.name.begin(), block.name.end());
      return true;
    });
  });
  create_channel();
  send_go();
  CommAnchor* probe = qrxcomm("init").anchor;
  std::vector<CursList>* blocks = qrxcomm("get", probe, "FIRST,SECOND").blocks;
  ASSERT_NE(blocks, nullptr) << probe->error_text;
  ASSERT_EQ(blocks->size(), 2u);
  EXPECT_EQ(std::string((*blocks)[0].data.begin(), (*blocks)[0].data.end()), "FIRST");
  EXPECT_EQ(std::string((*blocks)[1].data.begin(), (*blocks)[1].data.end()), "SECOND");
  qrxcomm("term", probe);
  EXPECT_EQ(wait_peer(collector), 0);
}

TEST_F(ShareChannelTest, BackToBackRequestsAndRepliesAreAllDelivered) {
  create_channel();
  constexpr int kCount = 100;
  const pid_t agent = fork_peer([&] {
    for (int i = 0; i < kCount; ++i) {
      std::string unique;
      if (req().SendRequest(("R" + std::to_string(i)).c_str(), {}, unique, nullptr, 5) != 0) {
        return 1;
      }
    }
    for (int i = 0; i < kCount; ++i) {
      std::string received, rows;
      int numrow = 0, lenrow = 0;
      if (dat().GetData("", received, numrow, lenrow, rows, 5) != 0) return 2;
      if (rows != std::to_string(i)) return 3;
    }
    return 0;
  });
  int requests = 0;
  for (int i = 0; i < kCount; ++i) {
    std::string name, unique, text;
    std::vector<std::string> params;
    if (req().GetRequest(name, unique, params, text, 5) != 0) break;
    EXPECT_EQ(name, "R" + std::to_string(i));
    ++requests;
  }
  EXPECT_EQ(requests, kCount);
  for (int i = 0; i < kCount; ++i) {
    const std::string row = std::to_string(i);
    ASSERT_EQ(dat().SendData("U", 1, static_cast<int>(row.size()), row.data(), 5), 0);
  }
  EXPECT_EQ(wait_peer(agent), 0);
}

TEST_F(ShareChannelTest, PayloadOf250000BytesTravelsInThreeBlocks) {
  create_channel();
  std::string payload(250000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  const pid_t collector = fork_peer(
      [&] { return dat().SendData("U-1", 2500, 100, payload.data(), 10) == 0 ? 0 : 1; });
  const size_t expected[] = {99000, 99000, 52000};
  size_t offset = 0;
  for (size_t chunk : expected) {
    sembuf take{1, -1, 0};
    ASSERT_EQ(dat().SemTimedOp(&take, 1, 10), 0);
    EXPECT_EQ(std::memcmp(dat().data->block, payload.data() + offset, chunk), 0);
    if (chunk < kDataBlockSize) {
      EXPECT_EQ(dat().data->block[chunk], '\0');
    }
    EXPECT_EQ(dat().data->numrow, 2500);
    offset += chunk;
    sembuf give{0, 1, 0};
    ASSERT_EQ(dat().SemOp(&give, 1), 0);
  }
  EXPECT_EQ(wait_peer(collector), 0);
  EXPECT_FALSE(dat().IsBlockFilledForRead());
}

TEST_F(ShareChannelTest, ReplyReadBackWholeAcrossBlocks) {
  create_channel();
  std::string payload(250000, 'x');
  payload[249999] = 'z';
  const pid_t collector = fork_peer(
      [&] { return dat().SendData("U-2", 2500, 100, payload.data(), 10) == 0 ? 0 : 1; });
  std::string received, rows;
  int numrow = 0, lenrow = 0;
  ASSERT_EQ(dat().GetData("U-2", received, numrow, lenrow, rows, 10), 0);
  EXPECT_EQ(wait_peer(collector), 0);
  EXPECT_EQ(rows, payload);
  EXPECT_EQ(received, "U-2");
  EXPECT_EQ(dat().Values(), (std::array<int, 2>{1, 0}));
  EXPECT_EQ(dat().data->reader_done, 1);
}

TEST_F(ShareChannelTest, ReplyWithoutRowsCarriesNONE) {
  create_channel();
  ASSERT_EQ(dat().SendData("U-3", 0, 40, nullptr, 1), 0);
  std::string received, rows;
  int numrow = -1, lenrow = -1;
  ASSERT_EQ(dat().GetData("U-3", received, numrow, lenrow, rows, 1), 0);
  EXPECT_EQ(rows, "NONE");
  EXPECT_EQ(numrow, 0);
}

TEST_F(ShareChannelTest, RequestOlderThanItsTimeOutIsServedAndSemaphoresReset) {
  create_channel();
  std::string unique;
  ASSERT_EQ(req().SendRequest("CURS1", {}, unique, nullptr, 1), 0);
  clock_.offset = 46;
  std::string name, got_unique, text;
  std::vector<std::string> params;
  EXPECT_EQ(req().GetRequest(name, got_unique, params, text, 1), 0);
  EXPECT_EQ(name, "CURS1");
  EXPECT_EQ(got_unique, unique);
  EXPECT_TRUE(logged("ush0032", "Request '" + unique +
                                    "' waited longer than the request time-out, served all the "
                                    "same(now:"));
  EXPECT_EQ(req().Values(), (std::array<int, 2>{1, 0}));
}

TEST_F(ShareChannelTest, RequestCarriesNameParametersAndNoStaleData) {
  create_channel();
  std::string unique;
  ASSERT_EQ(req().SendRequest("CURS1", {"a", std::string(30, 'b')}, unique, "DATA", 1), 0);
  std::string name, got, text;
  std::vector<std::string> params;
  ASSERT_EQ(req().GetRequest(name, got, params, text, 1), 0);
  ASSERT_EQ(req().SendRequest("CURS2", {}, unique, nullptr, 1), 0);
  std::string text2 = "caller's";
  std::vector<std::string> params2;
  ASSERT_EQ(req().GetRequest(name, got, params2, text2, 1), 0);
  EXPECT_EQ(params, (std::vector<std::string>{"a", std::string(19, 'b')}));
  EXPECT_EQ(text, "DATA");
  EXPECT_EQ(name, "CURS2");
  EXPECT_EQ(got, unique);
  EXPECT_EQ(text2, "caller's");
  // NAME-SECONDS-COUNTER@PID: two processes asking in the same second differ.
  const std::string pid = "@" + std::to_string(getpid());
  EXPECT_EQ(unique.rfind("CURS2-", 0), 0u);
  EXPECT_EQ(unique.size(), 5u + 1 + 12 + 1 + 4 + pid.size());
  EXPECT_EQ(unique.substr(unique.size() - pid.size()), pid);
}

TEST_F(ShareChannelTest, WaitingForARequestTimesOutOnceWithZeroTimeOut) {
  create_channel();
  std::string name, unique, text;
  std::vector<std::string> params;
  EXPECT_EQ(req().GetRequest(name, unique, params, text, 0), kShareTimeout);
  EXPECT_EQ(clock_.slept, 0u);
}

TEST_F(ShareChannelTest, WriterThatDiedHoldingTheSegmentIsReleasedBySendRequest) {
  create_channel();
  unsigned short stuck[3] = {0, 0, 1};
  ASSERT_EQ(req().SemCtl(0, SETALL, stuck), 0);
  std::string unique;
  EXPECT_EQ(req().SendRequest("CURS1", {}, unique, nullptr, 0), kShareTimeout);
  EXPECT_EQ(req().Values(), (std::array<int, 2>{0, 1}));
  std::string name, got, text;
  std::vector<std::string> params;
  req().GetRequest(name, got, params, text, 0);
  EXPECT_EQ(req().Values(), (std::array<int, 2>{1, 0}));
}

TEST_F(ShareChannelTest, UnreadReplyIsCleanedAfterThirtySeconds) {
  create_channel();
  ASSERT_EQ(dat().SendData("U-OLD", 1, 3, "old", 1), 0);
  clock_.offset = 20;
  EXPECT_EQ(dat().Check(), 0);
  clock_.offset = 31;
  my_trace_all[5] = 1;
  EXPECT_EQ(dat().Check(), 1);
  EXPECT_TRUE(logged("nsh0011", "Data for cursor U-OLD is cleaned"));
  EXPECT_EQ(dat().Values(), (std::array<int, 2>{1, 0}));
  std::string received, rows;
  int numrow = 0, lenrow = 0;
  EXPECT_EQ(dat().GetData("U-OLD", received, numrow, lenrow, rows, 0), kShareTimeout);
}

TEST_F(ShareChannelTest, NextReplyCleansAnUnreadOneFirst) {
  create_channel();
  ASSERT_EQ(dat().SendData("U-OLD", 1, 3, "old", 1), 0);
  clock_.offset = 31;
  ASSERT_EQ(dat().SendData("U-NEW", 1, 3, "new", 1), 0);
  EXPECT_TRUE(logged("ush0030", "Cleaning share memory, Data for cursor U-OLD is cleaned"));
  std::string received, rows;
  int numrow = 0, lenrow = 0;
  ASSERT_EQ(dat().GetData("U-NEW", received, numrow, lenrow, rows, 0), 0);
  EXPECT_EQ(rows, "new");
}

TEST_F(ShareChannelTest, ReplyToARequestPastItsTimeOutIsWrittenAllTheSame) {
  create_channel();
  clock_.offset = 46;
  EXPECT_EQ(dat().SendData("U-LATE", 1, 3, "abc", 1), 0);
  EXPECT_FALSE(logged("ush0033", ""));
  std::string received, rows;
  int numrow = 0, lenrow = 0;
  ASSERT_EQ(dat().GetData("U-LATE", received, numrow, lenrow, rows, 0), 0);
  EXPECT_EQ(rows, "abc");
}

// Processes waiting on the data set's 'filled' semaphore to be zero: a
// reader that handed another's reply back waits so.
int waiting_for_taken(ShareCommObject& object) {
  return semctl(object.GetSemID(), 1, GETZCNT);
}

Deadline in_seconds(int seconds) {
  return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

TEST_F(ShareChannelTest, AnotherRequestersReplyIsHandedBackUntouched) {
  create_channel();
  ASSERT_EQ(dat().SendData("OTHER-1@1", 1, 5, "other", 10), 0);
  const pid_t mine = fork_peer([&] {
    std::string received, rows;
    int numrow = 0, lenrow = 0;
    if (dat().GetData("MINE-1@2", received, numrow, lenrow, rows, 20) != 0) return 1;
    return rows == "mine" && received == "MINE-1@2" ? 0 : 2;
  });
  // Once the reader of MINE has seen OTHER's reply, it waits for OTHER to take it.
  while (waiting_for_taken(dat()) == 0) usleep(1000);
  std::string received, rows;
  int numrow = 0, lenrow = 0;
  ASSERT_EQ(dat().GetData("OTHER-1@1", received, numrow, lenrow, rows, 10), 0);
  EXPECT_EQ(rows, "other");
  ASSERT_EQ(dat().SendData("MINE-1@2", 1, 4, "mine", 10), 0);
  EXPECT_EQ(wait_peer(mine), 0);
}

TEST_F(ShareChannelTest, ExchangeHolderDropsTheReplyOfAnEndedExchange) {
  create_channel();
  ASSERT_EQ(dat().SendData("GONE-000000000001-0001@1", 1, 6, "orphan", 10), 0);
  const pid_t collector =
      fork_peer([&] { return dat().SendData("MINE-1@2", 1, 4, "mine", 10) == 0 ? 0 : 1; });
  std::string received, rows;
  int numrow = 0, lenrow = 0;
  ASSERT_EQ(dat().ReadReply("MINE-1@2", true, received, numrow, lenrow, rows, in_seconds(20)), 0);
  EXPECT_EQ(rows, "mine");
  EXPECT_EQ(wait_peer(collector), 0);
  EXPECT_TRUE(logged("ush0625", "Reply GONE-000000000001-0001@1 of an ended exchange dropped"));
}

TEST_F(ShareChannelTest, ExchangeIsOneClientsAtATimeAndComesBackWhenItsHolderDies) {
  create_channel();
  ASSERT_EQ(req().TakeExchange(in_seconds(1)), 0);
  EXPECT_EQ(wait_peer(fork_peer([&] { return req().TakeExchange(in_seconds(0)) == kShareTimeout ? 0 : 1; })), 0);
  req().GiveExchange();
  // A holder that dies without giving it back: the kernel gives it back.
  EXPECT_EQ(wait_peer(fork_peer([&] { return req().TakeExchange(in_seconds(1)); })), 0);
  EXPECT_EQ(req().TakeExchange(in_seconds(10)), 0);
  req().GiveExchange();
  // The data set has no exchange semaphore, as a channel of an older collector.
  EXPECT_EQ(dat().TakeExchange(in_seconds(0)), kNoExchange);
}

TEST_F(ShareChannelTest, IdFileWithTwoDeadPidsLeadsToANewChannel) {
  const int old_req = shmget(IPC_PRIVATE, kRequestSegmentBytes, IPC_CREAT | 0600);
  const int old_data = shmget(IPC_PRIVATE, kDataSegmentBytes, IPC_CREAT | 0600);
  const int old_sem1 = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
  const int old_sem2 = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
  expect_removed_later({old_req, old_data}, {old_sem1, old_sem2});
  std::ofstream(ipc_id_file_path()) << "111 222 " << old_req << ' ' << old_sem1 << ' '
                                    << old_data << ' ' << old_sem2 << '\n';
  set_process_probe([](int) { return false; });
  create_channel();
  const std::vector<int> ids = channel_ids();
  EXPECT_NE(ids[0], old_req);
  EXPECT_TRUE(test::shm_gone(old_req) && test::shm_gone(old_data));
  EXPECT_TRUE(test::sem_gone(old_sem1) && test::sem_gone(old_sem2));
  EXPECT_EQ(id_file_line(), "-1 " + std::to_string(getpid()) + " " + std::to_string(ids[0]) +
                                " " + std::to_string(ids[1]) + " " + std::to_string(ids[2]) +
                                " " + std::to_string(ids[3]));
}

TEST_F(ShareChannelTest, IdFileWithOneLivePidLeadsToAttachment) {
  const int req_shm = shmget(IPC_PRIVATE, kRequestSegmentBytes, IPC_CREAT | 0600);
  const int data_shm = shmget(IPC_PRIVATE, kDataSegmentBytes, IPC_CREAT | 0600);
  const int req_sem = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
  const int data_sem = semget(IPC_PRIVATE, 2, IPC_CREAT | 0600);
  std::ofstream(ipc_id_file_path()) << "111 4242 " << req_shm << ' ' << req_sem << ' '
                                    << data_shm << ' ' << data_sem << '\n';
  set_process_probe([](int pid) { return pid == 4242; });
  create_channel();
  EXPECT_EQ(channel_ids(), (std::vector<int>{req_shm, req_sem, data_shm, data_sem}));
  EXPECT_EQ(id_file_line(), "4242 " + std::to_string(getpid()) + " " + std::to_string(req_shm) +
                                " " + std::to_string(req_sem) + " " + std::to_string(data_shm) +
                                " " + std::to_string(data_sem));
}

TEST_F(ShareChannelTest, ChannelIsReadableAndWritableByOwnerAndGroupOnly) {
  create_channel();
  shmid_ds shm{};
  ASSERT_EQ(shmctl(channel_ids()[0], IPC_STAT, &shm), 0);
  EXPECT_EQ(shm.shm_perm.mode & 0777, 0660u);
  semid_ds sem{};
  ASSERT_EQ(semctl(channel_ids()[1], 0, IPC_STAT, &sem), 0);
  EXPECT_EQ(sem.sem_perm.mode & 0777, 0660u);
}

TEST_F(ShareChannelTest, RequestSegmentTakesItsTimeOutFromWaitTimeout) {
  setenv("WAIT_TIMEOUT", "12", 1);
  create_channel();
  EXPECT_EQ(req().request->timeout, 12);
  EXPECT_EQ(dat().data->reader_done, 1);
  EXPECT_EQ(req().Values(), (std::array<int, 2>{1, 0}));
  EXPECT_EQ(dat().Values(), (std::array<int, 2>{1, 0}));
}

TEST_F(ShareChannelTest, ZombieCountsAsDead) {
  const pid_t child = fork_peer([] { return 0; });
  siginfo_t info{};
  // Ended but not waited for: a zombie.
  ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);
  EXPECT_FALSE(IsServerRunning(child));
  EXPECT_TRUE(IsServerRunning(getpid()));
  wait_peer(child);
}

TEST_F(ShareChannelTest, CollectorThatCreatedTheChannelRemovesItWhoeverIsStillAttached) {
  ASSERT_EQ(qrxcomm("initsm").code, 0);
  CommAnchor* anchor = qrxcomm("initc").anchor;
  const std::vector<int> ids = channel_ids();
  expect_removed_later({ids[0], ids[2]}, {ids[1], ids[3]});
  // The count says two, as a probe killed while attached leaves it, and
  // another process (the child below) is still attached.
  req().request->attach_count = 2;
  dat().data->attach_count = 2;
  make_go();
  const pid_t holder = fork_peer([&] {
    await_go();
    return 0;
  });
  qrxcomm("term", anchor);
  qrxcomm("shut");
  EXPECT_TRUE(test::sem_gone(ids[1]) && test::sem_gone(ids[3]));
  // A segment marked for removal lasts until its last process detaches.
  send_go();
  wait_peer(holder);
  EXPECT_TRUE(test::shm_gone(ids[0]) && test::shm_gone(ids[2]));
}

TEST_F(ShareChannelTest, IdFileAndLockFileAreOwnerOnlyWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{077}}) {
    const mode_t saved = umask(mask);
    const int rc = InitShare("SRV");
    umask(saved);
    ASSERT_EQ(rc, 0);
    for (const std::string& path : {ipc_id_file_path(), ipc_id_file_path() + "-lk"}) {
      struct stat st {};
      ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
      EXPECT_EQ(st.st_mode & 07777, 0600u) << path << " at umask " << std::oct << mask;
    }
    DestroyShareCommObject();
  }
}

// Something planted in the temporary directory under a channel file's name.
struct PlantedFile {
  const char* name;
  // Plants it; `victim` is a file only its owner may read and write.
  std::function<void(const std::string& id_file, const std::string& victim)> plant;
  int rc;               // what InitShare returns
  const char* planted;  // the name it stands under, after the id file's
  const char* reason;   // the system's reason in "ush0580"
};
void PrintTo(const PlantedFile& c, std::ostream* os) { *os << c.name; }

const PlantedFile kPlantedFiles[] = {
    {"IdFileLinkedToAnotherFile",
     [](const std::string& id, const std::string& victim) {
       ASSERT_EQ(symlink(victim.c_str(), id.c_str()), 0);
     },
     0, "", "Too many levels of symbolic links"},
    {"LockFileLinkedToAnotherFile",
     [](const std::string& id, const std::string& victim) {
       ASSERT_EQ(symlink(victim.c_str(), (id + "-lk").c_str()), 0);
     },
     -1, "-lk", "Too many levels of symbolic links"},
    {"IdFileThatIsADirectory",
     [](const std::string& id, const std::string&) { ASSERT_EQ(mkdir(id.c_str(), 0700), 0); },
     -1, "", "Is a directory"},
};

class PlantedFileTest : public ShareChannelTest,
                        public ::testing::WithParamInterface<PlantedFile> {};

TEST_P(PlantedFileTest, IsNeitherFollowedNorWrittenThrough) {
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "root only\n";
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  const std::string id_file = ipc_id_file_path();
  GetParam().plant(id_file, victim);
  EXPECT_EQ(InitShare("SRV"), GetParam().rc) << log_text();
  EXPECT_EQ(testing::file_text(victim), "root only\n");
  struct stat st {};
  ASSERT_EQ(::stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(logged("ush0580", "IPC file " + id_file + GetParam().planted + " not used: " +
                                    GetParam().reason))
      << log_text();
  if (GetParam().rc == 0) {
    // The id file is made anew, a regular file of this user.
    ASSERT_EQ(::lstat(id_file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(id_file_line().substr(0, 3), "-1 ");
  }
}

INSTANTIATE_TEST_SUITE_P(Plants, PlantedFileTest, ::testing::ValuesIn(kPlantedFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShareChannelTest, IdFileOfAnotherUserIsNotTrusted) {
  if (geteuid() != 0) GTEST_SKIP() << "needs to give a file to another user";
  const int planted_shm = shmget(IPC_PRIVATE, kRequestSegmentBytes, IPC_CREAT | 0666);
  const int planted_sem = semget(IPC_PRIVATE, 2, IPC_CREAT | 0666);
  expect_removed_later({planted_shm}, {planted_sem});
  const std::string id_file = ipc_id_file_path();
  std::ofstream(id_file) << "1 1 " << planted_shm << ' ' << planted_sem << ' ' << planted_shm
                         << ' ' << planted_sem << '\n';
  ASSERT_EQ(chown(id_file.c_str(), 4321, 4321), 0);
  ASSERT_EQ(InitShare("SRV"), 0);
  EXPECT_NE(channel_ids()[0], planted_shm) << "attached to the ids another user named";
  EXPECT_TRUE(logged("ush0580", "IPC file " + id_file + " not used: Operation not permitted"));
  shmctl(planted_shm, IPC_RMID, nullptr);
  semctl(planted_sem, 0, IPC_RMID);
}

// A temporary directory and whether the channel may keep its files there.
struct TemporaryDirectory {
  const char* name;
  mode_t mode;
  uid_t owner;      // 0: this process's user
  const char* id;   // the refusal message, null when accepted
  const char* text;
};
void PrintTo(const TemporaryDirectory& c, std::ostream* os) { *os << c.name; }

const TemporaryDirectory kTemporaryDirectories[] = {
    {"PrivateDirectory", 0700, 0, nullptr, nullptr},
    {"GroupWritableDirectory", 0770, 0, nullptr, nullptr},
    {"WorldWritableStickyDirectory", 01777, 0, nullptr, nullptr},
    {"WorldWritableDirectoryWithoutStickyBit", 0777, 0, "ufl1035",
     " is writable by others without the sticky bit: refused"},
    {"DirectoryOfAnotherUser", 0700, 4321, "ufl1030", " is owned by uid 4321, not by this user"},
};

class TemporaryDirectoryTest : public ShareChannelTest,
                               public ::testing::WithParamInterface<TemporaryDirectory> {};

TEST_P(TemporaryDirectoryTest, IsRefusedWhenOthersCouldPlantFilesInIt) {
  const TemporaryDirectory& c = GetParam();
  const std::string tmp = dir_ + "/tmp";
  ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
  ASSERT_EQ(chmod(tmp.c_str(), c.mode), 0);
  if (c.owner != 0) {
    if (geteuid() != 0) GTEST_SKIP() << "needs to give a directory to another user";
    ASSERT_EQ(chown(tmp.c_str(), c.owner, c.owner), 0);
  }
  env_vars.tmpdir = tmp;
  EXPECT_EQ(InitShare("SRV"), c.id ? -1 : 0) << log_text();
  if (c.id) {
    EXPECT_TRUE(logged(c.id, "Directory " + tmp + c.text)) << log_text();
    EXPECT_EQ(g_pCommObjectRequest, nullptr);
    EXPECT_NE(::access(ipc_id_file_path().c_str(), F_OK), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Directories, TemporaryDirectoryTest,
                         ::testing::ValuesIn(kTemporaryDirectories),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qrx
