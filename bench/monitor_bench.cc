// Built-in monitor procedures over a SYSMON cursor of 10,000 counter rows:
// the time one procedure run takes (it runs at every collection) and that
// time per counter row.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "expr/context.h"
#include "monitor/procedures.h"
#include "support/cursor_builder.h"

namespace qrx {
namespace {

constexpr int kRows = 10000;
constexpr int kWidth = 32;

std::map<std::string, std::unique_ptr<curs>> g_cursors;

curs* lookup(const std::string& name) {
  auto it = g_cursors.find(name);
  return it == g_cursors.end() ? nullptr : it->second.get();
}

// A cursor of text columns `names`, kWidth wide, holding `rows`; counter
// values are numbers, as the collector stores a numeric column.
void add_cursor(const std::string& name, const std::vector<std::string>& names,
                const std::vector<std::vector<std::string>>& rows) {
  auto c = std::make_unique<curs>();
  c->name = name;
  for (const std::string& column : names) testing::append_column(*c, column, kWidth, column == "FLDVALUE");
  for (const auto& values : rows) testing::append_row(*c, values);
  g_cursors[name] = std::move(c);
}

// Every counter the procedures read, for buffer_0 and access, then filler
// counters of other groups up to kRows rows.
void fixture() {
  if (!g_cursors.empty()) return;
  std::vector<std::vector<std::string>> rows;
  for (const char* f : {"xacts", "ncinsert", "cinsert", "deferred_update", "direct_inplace_update",
                        "direct_notinplace_update", "direct_expensive_update", "delete", "delete_deferred"})
    rows.push_back({"access", f, "120"});
  for (const char* f : {"bufsearch_calls", "bufsearch_finds", "bufunkeep_lru", "bufunkeep_mru", "prefetch_req",
                        "prefetch_as_requested", "prefetch_page_realigned", "bufgrab_16k", "bufgrab_2k",
                        "bufgrab_ref_16K", "bufgrab_dirty_2k"})
    rows.push_back({"buffer_0", f, "60"});
  for (int i = static_cast<int>(rows.size()); i < kRows; ++i)
    rows.push_back({"engine_" + std::to_string(i % 64), "counter_" + std::to_string(i), std::to_string(i)});
  add_cursor("SYSMON", {"GROUPNAME", "FLDNAME", "FLDVALUE"}, rows);
  add_cursor("XMBV", {"STARTTIME", "STOPTIME"}, {{"86100", "300"}});
  add_cursor("CACHEMAP", {"CACHENAME", "BUFFERNAME"}, {{"default data cache", "buffer_0"}});
}

void run(benchmark::State& state, const char* procedure) {
  fixture();
  ExprContext cx;
  for (auto _ : state) {
    auto lines = smon_curs_driver(cx, procedure, lookup);
    if (!lines || lines->empty()) state.SkipWithError("the procedure failed");
    benchmark::DoNotOptimize(lines);
  }
  state.counters["per_row"] =
      benchmark::Counter(kRows, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_CacheProcedure(benchmark::State& state) { run(state, "XMBCACD"); }
void BM_SqlActivityProcedure(benchmark::State& state) { run(state, "XMBSQLD"); }
BENCHMARK(BM_CacheProcedure)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SqlActivityProcedure)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qrx

BENCHMARK_MAIN();
