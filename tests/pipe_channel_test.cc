// The named-pipe transport: a request and its reply between two processes,
// record limits, shared blocks, error codes and the FIFOs' life.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "agent/comm_entry.h"
#include "agent/request_record.h"
#include "agent/share_memory.h"
#include "support/channel_fixture.h"

namespace qrx {
namespace {

class PipeChannelTest : public test::ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    env_vars.use_shm = "0";
    collector_ = qrxcomm("initc").anchor;
    ASSERT_NE(collector_, nullptr);
  }
  void TearDown() override {
    if (collector_) qrxcomm("term", collector_);
    ChannelTest::TearDown();
  }
  // Writes raw bytes into the collector's pipe, as a probe does.
  void write_to_collector(const std::vector<char>& bytes) {
    const int fd = ::open(collector_pipe_path().c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }
  // A FIFO standing for a requester, open for reading.
  int requester_fifo(const std::string& path) {
    EXPECT_EQ(::mkfifo(path.c_str(), 0660), 0);
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  }
  std::string read_reply(int fd) {
    std::string out;
    char buf[256];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, n);
    return out;
  }
  int fifos_left() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      if (entry.is_fifo()) ++n;
    }
    return n;
  }
  CommAnchor* collector_ = nullptr;
};

std::string header_and_rows(int rows, int length, const std::string& data) {
  StreamHeader header{rows, length};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + data;
}

TEST_F(PipeChannelTest, RequestAndReplyTravelBetweenTwoProcesses) {
  const pid_t probe = fork_peer([] {
    CommAnchor* anchor = qrxcomm("init").anchor;
    if (!anchor) return 10;
    anchor->parameters = {"p1", "p2"};
    std::vector<CursList>* blocks = qrxcomm("get", anchor, "CURS1").blocks;
    if (!blocks) return 11;
    const CursList& block = blocks->front();
    const bool ok = block.numrow == 2 && block.lenrow == 5 &&
                    std::string(block.data.begin(), block.data.end()) == "ROW-AROW-B";
    qrxcomm("term", anchor);
    return ok ? 0 : 12;
  });
  pollfd p{collector_->coll_fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 20000), 1);
  std::vector<CursList>* blocks = qrxcomm("get", collector_).blocks;
  ASSERT_NE(blocks, nullptr);
  EXPECT_EQ(collector_->parameters, (std::vector<std::string>{"p1", "p2", "", ""}));
  CursList& block = blocks->front();
  EXPECT_EQ(block.name, "CURS1");
  block.numrow = 2;
  block.lenrow = 5;
  const std::string rows = "ROW-AROW-B";
  block.data.assign(rows.begin(), rows.end());
  EXPECT_EQ(qrxcomm("put", collector_).blocks, nullptr);
  EXPECT_EQ(collector_->error_code, 0) << collector_->error_text;
  EXPECT_EQ(wait_peer(probe), 0);
  qrxcomm("term", collector_);
  collector_ = nullptr;
  EXPECT_EQ(fifos_left(), 0);
}

TEST_F(PipeChannelTest, RecordsOf301BytesAreRefusedAndOf300Accepted) {
  // 7 + name 1 + path 2 + (parameter + 1) bytes
  write_to_collector(build_data_request("C", "/p", {std::string(290, 'x')}));
  write_to_collector(build_data_request("C", "/p", {std::string(289, 'y')}));
  std::vector<CursList>* blocks = qrxcomm("get", collector_).blocks;
  EXPECT_TRUE(logged("com0203", "request length error, size=301"));
  ASSERT_NE(blocks, nullptr);
  ASSERT_EQ(blocks->size(), 1u);
  EXPECT_EQ(blocks->front().pipe_buf.size(), 300u);
  EXPECT_EQ(collector_->parameters.front(), std::string(289, 'y'));
}

TEST_F(PipeChannelTest, TwoRequestersOfOneCursorShareABlockAndGetTheSameRows) {
  const std::string first = dir_ + "/prb_1", second = dir_ + "/prb_2";
  const int fd1 = requester_fifo(first), fd2 = requester_fifo(second);
  write_to_collector(build_data_request("CURS1", first, {"a"}));
  write_to_collector(build_data_request("CURS1", second, {"a"}));
  std::vector<CursList>* blocks = qrxcomm("get", collector_).blocks;
  ASSERT_NE(blocks, nullptr);
  ASSERT_EQ(blocks->size(), 1u);
  EXPECT_EQ(blocks->front().requesters, (std::vector<std::string>{first, second}));
  blocks->front().numrow = 1;
  blocks->front().lenrow = 3;
  blocks->front().data = {'a', 'b', 'c'};
  qrxcomm("put", collector_);
  EXPECT_EQ(read_reply(fd1), header_and_rows(1, 3, "abc"));
  EXPECT_EQ(read_reply(fd2), header_and_rows(1, 3, "abc"));
  ::close(fd1);
  ::close(fd2);
}

TEST_F(PipeChannelTest, DifferentParametersMakeSeparateBlocks) {
  const std::string first = dir_ + "/prb_1", second = dir_ + "/prb_2";
  const int fd1 = requester_fifo(first), fd2 = requester_fifo(second);
  write_to_collector(build_data_request("CURS1", first, {"a"}));
  write_to_collector(build_data_request("CURS1", second, {"b"}));
  std::vector<CursList>* blocks = qrxcomm("get", collector_).blocks;
  ASSERT_NE(blocks, nullptr);
  EXPECT_EQ(blocks->size(), 2u);
  qrxcomm("put", collector_);
  EXPECT_EQ(read_reply(fd1), header_and_rows(0, 0, ""));
  ::close(fd1);
  ::close(fd2);
}

TEST_F(PipeChannelTest, CursorNameLongerThanEightIsRefused) {
  write_to_collector(build_data_request("CURSOR789", "/p", {}));
  EXPECT_EQ(qrxcomm("get", collector_).blocks, nullptr);
  EXPECT_EQ(collector_->error_code, 4);
  EXPECT_EQ(collector_->error_text, "Pipe cursor length error. Pipe=" + collector_pipe_path());
}

TEST_F(PipeChannelTest, NoRequestGivesNoChain) {
  EXPECT_EQ(qrxcomm("get", collector_).blocks, nullptr);
  EXPECT_EQ(collector_->error_code, 0);
}

TEST_F(PipeChannelTest, ReplyToARequesterWithoutPipeLeavesCode3AndTheChain) {
  write_to_collector(build_data_request("CURS1", dir_ + "/gone", {}));
  ASSERT_NE(qrxcomm("get", collector_).blocks, nullptr);
  EXPECT_NE(qrxcomm("put", collector_).blocks, nullptr);
  EXPECT_EQ(collector_->error_code, 3);
  EXPECT_EQ(collector_->error_text,
            "Open Probe pipe errno= 2. Pipe=" + dir_ + "/gone. cursor=CURS1");
}

TEST_F(PipeChannelTest, RequesterWithoutPipeCostsOnlyItsOwnReply) {
  const std::string path = dir_ + "/prb_waiting_pipe";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  write_to_collector(build_data_request("CURS1", dir_ + "/gone", {"a"}));
  write_to_collector(build_data_request("CURS1", path, {"b"}));
  std::vector<CursList>* blocks = qrxcomm("get", collector_).blocks;
  ASSERT_NE(blocks, nullptr);
  ASSERT_EQ(blocks->size(), 2u);
  for (CursList& block : *blocks) {
    block.numrow = 1;
    block.lenrow = 3;
    block.data = "row";
  }
  qrxcomm("put", collector_);
  EXPECT_EQ(collector_->error_code, 3);
  StreamHeader header{};
  ASSERT_EQ(::read(fd, &header, sizeof header), static_cast<ssize_t>(sizeof header));
  EXPECT_EQ(header.rows, 1);
  char row[3];
  ASSERT_EQ(::read(fd, row, 3), 3);
  EXPECT_EQ(std::string(row, 3), "row");
  ::close(fd);
}

TEST_F(PipeChannelTest, ProbeWithoutCollectorGivesCode3AfterTenAttempts) {
  qrxcomm("term", collector_);
  collector_ = nullptr;
  CommAnchor* probe = qrxcomm("init").anchor;
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(qrxcomm("get", probe, "CURS1").blocks, nullptr);
  EXPECT_EQ(probe->error_code, 3);
  EXPECT_EQ(probe->error_text,
            "Open Pipe errorno 2. Pipe=" + collector_pipe_path() + " Cursor=CURS1");
  EXPECT_EQ(clock_.slept, 9u);
  qrxcomm("term", probe);
}

TEST_F(PipeChannelTest, PipesAreNamedAfterTheServerAndOpenToOwnerAndGroupOnly) {
  EXPECT_EQ(collector_pipe_path(), dir_ + "/col_SRV_qrx_pipe");
  CommAnchor* probe = qrxcomm("init").anchor;
  ASSERT_NE(probe, nullptr);
  const std::string prefix = dir_ + "/prb_SRV_qrx_host_";
  EXPECT_EQ(probe->probe_path.rfind(prefix, 0), 0u);
  EXPECT_EQ(probe->probe_path.substr(prefix.size() + 8), "_0001_pipe");
  for (const std::string& path : {probe->probe_path, collector_pipe_path()}) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u) << path;
  }
  const std::string path = probe->probe_path;
  qrxcomm("term", probe);
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST_F(PipeChannelTest, ReaderTooSlowForTheWholeReplyLosesItAtTheDeadline) {
  wait_timeout = 1;
  const std::string path = dir_ + "/prb_slow";
  const int fd = requester_fifo(path);
  ASSERT_GE(fd, 0);
  // Room in the pipe comes well within each wait; the reply as a whole takes longer.
  const pid_t reader = fork_peer([fd] {
    std::vector<char> buf(1 << 16);
    for (int i = 0; i < 100; ++i) {
      usleep(400000);
      if (::read(fd, buf.data(), buf.size()) == 0) return 0;
    }
    return 1;
  });
  write_to_collector(build_data_request("CURS1", path, {}));
  std::vector<CursList>* blocks = qrxcomm("get", collector_).blocks;
  ASSERT_NE(blocks, nullptr);
  CursList& block = blocks->front();
  block.numrow = 64;
  block.lenrow = 16384;
  block.data.assign(64 * 16384, 'r');
  EXPECT_EQ(qrxcomm("put", collector_).blocks, nullptr);
  EXPECT_EQ(collector_->error_code, 1);
  EXPECT_EQ(collector_->error_text,
            "Data Collector Wait Timeout. Is collector still there? Cursor=CURS1");
  ::close(fd);
  EXPECT_EQ(wait_peer(reader), 0);
}

}  // namespace
}  // namespace qrx
