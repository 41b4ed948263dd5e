// Cost of building stored rows through merge_text from fetched rows, and
// the memory a stored row takes beyond its data.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/clusters.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "qrx/curs.h"

namespace {

constexpr int kColumns = 10;
constexpr int kRows = 1'000'000;

void open_null_log() {
  setenv("COLL_WRAPLINES", "0", 1);
  qrx::close_PRINT();
  qrx::stder = std::fopen("/dev/null", "w");
}

// Cursor B in `defs` with five number columns (width 12) and five text columns (width 20).
qrx::curs* make_cursor(qrx::Definitions& defs) {
  std::string names, vars;
  for (int i = 0; i < kColumns; ++i) {
    names += (i ? ", C" : "C") + std::to_string(i);
    vars += (i ? ", :C" : ":C") + std::to_string(i);
  }
  const std::string text = "cursor B;\nINSERT INTO T (" + names + ") VALUES (" + vars +
                           ");\ninterval 60;\nend;\n";
  if (qrx::parse_curs_text(defs, text) != 0) return nullptr;
  qrx::curs* c = defs.find_cursor("B");
  c->limit = 0;  // keep every row
  c->sample_no = 1;
  return c;
}

struct Source {
  std::vector<std::string> names;
  std::vector<std::string> values;
  std::vector<qrx::fetched_column> items;
  Source() {
    for (int i = 0; i < kColumns; ++i) {
      names.push_back("C" + std::to_string(i));
      values.push_back(i % 2 ? "some text value" : "1234567");
    }
    for (int i = 0; i < kColumns; ++i) {
      qrx::fetched_column f;
      f.name = names[i];
      f.data = values[i].data();
      f.length = static_cast<int>(values[i].size());
      f.fetch_length = i % 2 ? 20 : 12;
      f.numeric = i % 2 == 0;
      f.type = f.numeric ? 2 : 1;
      items.push_back(f);
    }
  }
};

void BM_MergeTextMillionRows(benchmark::State& state) {
  open_null_log();
  Source source;
  const qrx::fetched_row row(source.items);
  double bytes_per_row = 0;
  uint32_t row_length = 0;
  for (auto _ : state) {
    qrx::Definitions defs;
    qrx::curs* c = make_cursor(defs);
    if (!c) {
      state.SkipWithError("cursor did not parse");
      break;
    }
    const std::size_t before = mallinfo2().uordblks;
    for (int i = 0; i < kRows; ++i) benchmark::DoNotOptimize(qrx::merge_text(*c, &row, "20261210030000"));
    bytes_per_row = static_cast<double>(mallinfo2().uordblks - before) / kRows;
    row_length = c->row_length;
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  state.counters["row_length"] = row_length;
  state.counters["bytes_per_row"] = bytes_per_row;
  state.counters["overhead_per_row"] = bytes_per_row - row_length;
  qrx::close_PRINT();
}
BENCHMARK(BM_MergeTextMillionRows)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ClusterOf1000Rows(benchmark::State& state) {
  open_null_log();
  Source source;
  const qrx::fetched_row row(source.items);
  qrx::Definitions defs;
  qrx::curs* c = make_cursor(defs);
  if (!c) {
    state.SkipWithError("cursor did not parse");
    return;
  }
  for (int i = 0; i < 1000; ++i) qrx::merge_text(*c, &row, "20261210030000");
  for (auto _ : state) {
    qrx::cluster* cl = qrx::open_cursor(*c);
    while (qrx::fetch_cur(*c, cl) == 0) benchmark::DoNotOptimize(cl->current_row());
    qrx::close_cur(*c, cl);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  qrx::close_PRINT();
}
BENCHMARK(BM_ClusterOf1000Rows);

}  // namespace

BENCHMARK_MAIN();
