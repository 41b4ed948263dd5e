// Request-to-reply latency and 10 MB reply throughput of the agent channel
// between two processes, over shared memory and over pipes, beside a
// Unix-domain socket ping-pong and a memcpy of the same size as anchors; and
// requests per second over shared memory with 1, 4 and 16 clients at once.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/comm_entry.h"
#include "agent/share_memory.h"
#include "base/env_vars.h"
#include "base/log.h"

namespace qrx {
namespace {

constexpr int kRowLength = 1000;
constexpr int kBigRows = 10000;  // 10 MB reply
constexpr int kSmallRowLength = 100;

// A private directory and settings for the channel's files; messages are dropped.
struct Setting {
  Setting() {
    char pattern[] = "/tmp/qrx_bench_XXXXXX";
    dir = mkdtemp(pattern);
    env_vars.tmpdir = env_vars.localtmpdir = dir;
    env_vars.serverid = "BENCH";
    env_vars.db_type = "qrx";
    env_vars.hostname = "host";
    stder = std::fopen("/dev/null", "w");
  }
  ~Setting() { std::filesystem::remove_all(dir); }
  std::string dir;
};
Setting& setting() {
  static Setting s;
  return s;
}

// Collector loop of the child: answers every request with one short row, or
// with the 10 MB reply for "BIG", until "STOP".
void serve(CommAnchor* anchor) {
  const std::string big(static_cast<size_t>(kRowLength) * kBigRows, 'b');
  const std::string small(kSmallRowLength, 's');
  for (;;) {
    if (anchor->coll_fd >= 0) {
      pollfd p{anchor->coll_fd, POLLIN, 0};
      ::poll(&p, 1, 1000);
    }
    std::vector<CursList>* blocks = qrxcomm("get", anchor).blocks;
    if (!blocks) continue;
    bool stop = false;
    for (CursList& block : *blocks) {
      stop |= block.name == "STOP";
      const bool is_big = block.name == "BIG";
      block.numrow = is_big ? kBigRows : 1;
      block.lenrow = is_big ? kRowLength : kSmallRowLength;
      block.data = is_big ? big : small;
    }
    qrxcomm("put", anchor);
    if (stop) _exit(0);
  }
}

// Starts a collector child over the chosen transport; returns its pid.
pid_t start_collector(bool pipes) {
  setting();
  env_vars.use_shm = pipes ? "0" : "";
  reset_channel_state();
  if (!pipes && InitShare("BENCH") != 0) std::abort();
  int ready[2];
  if (pipe(ready) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    CommAnchor* anchor = qrxcomm("initc").anchor;
    if (!anchor || write(ready[1], "r", 1) != 1) _exit(1);
    serve(anchor);
  }
  char c;
  if (read(ready[0], &c, 1) != 1) std::abort();
  close(ready[0]);
  close(ready[1]);
  return pid;
}

void stop_collector(CommAnchor* probe, pid_t pid, bool pipes) {
  qrxcomm("get", probe, "STOP");
  qrxcomm("term", probe);
  waitpid(pid, nullptr, 0);
  if (!pipes) qrxcomm("shut");
}

void run_requests(benchmark::State& state, bool pipes, const char* cursor, size_t bytes) {
  const pid_t pid = start_collector(pipes);
  CommAnchor* probe = qrxcomm("init").anchor;
  for (auto _ : state) {
    std::vector<CursList>* blocks = qrxcomm("get", probe, cursor).blocks;
    if (!blocks || blocks->front().data.size() != bytes) {
      state.SkipWithError(probe->error_text.c_str());
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
  stop_collector(probe, pid, pipes);
}

void BM_ShmOneRowLatency(benchmark::State& state) {
  run_requests(state, false, "CURS1", kSmallRowLength);
}
void BM_PipeOneRowLatency(benchmark::State& state) {
  run_requests(state, true, "CURS1", kSmallRowLength);
}
void BM_Shm10MBReply(benchmark::State& state) {
  run_requests(state, false, "BIG", static_cast<size_t>(kRowLength) * kBigRows);
}
void BM_Pipe10MBReply(benchmark::State& state) {
  run_requests(state, true, "BIG", static_cast<size_t>(kRowLength) * kBigRows);
}

// Requests per second over shared memory with state.range(0) client
// processes asking at once, 2000 one-row requests among them; each client
// checks that every reply is its own request's.
void BM_ShmConcurrentClients(benchmark::State& state) {
  constexpr int kTotal = 2000;
  const int clients = static_cast<int>(state.range(0));
  const pid_t pid = start_collector(false);
  for (auto _ : state) {
    std::vector<pid_t> children;
    for (int c = 0; c < clients; ++c) {
      const pid_t child = fork();
      if (child == 0) {
        CommAnchor* probe = qrxcomm("init").anchor;
        for (int i = 0; i < kTotal / clients; ++i) {
          std::vector<CursList>* blocks = qrxcomm("get", probe, "CURS1").blocks;
          if (!blocks || blocks->front().data.size() != kSmallRowLength) _exit(1);
        }
        _exit(0);
      }
      children.push_back(child);
    }
    bool failed = false;
    for (pid_t child : children) {
      int status = 0;
      waitpid(child, &status, 0);
      failed |= !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    if (failed) {
      state.SkipWithError("a client got no reply or another's");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * (kTotal / clients) *
                          clients);
  CommAnchor* probe = qrxcomm("init").anchor;
  stop_collector(probe, pid, false);
}

// Anchor: a 16-byte request and a one-row reply over a Unix-domain socket pair.
void BM_UnixSocketPingPong(benchmark::State& state) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    close(sv[0]);
    char request[16], reply[kSmallRowLength] = {};
    for (;;) {
      if (read(sv[1], request, sizeof request) <= 0) _exit(0);
      if (write(sv[1], reply, sizeof reply) != sizeof reply) _exit(1);
    }
  }
  close(sv[1]);
  char request[16] = {}, reply[kSmallRowLength];
  for (auto _ : state) {
    if (write(sv[0], request, sizeof request) != sizeof request) std::abort();
    for (size_t got = 0; got < sizeof reply;) {
      const ssize_t n = read(sv[0], reply + got, sizeof reply - got);
      if (n <= 0) std::abort();
      got += static_cast<size_t>(n);
    }
  }
  close(sv[0]);
  waitpid(pid, nullptr, 0);
}

// Anchor: copying 10 MB within one process.
void BM_Memcpy10MB(benchmark::State& state) {
  const size_t bytes = static_cast<size_t>(kRowLength) * kBigRows;
  std::vector<char> from(bytes, 'b'), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
}

BENCHMARK(BM_ShmOneRowLatency)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_PipeOneRowLatency)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_UnixSocketPingPong)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_Shm10MBReply)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_Pipe10MBReply)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_ShmConcurrentClients)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();
BENCHMARK(BM_Memcpy10MB)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();

}  // namespace
}  // namespace qrx

BENCHMARK_MAIN();
