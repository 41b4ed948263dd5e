// Cost of one message line and of the text helpers on the collection path.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "base/date_time.h"
#include "base/log.h"
#include "base/text.h"

namespace {

// A log on /dev/null that never wraps into a real file.
void open_null_log() {
  setenv("COLL_WRAPLINES", "0", 1);
  qrx::close_PRINT();
  qrx::stder = std::fopen("/dev/null", "w");
}

void BM_PrintToLog(benchmark::State& state) {
  open_null_log();
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(qrx::PRINT('i', "bch0001", "row %d of %s\n", ++i, "CURSOR"));
  qrx::close_PRINT();
}
BENCHMARK(BM_PrintToLog);

void BM_UMsgTraceWithPosition(benchmark::State& state) {
  open_null_log();
  for (auto _ : state)
    benchmark::DoNotOptimize(qrx::u_msg(nullptr, __FILE__, __LINE__, "t", "bch0002", "value %s", "x"));
  qrx::close_PRINT();
}
BENCHMARK(BM_UMsgTraceWithPosition);

void BM_NormalizeDateTime(benchmark::State& state) {
  std::string out;
  for (auto _ : state) benchmark::DoNotOptimize(qrx::us_normalizeDateTime("03/04/2005 10:11:12", out));
}
BENCHMARK(BM_NormalizeDateTime);

void BM_TokenSet(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(qrx::u_tokenset("get 'CURSOR NAME' (a, b) now \"quoted text\""));
}
BENCHMARK(BM_TokenSet);

}  // namespace

BENCHMARK_MAIN();
