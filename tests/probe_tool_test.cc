// qrxprobe: asking a collector over the channel and printing its reply.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "agent/comm_entry.h"
#include "agent/probe_tool.h"
#include "agent/share_memory.h"
#include "agent/status_records.h"
#include "base/settings.h"
#include "base/time_text.h"
#include "ctl/control_parse.h"
#include "qrx/curs.h"
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
  // and the parameters as its one row, then makes the channel it attaches to.
  pid_t start_collector(int count) {
    return start_collector(count, [](CursList& block, const CommAnchor& anchor) {
      std::string row = block.name;
      for (const std::string& p : anchor.parameters) row += "," + p;
      reply(block, 1, row);
    });
  }
  // The same with `fill` answering each block.
  pid_t start_collector(int count, const std::function<void(CursList&, const CommAnchor&)>& fill) {
    make_go();
    const pid_t pid = fork_peer([&] {
      await_go();
      return serve_requests(count, [&](CursList& block, const CommAnchor& anchor) {
        fill(block, anchor);
        return true;
      });
    });
    EXPECT_EQ(InitShare("SRV"), 0);
    send_go();
    return pid;
  }
  static void reply(CursList& block, int numrow, const std::string& rows) {
    block.numrow = numrow;
    block.lenrow = numrow ? static_cast<int>(rows.size()) / numrow : 0;
    block.data = rows;
  }
  std::string out_, err_;
};

TEST_F(ProbeToolTest, GetPrintsRowCountLengthAndRows) {
  const pid_t collector = start_collector(2);  // the rows, then the cursors' status
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
  EXPECT_EQ(err_, "error 20: no answer from the collector\n");
  EXPECT_EQ(out_, "");
}

// Parameters that would not reach the collector whole over a transport.
struct UnfitParameters {
  const char* name;
  const char* use_shm;  // COLL_USESHM
  std::vector<std::string> params;
  const char* id;
  // The message text; "%d" stands for the size of the pipe record.
  const char* text;
};

const UnfitParameters kUnfitParameters[] = {
    {"LongerThanTheSegmentSlot", "1", {"a", std::string(20, 'x')}, "com0208",
     "Parameter 2 is longer than 19 characters"},
    {"MoreThanFortyParameters", "1", std::vector<std::string>(41, "p"), "com0207",
     "More than 40 parameters"},
    {"LongerThanAPipeRecord", "0", {std::string(280, 'x')}, "com0209",
     "Request for CURS1 is %d bytes with its parameters, more than 300"},
};

TEST_F(ProbeToolTest, ParameterThatWouldBeCutIsRefusedBeforeSending) {
  setenv("WAIT_TIMEOUT", "1", 1);
  for (const UnfitParameters& c : kUnfitParameters) {
    SCOPED_TRACE(c.name);
    env_vars.use_shm = c.use_shm;
    std::vector<std::string> args = {"get", "CURS1"};
    args.insert(args.end(), c.params.begin(), c.params.end());
    EXPECT_EQ(run(args), 2) << err_;
    // name, requester pipe (directory, "/prb_SRV_qrx_host_", DDHHMMSS,
    // "_0001_pipe") and the parameter, each with its NUL, two zero bytes
    const int record = 4 + 5 + static_cast<int>(dir_.size()) + 36 + 1 + 281 + 2;
    char text[200];
    std::snprintf(text, sizeof text, c.text, record);
    EXPECT_TRUE(logged(c.id, std::string(") ") + text)) << log_text();
    EXPECT_EQ(out_, "");
    reset_channel_state();
  }
}

TEST_F(ProbeToolTest, UsageErrorsGiveStatus2) {
  EXPECT_EQ(run({}), 2);
  EXPECT_EQ(run({"get"}), 2);
  EXPECT_EQ(run({"-bogus", "status"}), 2);
  EXPECT_EQ(run({"shutdown", "extra"}), 2);
  EXPECT_NE(err_.find("usage: qrxprobe"), std::string::npos);
}

// qrxprobe with the collector's control files in the collector home.
class ProbeDecodeTest : public ProbeToolTest {
 protected:
  void SetUp() override {
    ProbeToolTest::SetUp();
    reset_db_type_cache();
    std::ofstream(dir_ + "/" + u_db_type(0) + "coll.ctl")
        << "cursor DEC;\nINSERT INTO T (A, B, C) VALUES (:INT!n, :NS!skip, :label);\n"
           "interval 60;\nend;\n";
  }
  void TearDown() override {
    reset_db_type_cache();
    ProbeToolTest::TearDown();
  }
  // Two rows of DEC: n 4 bytes, label 5 bytes.
  static std::string dec_rows() {
    std::string rows(18, '\0');
    rows[0] = 42;
    std::memcpy(&rows[4], "north", 5);
    rows[9] = -2;
    rows[10] = rows[11] = rows[12] = '\xff';
    std::memcpy(&rows[13], "s    ", 5);
    return rows;
  }
};

TEST_F(ProbeDecodeTest, GetDecodesRowsOfADefinedCursor) {
  const pid_t collector = start_collector(6, [](CursList& block, const CommAnchor&) {
    reply(block, 2, dec_rows());
  });
  EXPECT_EQ(run({"-logsdir", dir_, "get", "DEC"}), 0) << err_;
  EXPECT_EQ(out_, "DEC rows=2 length=9\n n  label\n42  north\n-2  s\n");
  EXPECT_EQ(run({"-logsdir", dir_, "--csv", "get", "DEC"}), 0) << err_;
  EXPECT_EQ(out_, "n,label\n42,north\n-2,s\n");
  EXPECT_EQ(run({"-logsdir", dir_, "--json", "get", "DEC"}), 0) << err_;
  EXPECT_EQ(out_, "{\"cursor\":\"DEC\",\"rows\":[{\"n\":42,\"label\":\"north\"},"
                  "{\"n\":-2,\"label\":\"s\"}]}\n");
  EXPECT_EQ(err_, "");
  EXPECT_EQ(wait_peer(collector), 0);
}

TEST_F(ProbeDecodeTest, UndecodableRepliesFallBackToPrintableTextWithANote) {
  const pid_t collector = start_collector(6, [](CursList& block, const CommAnchor&) {
    reply(block, 1, block.name == "DEC" ? std::string("abc") : std::string("xyz"));
  });
  EXPECT_EQ(run({"-logsdir", dir_, "get", "OTHER"}), 0) << err_;
  EXPECT_EQ(out_, "OTHER rows=1 length=3\n1: xyz\n");
  EXPECT_EQ(err_, "note: cursor OTHER is not in the control files; rows shown as printable text\n");
  EXPECT_EQ(run({"-logsdir", dir_, "get", "DEC"}), 0) << err_;
  EXPECT_EQ(out_, "DEC rows=1 length=3\n1: abc\n");
  EXPECT_EQ(err_, "note: row length 3 does not match the columns of DEC; rows shown as printable text\n");
  const std::string file = dir_ + "/" + u_db_type(0) + "coll.ctl";
  std::ofstream(file) << "cursor DEC;\nbogus_keyword 1;\nend;\n";
  EXPECT_EQ(run({"-logsdir", dir_, "get", "DEC"}), 0) << err_;
  EXPECT_EQ(out_, "DEC rows=1 length=3\n1: abc\n");
  EXPECT_EQ(err_, "note: " + file + " could not be read; rows shown as printable text\n");
  EXPECT_EQ(wait_peer(collector), 0);
}

// A collector whose cursor DEC failed its last run: first with its rows
// still stored, then without rows.
TEST_F(ProbeDecodeTest, AFailedLastRunIsToldAndKeptRowsAreMarkedStale) {
  const pid_t collector = start_collector(4, [](CursList& block, const CommAnchor&) {
    static int gets = 0;
    if (block.name != "C-STATUS") {
      ++gets == 1 ? reply(block, 2, dec_rows()) : reply(block, 0, "");
      return;
    }
    curs c;
    c.name = "DEC";
    c.last_run_failed = 1;
    c.error_text = "no such table:\nmissing";
    c.end_time = 1796870000;
    const std::vector<char> record = cursor_status_record(c);
    reply(block, 1, std::string(record.begin(), record.end()));
  });
  const std::string ended = u_format_time(1796870000, kTimeSlashed);
  EXPECT_EQ(run({"-logsdir", dir_, "--json", "get", "DEC"}), 7) << err_;
  EXPECT_EQ(out_, "{\"cursor\":\"DEC\",\"rows\":[{\"n\":42,\"label\":\"north\"},"
                  "{\"n\":-2,\"label\":\"s\"}],\"stale\":true,\"last_success\":\"" + ended + "\"}\n");
  EXPECT_EQ(err_.substr(err_.find(' ') + 10),  // after "COM0307W (hhmmss)"
            "The rows of DEC are stale: its last run failed (no such table: missing); they are "
            "from its last successful run, ended " + ended + "\n");
  EXPECT_EQ(err_.rfind("COM0307W (", 0), 0u) << err_;
  EXPECT_EQ(run({"-logsdir", dir_, "get", "DEC"}), 6) << err_;
  EXPECT_EQ(out_, "DEC rows=0 length=0\n");
  EXPECT_EQ(err_.substr(err_.find(' ') + 10), "The last run of DEC failed: no such table: missing\n");
  EXPECT_EQ(err_.rfind("COM0306E (", 0), 0u) << err_;
  EXPECT_EQ(wait_peer(collector), 0);
}

TEST_F(ProbeDecodeTest, StatusRepliesDecodeIntoTables) {
  const pid_t collector = start_collector(2, [](CursList& block, const CommAnchor&) {
    if (block.name == "C-STATUS") {
      curs c;
      c.name = "DEC";
      c.interval = 60;
      const std::vector<char> record = cursor_status_record(c);
      reply(block, 1, std::string(record.begin(), record.end()));
    } else {
      reply(block, 0, "");
    }
  });
  EXPECT_EQ(run({"--csv", "status"}), 0) << err_;
  EXPECT_EQ(out_,
            "name,hold,demand,interval,last_time,rows,stored_rows,result_code,status,elapsed,"
            "end_time,window_open,window_close\n"
            "DEC,,0,60,1990/01/01 01:01:01,0,0,0,,0,,,\n"
            "distrib_name,type,interval,hold,state,window_start,window_end,next_time,last_run,"
            "status\n");
  EXPECT_EQ(wait_peer(collector), 0);
}

}  // namespace
}  // namespace qrx
