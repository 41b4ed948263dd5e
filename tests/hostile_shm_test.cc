// What a shared-memory client that does not keep to the protocol can do to
// the collector: fields of the segments written out of range, a reader that
// stalls or dies in the middle of a reply, a probe killed while attached, and
// a collector restarted beside its own zombie. The real collector serves
// where a run needs one; each run has its own server id, directory and channel.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "agent/comm_entry.h"
#include "agent/share_memory.h"
#include "support/channel_fixture.h"
#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {

// ---- The real collector against a hostile client

// The owner pid, writer pid and four channel ids of an IPC id file.
struct IdLine {
  int owner = 0, writer = 0;
  int ids[4] = {-1, -1, -1, -1};  // request shm, request sem, data shm, data sem
};

class HostileShmRunTest : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
    reset_channel_state();
    static int counter = 0;
    char id[16];
    std::snprintf(id, sizeof id, "H%05d%02d", static_cast<int>(getpid() % 100000),
                  ++counter % 100);
    server_ = id;
    testing::run_sql((dir() / (server_ + ".db")).string(),
                     "CREATE TABLE settings (name TEXT, value TEXT);"
                     "INSERT INTO settings VALUES ('alpha', 'one'), ('beta', 'two');");
    write_file("qrxdict.ctl", "name SERVER;\ntype char(8);\ninitial 'RQS';\nend;\n");
    write_file("qrxproc.ctl", "process collector;\ntype local;\nlogon_id demo;\ninterval 1;\n"
                              "process rqs;\ntype local;\ninterval 1;\nend;\n");
    write_file("qrxcoll.ctl", "cursor PARAMS;\ndemand;\n"
                              "INSERT INTO settings (name, value) VALUES (:name, :value);\n"
                              "end;\n");
  }
  void TearDown() override {
    DestroyShareCommObject();
    for (pid_t pid : started_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    // What a failing run left behind goes, so that later runs start clean.
    for (const IdLine& line : seen_) {
      shmctl(line.ids[0], IPC_RMID, nullptr);
      shmctl(line.ids[2], IPC_RMID, nullptr);
      semctl(line.ids[1], 0, IPC_RMID);
      semctl(line.ids[3], 0, IPC_RMID);
    }
    reset_channel_state();
    StartupTest::TearDown();
  }

  std::string environment() const {
    const std::string d = dir().string();
    return "env -i PATH=/usr/bin:/bin HOME='" + d + "' USER=tester COLL_HOME='" + d +
           "' COLL_CTL_HOME='" + d + "' COLL_OUT='" + d + "' COLL_PREFIX='" + d +
           "' COLL_PREFIX_LOCAL='" + d + "' COLL_SERVERID=" + server_ +
           " COLL_HOSTNAME=host COLL_VERSION=qrx COLL_USESHM=1 COLL_SHUTDOWN_WAIT=0"
           " COLL_WAIT_TIMEOUT=1 WAIT_TIMEOUT=20 ";
  }

  // Runs `program` with `args` in the test directory as a child; its pid.
  pid_t spawn(const char* program, const std::string& args) {
    const std::string command = "cd '" + dir().string() + "' && exec " + environment() + "'" +
                                QRX_BINARY_DIR + "/" + program + "' -rdbms " + server_ +
                                " -dbtype qrx " + args + " >/dev/null 2>&1";
    const pid_t pid = fork();
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    started_.push_back(pid);
    return pid;
  }
  // Waits for `pid` (at most about 30 seconds); its wait status, or -1.
  int reap(pid_t pid) {
    int status = -1;
    const bool ended = testing::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    std::erase(started_, pid);
    return ended ? status : -1;
  }

  // Starts the collector and waits until it has made or joined the channel.
  pid_t start_collector() {
    const pid_t pid = spawn("qrxcoll", "");
    EXPECT_TRUE(testing::wait_until([&] { return id_line().writer == pid; })) << log_text();
    seen_.push_back(id_line());
    return pid;
  }
  // Ends the collector with SIGTERM; true when it exited with status 0.
  bool stop_collector(pid_t pid) {
    kill(pid, SIGTERM);
    const int status = reap(pid);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  // Runs qrxprobe with `args`; its exit status, standard output in `out`.
  int probe(const std::string& args, std::string& out) {
    const std::string command = "cd '" + dir().string() + "' && " + environment() +
                                "'" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server_ +
                                " -dbtype qrx " + args + " 2>/dev/null";
    out.clear();
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  IdLine id_line() const {
    IdLine line;
    std::ifstream in(dir() / (server_ + "_qrx_host"));
    in >> line.owner >> line.writer >> line.ids[0] >> line.ids[1] >> line.ids[2] >> line.ids[3];
    return line;
  }
  static bool channel_gone(const IdLine& line) {
    return test::shm_gone(line.ids[0]) && test::shm_gone(line.ids[2]) &&
           test::sem_gone(line.ids[1]) && test::sem_gone(line.ids[3]);
  }
  static int attached(int shmid) {
    shmid_ds info{};
    return shmctl(shmid, IPC_STAT, &info) == 0 ? static_cast<int>(info.shm_nattch) : -1;
  }
  std::string log_text() const { return testing::collector_log(dir()); }

  std::string server_;
  std::vector<pid_t> started_;
  std::vector<IdLine> seen_;
};

// One field of the segments written out of its range by a client.
struct MalformedField {
  const char* name;
  std::function<void(RequestSegment&, DataSegment&)> write;
  const char* id;       // message the collector logs, null for none
  const char* message;  // its text
};
void PrintTo(const MalformedField& c, std::ostream* os) { *os << c.name; }

const MalformedField kMalformedFields[] = {
    {"NegativeRequestTimeOut", [](RequestSegment& r, DataSegment&) { r.timeout = -1; },
     "USH0600W", "Request time-out -1 out of range, using 20\n"},
    {"ZeroRequestTimeOut", [](RequestSegment& r, DataSegment&) { r.timeout = 0; }, "USH0600W",
     "Request time-out 0 out of range, using 20\n"},
    {"HugeRequestTimeOut", [](RequestSegment& r, DataSegment&) { r.timeout = INT_MAX; },
     "USH0600W", "Request time-out 2147483647 out of range, using 20\n"},
    {"ReaderDoneZeroWithNoReplyPending",
     [](RequestSegment& r, DataSegment& d) {
       r.data_written = -1;
       d.reader_done = 0;
     },
     "USH0615W", "Reader-done flag 0 with no reply pending, taken as 1\n"},
    {"ReaderDoneNeitherZeroNorOne", [](RequestSegment&, DataSegment& d) { d.reader_done = 7; },
     "USH0610W", "Reader-done flag 7 out of range, taken as 1\n"},
    {"AttachCountsZero",
     [](RequestSegment& r, DataSegment& d) { r.attach_count = d.attach_count = 0; }, nullptr,
     nullptr},
    {"AttachCountsNegative",
     [](RequestSegment& r, DataSegment& d) { r.attach_count = d.attach_count = -5; }, nullptr,
     nullptr},
    {"AttachCountsHuge",
     [](RequestSegment& r, DataSegment& d) { r.attach_count = d.attach_count = INT_MAX; },
     nullptr, nullptr},
};

class MalformedFieldTest : public HostileShmRunTest,
                           public ::testing::WithParamInterface<MalformedField> {};

TEST_P(MalformedFieldTest, IsTakenAsItsDefaultAndLaterRequestsAreServed) {
  const pid_t collector = start_collector();
  const IdLine line = id_line();
  // The hostile client joins the channel, spoils the field and asks.
  ASSERT_TRUE(AttachShareCommObject(line.ids[0], line.ids[1], line.ids[2], line.ids[3]));
  GetParam().write(*g_pCommObjectRequest->request, *g_pCommObjectData->data);
  std::string unique, received, rows;
  ASSERT_EQ(g_pCommObjectRequest->SendRequest("PARAMS", {}, unique, nullptr, 5), 0);
  int numrow = 0, lenrow = 0;
  EXPECT_EQ(g_pCommObjectData->GetData(unique, received, numrow, lenrow, rows, 15), 0)
      << log_text();
  EXPECT_EQ(numrow, 2);
  EXPECT_NE(rows.find("alpha"), std::string::npos);
  DestroyShareCommObject();

  // Well-behaved requesters after it are served as ever.
  for (int i = 0; i < 2; ++i) {
    std::string out;
    EXPECT_EQ(probe("get PARAMS", out), 0) << log_text();
    EXPECT_NE(out.find("PARAMS rows=2 "), std::string::npos) << out << log_text();
  }
  if (GetParam().id) {
    const std::string log = log_text();
    const size_t at = log.find(std::string(GetParam().id) + " (");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.substr(at + 18, std::strlen(GetParam().message)), GetParam().message) << log;
    EXPECT_EQ(testing::occurrences(log, GetParam().id), 1) << "the field is put right once";
  }
  EXPECT_TRUE(stop_collector(collector)) << log_text();
  EXPECT_TRUE(channel_gone(line)) << "the collector's channel outlived it";
}

INSTANTIATE_TEST_SUITE_P(Fields, MalformedFieldTest, ::testing::ValuesIn(kMalformedFields),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileShmRunTest, ProbeKilledWhileWaitingDoesNotKeepTheChannelAfterTheCollectorEnds) {
  const pid_t collector = start_collector();
  const IdLine line = id_line();
  // With the collector held, the probe attaches, asks and waits for ever.
  ASSERT_EQ(kill(collector, SIGSTOP), 0);
  const pid_t prober = spawn("qrxprobe", "get PARAMS");
  ASSERT_TRUE(testing::wait_until([&] { return attached(line.ids[2]) == 2; }));
  kill(prober, SIGKILL);
  reap(prober);
  ASSERT_EQ(kill(collector, SIGCONT), 0);
  EXPECT_TRUE(stop_collector(collector)) << log_text();
  EXPECT_TRUE(channel_gone(line)) << log_text();
}

TEST_F(HostileShmRunTest, CollectorRestartedBesideAZombieMakesItsOwnChannelAndLeavesNone) {
  const pid_t first = start_collector();
  const IdLine old_line = id_line();
  // Killed and not yet waited for: the first collector stays a zombie.
  ASSERT_EQ(kill(first, SIGKILL), 0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, first, &info, WEXITED | WNOWAIT), 0);
  ASSERT_FALSE(IsServerRunning(first));

  const pid_t second = start_collector();
  const IdLine new_line = id_line();
  EXPECT_NE(new_line.ids[0], old_line.ids[0]) << "attached to the zombie's channel";
  EXPECT_TRUE(channel_gone(old_line)) << "the zombie's channel was left";
  std::string out;
  EXPECT_EQ(probe("get PARAMS", out), 0) << log_text();
  EXPECT_TRUE(stop_collector(second)) << log_text();
  EXPECT_TRUE(channel_gone(new_line)) << log_text();
  reap(first);
}

// ---- Readers that stall or die in the middle of a reply

class StalledReaderTest : public test::ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    ASSERT_EQ(InitShare("SRV"), 0);
  }
  ShareCommObject& dat() { return *g_pCommObjectData; }

  // A reader in a child process: before each block it waits `pause_ms`,
  // then takes the block as GetData does; it stops after `blocks` blocks or
  // when none comes within 3 seconds.
  pid_t reader(int blocks, int pause_ms) {
    const int semid = dat().GetSemID();
    return fork_peer([=] {
      for (int i = 0; i < blocks; ++i) {
        usleep(static_cast<useconds_t>(pause_ms) * 1000);
        sembuf take{1, -1, 0};
        timespec limit{3, 0};
        if (semtimedop(semid, &take, 1, &limit) != 0) return 0;
        sembuf give{0, 1, 0};
        semop(semid, &give, 1);
      }
      return 0;
    });
  }
  // A reply of `blocks` whole data blocks.
  static std::string payload(int blocks) { return std::string(blocks * kDataBlockSize, 'r'); }

  // The next reply goes through once the segment was reset.
  void expect_next_reply_served() {
    EXPECT_EQ(dat().Values(), (std::array<int, 2>{1, 0}));
    EXPECT_EQ(dat().data->reader_done, 1);
    clock_.slept = 0;
    ASSERT_EQ(dat().SendData("U-NEXT", 1, 4, "next", 2), 0);
    EXPECT_EQ(clock_.slept, 0u) << "the next reply waited for the abandoned one";
    std::string received, rows;
    int numrow = 0, lenrow = 0;
    ASSERT_EQ(dat().GetData("U-NEXT", received, numrow, lenrow, rows, 0), 0);
    EXPECT_EQ(rows, "next");
  }
};

TEST_F(StalledReaderTest, ReaderThatDiesAfterTwoBlocksCostsOneDeadline) {
  const pid_t peer = reader(2, 0);
  const std::string rows = payload(4);
  EXPECT_EQ(dat().SendData("U-DEAD", 4, kDataBlockSize, rows.data(), 2), kShareTimeout);
  EXPECT_EQ(wait_peer(peer), 0);
  EXPECT_TRUE(logged("ush0620",
                     "Reply U-DEAD abandoned after 2 seconds with 2 of 4 blocks read; "
                     "data segment reset"))
      << log_text();
  expect_next_reply_served();
}

TEST_F(StalledReaderTest, ReaderThatTakesEachBlockInTimeStillLosesTheReplyAtTheTotalDeadline) {
  // Every block is taken well within the time-out; the reply as a whole is not.
  const pid_t peer = reader(6, 800);
  const std::string rows = payload(6);
  EXPECT_EQ(dat().SendData("U-SLOW", 6, kDataBlockSize, rows.data(), 2), kShareTimeout);
  EXPECT_TRUE(logged("ush0620", "Reply U-SLOW abandoned after 2 seconds with ")) << log_text();
  EXPECT_EQ(wait_peer(peer), 0);
  expect_next_reply_served();
}

TEST_F(StalledReaderTest, UnreadPreviousReplyCostsNoMoreThanTheDeadline) {
  ASSERT_EQ(dat().SendData("U-OLD", 1, 3, "old", 2), 0);
  clock_.slept = 0;
  EXPECT_EQ(dat().SendData("U-NEW", 1, 3, "new", 2), kShareTimeout);
  EXPECT_LE(clock_.slept, 2u) << "waited past the deadline for the previous reader";
  EXPECT_TRUE(logged("ush0620", "Reply U-NEW abandoned after 2 seconds with 0 of 1 blocks read"))
      << log_text();
  expect_next_reply_served();
}

}  // namespace
}  // namespace qrx
