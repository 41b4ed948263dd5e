// Cost of one historian run appending a cursor's rows to its history file,
// by row count, and of a collection pass that bypasses every cursor.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/env_vars.h"
#include "base/log.h"
#include "collector/collection.h"
#include "collector/scheduler.h"
#include "ctl/control_parse.h"
#include "exec/stored_rows.h"
#include "qrx/curs.h"
#include "qrx/distributor.h"

namespace {

constexpr int kRowLength = 200;

// A private home for the history files; messages are dropped.
struct Setting {
  Setting() {
    char pattern[] = "/tmp/qrx_hist_bench_XXXXXX";
    dir = mkdtemp(pattern);
    qrx::env_vars.coll_home = dir;
    setenv("COLL_WRAPLINES", "0", 1);
    qrx::close_PRINT();
    qrx::stder = std::fopen("/dev/null", "w");
  }
  ~Setting() { std::filesystem::remove_all(dir); }
  std::string dir;
};

// `count` cursors named C0, C1, ... each reading one column, in `defs`.
void define_cursors(qrx::Definitions& defs, int count) {
  std::string text;
  for (int i = 0; i < count; ++i)
    text += "cursor C" + std::to_string(i) + ";\nINSERT INTO T (A) VALUES (:A);\ninterval 60;\n";
  if (qrx::parse_curs_text(defs, text + "end;\n") != 0) std::abort();
}

void BM_HistoryRun(benchmark::State& state) {
  static Setting setting;
  qrx::Definitions defs;
  define_cursors(defs, 1);
  qrx::curs& c = *defs.cur_anchor.front();
  c.history = 1;
  c.limit = 0;
  c.row_length = kRowLength;
  const std::string row(kRowLength, 'x');
  for (int64_t i = 0; i < state.range(0); ++i) qrx::add_stored_row(c, row);
  const std::string path = setting.dir + "/C0.HST";
  for (auto _ : state) {
    c.history_due = 1;
    if (qrx::do_history(defs, "20260105090000") != 0) state.SkipWithError("history failed");
    state.PauseTiming();
    std::filesystem::resize_file(path, 0);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * (14 + kRowLength + 1));
}
BENCHMARK(BM_HistoryRun)->Arg(1)->Arg(1000)->Arg(100000);

// A pass in which every cursor's interval has not elapsed: the per-cursor
// cost of deciding, without any fetch.
void BM_CollectBypassingAll(benchmark::State& state) {
  static Setting setting;
  qrx::Definitions defs;
  define_cursors(defs, static_cast<int>(state.range(0)));
  for (const auto& c : defs.cur_anchor) c->next_time = INT32_MAX;
  qrx::schedule_hooks().commit_collect = [](int) { return 0; };
  for (auto _ : state) benchmark::DoNotOptimize(qrx::collect(defs));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CollectBypassingAll)->Arg(100)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
