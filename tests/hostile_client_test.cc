// What a hostile client can do to the real collector, and what it can no
// longer do: over the pipes, malformed request records written ahead of a
// valid one, reply paths naming files that are not the requester's FIFO, and
// FIFOs that dead probes left behind; over shared memory, fields of the
// segments written out of range, a reader that stalls or dies in the middle of
// a reply, a probe killed while attached, and a collector restarted beside its
// own zombie. Each test has its own server id, directory and channel, so tests
// may run in parallel.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/comm_entry.h"
#include "agent/request_record.h"
#include "agent/share_memory.h"
#include "qrx/channel.h"
#include "support/channel_fixture.h"
#include "support/collector_process.h"
#include "support/database_fixture.h"
#include "support/log_capture.h"
#include "support/startup_fixture.h"

namespace qrx {
namespace {
// ---- Over the pipes

namespace fs = std::filesystem;

using Bytes = std::vector<char>;

Bytes join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A record header claiming `total` bytes and a name of `name_length`.
Bytes header(uint16_t total, uint16_t name_length) {
  Bytes bytes(4);
  std::memcpy(bytes.data(), &total, 2);
  std::memcpy(bytes.data() + 2, &name_length, 2);
  return bytes;
}

// Files planted in the channel directory, with the means to tell that the
// collector wrote none of them.
class Planted {
 public:
  explicit Planted(std::string dir) : dir_(std::move(dir)) {}
  ~Planted() {
    for (int fd : fds_) ::close(fd);
  }
  Planted(const Planted&) = delete;
  Planted& operator=(const Planted&) = delete;

  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  // Makes a FIFO at `fifo` with `mode` and opens it for reading (returned)
  // and for writing, as a probe holds its own pipe.
  int open_fifo(const std::string& fifo, mode_t mode = 0660) {
    EXPECT_EQ(::mkfifo(fifo.c_str(), mode), 0) << fifo;
    EXPECT_EQ(::chmod(fifo.c_str(), mode), 0) << fifo;
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_GE(fd, 0) << fifo;
    fds_.push_back(fd);
    fds_.push_back(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    return fd;
  }
  // A FIFO `name` with a reader that must receive nothing; its path.
  std::string fifo(const std::string& name, mode_t mode = 0660) {
    fifos_.emplace_back(path(name), open_fifo(path(name), mode));
    return path(name);
  }
  // A regular file `name` whose `text` must stay as it is; its path.
  std::string file(const std::string& name, const std::string& text) {
    const std::string p = path(name);
    std::FILE* f = std::fopen(p.c_str(), "w");
    EXPECT_NE(f, nullptr) << p;
    if (f) {
      std::fputs(text.c_str(), f);
      std::fclose(f);
    }
    files_.emplace_back(p, text);
    return p;
  }
  // Success when no planted file changed and no planted FIFO got a byte.
  ::testing::AssertionResult untouched() const {
    for (const auto& [p, text] : files_)
      if (testing::file_text(p) != text) return ::testing::AssertionFailure() << p << " written";
    for (const auto& [p, fd] : fifos_) {
      char c;
      if (!(::read(fd, &c, 1) < 0 && errno == EAGAIN))
        return ::testing::AssertionFailure() << p << " written";
    }
    return ::testing::AssertionSuccess();
  }

 private:
  std::string dir_;
  std::vector<std::pair<std::string, std::string>> files_;
  std::vector<std::pair<std::string, int>> fifos_;
  std::vector<int> fds_;
};

// A directory of its own with a settings database under a server id of its
// own, and the control files of a collector serving one demand cursor.
class HostileRunFixture : public testing::StartupTest {
 protected:
  void SetUp() override {
    StartupTest::SetUp();
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

  std::string server_;
};

class HostileClientTest : public HostileRunFixture {
 protected:
  void SetUp() override {
    HostileRunFixture::SetUp();
    planted_ = std::make_unique<Planted>(dir().string());
  }
  void TearDown() override {
    collector_.reset();
    planted_.reset();
    StartupTest::TearDown();
  }

  // The settings of the collector and the probe: this test's server and
  // directory, the pipe channel.
  std::string environment() const {
    const std::string d = dir().string();
    return "COLL_PREFIX='" + d + "' COLL_PREFIX_LOCAL='" + d + "' COLL_SERVERID=" + server_ +
           " COLL_HOSTNAME=host COLL_VERSION=qrx COLL_USESHM=0 COLL_WAIT_TIMEOUT=1"
           " WAIT_TIMEOUT=20";
  }

  // Starts qrxcoll and waits until it has entered its loop.
  void start() {
    collector_ = std::make_unique<testing::CollectorProcess>();
    ASSERT_TRUE(collector_->start(dir(), "-rdbms " + server_ + " -dbtype qrx", environment()));
    ASSERT_TRUE(testing::wait_until(
        [&] { return log_text().find("Start collecting.") != std::string::npos; }))
        << log_text();
  }

  std::string collector_pipe() const {
    return (dir() / ("col_" + server_ + "_qrx_pipe")).string();
  }
  std::string log_text() const { return testing::collector_log(dir()); }

  // Writes `bytes` into the collector's pipe in one piece, as one client
  // does, once the collector reads its pipe: the channel opens after
  // "Start collecting.", and a FIFO left at the name has no reader until the
  // collector has made its own.
  void send(const Bytes& bytes) {
    int fd = -1;
    ASSERT_TRUE(testing::wait_until([&] {
      fd = ::open(collector_pipe().c_str(), O_WRONLY | O_NONBLOCK);
      return fd >= 0;
    })) << collector_pipe() << "\n" << log_text();
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }

  // A requester FIFO `name` and the valid request for PARAMS that names it.
  std::pair<int, Bytes> requester(const std::string& name) {
    const std::string p = planted_->path(name);
    return {planted_->open_fifo(p), build_data_request("PARAMS", p, {})};
  }

  // The row count of the whole reply that reaches `fd` within about 20
  // seconds, or -1 when none does.
  static int reply_rows(int fd) {
    std::string got;
    for (int i = 0; i < 200; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) got.append(buf, n);
      StreamHeader head{};
      if (got.size() < sizeof head) continue;
      std::memcpy(&head, got.data(), sizeof head);
      if (got.size() == sizeof head + static_cast<size_t>(head.rows) * head.length)
        return head.rows;
    }
    return -1;
  }

  // True once (within about 30 seconds) the log holds a line of message `id`
  // with `severity` (as shown) whose text is exactly `text`.
  bool logged(const std::string& id, char severity, const std::string& text) const {
    const std::string head = id + severity + " (";
    return testing::wait_until([&] {
      std::istringstream lines(log_text());
      for (std::string line; std::getline(lines, line);) {
        // identifier and severity, " (", HHMMSS, ") ", text
        if (line.starts_with(head) && line.size() >= head.size() + 8 &&
            line.substr(head.size() + 8) == text)
          return true;
      }
      return false;
    });
  }

  std::unique_ptr<Planted> planted_;
  std::unique_ptr<testing::CollectorProcess> collector_;
};

// Bytes that are no request record, written in the same piece just ahead of
// a valid request: the collector names what it skipped and serves the valid one.
struct MalformedInput {
  const char* name;
  Bytes (*bytes)(size_t valid_size);  // given the size of the valid record after them
  const char* id;
  char severity;
  const char* text;  // "@" stands for the collector's pipe
};

const MalformedInput kMalformedInputs[] = {
    {"CutOffRecord",
     [](size_t) {
       const Bytes whole = build_data_request("PARAMS", "/nowhere/prb_cut", {"abc"});
       return Bytes(whole.begin(), whole.begin() + 20);
     },
     "COM0204", 'E', "Malformed request record, 20 bytes skipped. Pipe=@"},
    {"CutOffRecordWhoseLengthEndsWithTheNext",
     [](size_t valid_size) {
       return join(header(static_cast<uint16_t>(24 + valid_size), 6),
                   text_bytes("PARAMS/nowhere/prb_c"));
     },
     "COM0204", 'E', "Malformed request record, 24 bytes skipped. Pipe=@"},
    {"HeaderOnly", [](size_t) { return header(50, 6); }, "COM0204", 'E',
     "Malformed request record, 4 bytes skipped. Pipe=@"},
    {"LengthBelowTheSmallestRecord", [](size_t) { return header(3, 0); }, "COM0203", 'E',
     "request length error, size=3"},
    {"ZeroBytes", [](size_t) { return Bytes(4, '\0'); }, "COM0203", 'E',
     "request length error, size=0"},
    {"LengthOf400WithoutTheBytes",
     [](size_t) { return join(header(400, 6), text_bytes("PARAMS")); }, "COM0203", 'E',
     "request length error, size=400"},
    {"StrayText", [](size_t) { return text_bytes("abc"); }, "COM0203", 'E',
     "request length error, size=25185"},
    {"NameLongerThanTheRecord",
     [](size_t) { return join(header(20, 30), Bytes(16, 'A')); }, "COM0204", 'E',
     "Malformed request record, 20 bytes skipped. Pipe=@"},
    {"PathWithoutItsEnd",
     [](size_t) { return join(header(20, 6), text_bytes("PARAMSpppppppppp")); }, "COM0204", 'E',
     "Malformed request record, 20 bytes skipped. Pipe=@"},
    {"UnprintableCursorName",
     [](size_t) { return build_data_request("PA\x01" "AMS", "/nowhere/prb_u", {}); }, "COM0204",
     'E', "Malformed request record, 27 bytes skipped. Pipe=@"},
    {"CursorNameOfNineCharacters",
     [](size_t) { return build_data_request("PARAMS789", "/nowhere/prb_9", {}); }, "CIR1880",
     'E', "Pipe cursor length error. Pipe=@"},
};

TEST_F(HostileClientTest, MalformedRecordIsSkippedAndTheNextClientsRequestServed) {
  start();
  for (const MalformedInput& input : kMalformedInputs) {
    SCOPED_TRACE(input.name);
    const auto [fd, valid] = requester(std::string("prb_") + input.name);
    send(join(input.bytes(valid.size()), valid));
    EXPECT_EQ(reply_rows(fd), 2) << log_text();
    std::string text = input.text;
    if (const size_t at = text.find('@'); at != std::string::npos)
      text.replace(at, 1, collector_pipe());
    EXPECT_TRUE(logged(input.id, input.severity, text)) << log_text();
  }
}

// A reply path that is not a FIFO of the channel for the reply: the request
// is served to no one, with a message, and the file stays untouched.
struct ReplyTarget {
  const char* name;
  // Plants the target; the path a request names, or "" when this process
  // cannot plant it.
  std::string (*plant)(Planted& planted, const std::string& collector_pipe);
  const char* refusal;
};

const ReplyTarget kReplyTargets[] = {
    {"RegularFile", [](Planted& p, const std::string&) { return p.file("prb_file", "precious\n"); },
     "not a FIFO"},
    {"SymlinkToAFile",
     [](Planted& p, const std::string&) {
       EXPECT_EQ(::symlink(p.file("secret", "root only\n").c_str(), p.path("prb_ln1").c_str()), 0);
       return p.path("prb_ln1");
     },
     "not a FIFO"},
    {"SymlinkToAFifo",
     [](Planted& p, const std::string&) {
       EXPECT_EQ(::symlink(p.fifo("prb_target").c_str(), p.path("prb_ln2").c_str()), 0);
       return p.path("prb_ln2");
     },
     "not a FIFO"},
    {"Directory",
     [](Planted& p, const std::string&) {
       EXPECT_EQ(::mkdir(p.path("prb_dir").c_str(), 0770), 0);
       return p.path("prb_dir");
     },
     "not a FIFO"},
    {"FifoOpenToOthers", [](Planted& p, const std::string&) { return p.fifo("prb_open", 0666); },
     "open to others"},
    {"FifoOfAnotherUserAndGroup",
     [](Planted& p, const std::string&) -> std::string {
       const std::string fifo = p.fifo("prb_foreign");
       return ::chown(fifo.c_str(), 54321, 54321) == 0 ? fifo : "";
     },
     "owned by another user and group"},
    {"FifoInASubdirectory",
     [](Planted& p, const std::string&) {
       EXPECT_EQ(::mkdir(p.path("sub").c_str(), 0770), 0);
       return p.fifo("sub/prb_sub");
     },
     "outside the channel directory"},
    {"PathThroughTheParent",
     [](Planted& p, const std::string&) {
       const fs::path fifo = p.fifo("prb_up");
       return (fifo.parent_path() / ".." / fifo.parent_path().filename() / "prb_up").string();
     },
     "outside the channel directory"},
    {"CollectorsOwnPipe", [](Planted&, const std::string& own) { return own; },
     "the collector's own pipe"},
    {"HardLinkToTheCollectorsPipe",
     [](Planted& p, const std::string& own) {
       EXPECT_EQ(::link(own.c_str(), p.path("prb_hard").c_str()), 0);
       return p.path("prb_hard");
     },
     "the collector's own pipe"},
};

TEST_F(HostileClientTest, ReplyPathThatIsNoFifoOfTheChannelIsRefusedWithoutWriting) {
  start();
  for (const ReplyTarget& target : kReplyTargets) {
    SCOPED_TRACE(target.name);
    const std::string path = target.plant(*planted_, collector_pipe());
    if (path.empty()) continue;  // needs privileges this run does not have
    const auto [fd, valid] = requester(std::string("prb_for_") + target.name);
    send(join(build_data_request("PARAMS", path, {}), valid));
    // The valid request after the hostile one is answered: the hostile one
    // was dealt with first.
    EXPECT_EQ(reply_rows(fd), 2) << log_text();
    EXPECT_TRUE(logged("COM0205", 'E',
                       std::string("Reply pipe refused (") + target.refusal + "). Pipe=" + path +
                           " cursor=PARAMS"))
        << log_text();
    EXPECT_TRUE(planted_->untouched());
  }
}

// Sets the modification time of `path` one hour back.
void age(const std::string& path) {
  const timespec hour_ago{std::time(nullptr) - 3600, 0};
  const timespec times[2] = {hour_ago, hour_ago};
  EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST_F(HostileClientTest, FifoOfAKilledProbeIsRemovedWhenTheCollectorStarts) {
  // A probe waiting for a collector that is gone, killed: it found the
  // collector's FIFO read (here by a stand-in), made its own and sent.
  const std::string collector_fifo = (dir() / ("col_" + server_ + "_qrx_pipe")).string();
  ASSERT_EQ(::mkfifo(collector_fifo.c_str(), 0660), 0);
  const int stand_in = ::open(collector_fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(stand_in, 0);
  const std::string command = "cd '" + dir().string() + "' && exec env -i PATH=/usr/bin:/bin " +
                              environment() + " '" QRX_BINARY_DIR "/qrxprobe' -rdbms " + server_ +
                              " -dbtype qrx get PARAMS >/dev/null 2>&1";
  const pid_t probe = fork();
  ASSERT_GE(probe, 0);
  if (probe == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string prefix = "prb_" + server_ + "_qrx_host_";
  std::string killed;
  const bool made = testing::wait_until([&] {
    for (const auto& entry : fs::directory_iterator(dir()))
      if (entry.path().filename().string().starts_with(prefix)) killed = entry.path().string();
    return !killed.empty();
  });
  kill(probe, SIGKILL);
  waitpid(probe, nullptr, 0);
  ::close(stand_in);
  ASSERT_TRUE(made);
  ASSERT_TRUE(fs::is_fifo(killed));
  age(killed);
  // What must stay: a live probe's FIFO, a probe FIFO too young to judge, a
  // file that is no FIFO, and a dead FIFO of another server.
  const std::string live = planted_->fifo(prefix + "live_pipe");
  const std::string young = planted_->path(prefix + "young_pipe");
  ASSERT_EQ(::mkfifo(young.c_str(), 0660), 0);
  const std::string file = planted_->file(prefix + "file_pipe", "text\n");
  const std::string other = planted_->path("prb_OTHER_qrx_host_01020304_0001_pipe");
  ASSERT_EQ(::mkfifo(other.c_str(), 0660), 0);
  for (const std::string& p : {live, file, other}) age(p);

  start();
  const auto [fd, valid] = requester("prb_client");
  send(valid);
  ASSERT_EQ(reply_rows(fd), 2) << log_text();  // the channel is up
  EXPECT_TRUE(logged("COM0206", 'I', "Removed stale probe pipe " + killed)) << log_text();
  EXPECT_FALSE(fs::exists(fs::symlink_status(killed)));
  for (const std::string& p : {live, young, file, other}) EXPECT_TRUE(fs::exists(p)) << p;
  EXPECT_TRUE(planted_->untouched());
}

// ---- Over shared memory: the real collector against a hostile client

// The owner pid, writer pid and four channel ids of an IPC id file.
struct IdLine {
  int owner = 0, writer = 0;
  int ids[4] = {-1, -1, -1, -1};  // request shm, request sem, data shm, data sem
};

class HostileShmRunTest : public HostileRunFixture {
 protected:
  void SetUp() override {
    HostileRunFixture::SetUp();
    reset_channel_state();
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
