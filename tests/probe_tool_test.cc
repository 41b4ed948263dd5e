// qrxprobe: asking a collector over the channel and printing its reply.
#include <cstdio>
#include <string>
#include <vector>

#include "agent/comm_entry.h"
#include "agent/probe_tool.h"
#include "agent/share_memory.h"
#include "support/channel_fixture.h"

namespace qrx {
namespace {

class ProbeToolTest : public test::ChannelTest {
 protected:
  // Runs the tool with `args`; its standard output and error are captured.
  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "qrxprobe");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = probe_main(static_cast<int>(argv.size()), argv.data(), out, err);
    out_ = slurp(out);
    err_ = slurp(err);
    return status;
  }
  static std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    std::fclose(f);
    return text;
  }
  // Starts a collector that answers `count` requests with the cursor name
  // as its one row, then makes the channel it attaches to.
  pid_t start_collector(int count) {
    make_go();
    const pid_t pid = fork_peer([&] {
      await_go();
      return serve_requests(count, [](CursList& block, const CommAnchor& anchor) {
        std::string row = block.name;
        for (const std::string& p : anchor.parameters) row += "," + p;
        block.numrow = 1;
        block.lenrow = static_cast<int>(row.size());
        block.data.assign(row.begin(), row.end());
        return true;
      });
    });
    EXPECT_EQ(InitShare("SRV"), 0);
    send_go();
    return pid;
  }
  std::string out_, err_;
};

TEST_F(ProbeToolTest, GetPrintsRowCountLengthAndRows) {
  const pid_t collector = start_collector(1);
  EXPECT_EQ(run({"-rdbms", "SRV", "get", "CURS1", "a", "b"}), 0) << err_;
  EXPECT_EQ(out_, "CURS1 rows=1 length=11\n1: CURS1,a,b,,\n");
  EXPECT_EQ(wait_peer(collector), 0);
}

TEST_F(ProbeToolTest, StatusAsksForCursorAndDistributorStatus) {
  const pid_t collector = start_collector(2);
  EXPECT_EQ(run({"status"}), 0) << err_;
  EXPECT_EQ(out_, "C-STATUS rows=1 length=10\n1: C-STATUS,,\nD-STATUS rows=1 length=10\n"
                  "1: D-STATUS,,\n");
  EXPECT_EQ(wait_peer(collector), 0);
}

TEST_F(ProbeToolTest, ChannelErrorIsPrintedWithNonZeroStatus) {
  setenv("WAIT_TIMEOUT", "1", 1);
  ASSERT_EQ(InitShare("SRV"), 0);
  EXPECT_EQ(run({"retrace"}), 1);
  EXPECT_EQ(err_, "error 20: Share memory time out\n");
  EXPECT_EQ(out_, "");
}

TEST_F(ProbeToolTest, UsageErrorsGiveStatus2) {
  EXPECT_EQ(run({}), 2);
  EXPECT_EQ(run({"get"}), 2);
  EXPECT_EQ(run({"-bogus", "status"}), 2);
  EXPECT_EQ(run({"shutdown", "extra"}), 2);
  EXPECT_NE(err_.find("usage: qrxprobe"), std::string::npos);
}

}  // namespace
}  // namespace qrx
