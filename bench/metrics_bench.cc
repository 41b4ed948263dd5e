// qrxexport's own work per scrape, without the channel: decoding the reply
// blocks of ten three-row cursors and rendering them with the collector's
// health as the Prometheus text format.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/metrics_exporter.h"
#include "agent/status_records.h"
#include "ctl/control_parse.h"
#include "qrx/curs.h"

namespace {

constexpr int kCursors = 10;
constexpr int kRows = 3;

// Answers every scrape with the same blocks.
class CannedLink : public qrx::CollectorLink {
 public:
  explicit CannedLink(std::vector<qrx::CursList> blocks) : blocks_(std::move(blocks)) {}
  std::optional<std::vector<qrx::CursList>> exchange(const std::string&,
                                                     std::chrono::steady_clock::time_point,
                                                     std::string&) override {
    return blocks_;
  }

 private:
  std::vector<qrx::CursList> blocks_;
};

void BM_ScrapeTenCursors(benchmark::State& state) {
  std::string ctl;
  std::string metrics;
  std::vector<qrx::CursList> blocks;
  for (int i = 0; i < kCursors; ++i) {
    const std::string name = "M" + std::to_string(10 + i);
    ctl += "cursor " + name + ";\ninterval 60;\n"
           "INSERT INTO m (name, value) VALUES (:name^8, :INT!value);\n";
    metrics += "cursor " + name + ";\n";
    qrx::CursList block;
    block.name = name;
    block.numrow = kRows;
    block.lenrow = 12;
    for (int r = 0; r < kRows; ++r) {
      std::string row(12, '\0');
      std::memcpy(row.data(), "row", 3);
      row[3] = static_cast<char>('a' + r);
      const int32_t value = r + 1;
      std::memcpy(row.data() + 8, &value, 4);
      block.data += row;
    }
    blocks.push_back(block);
  }
  ctl += "end;\n";
  qrx::Definitions defs;  // the plan points into it
  if (qrx::parse_curs_text(defs, ctl) != 0) state.SkipWithError("cursor file refused");
  qrx::MetricsConfig config;
  qrx::parse_metrics_text(metrics, "bench", config);
  std::vector<qrx::ExportCursor> plan;
  if (qrx::build_export_plan(defs, config, "bench", plan) != 0) state.SkipWithError("plan refused");
  qrx::CursList status;
  status.name = "C-STATUS";
  status.lenrow = static_cast<int32_t>(qrx::kCursorStatusSize);
  for (const auto& c : defs.cur_anchor) {
    const std::vector<char> record = qrx::cursor_status_record(*c);
    status.data.append(record.begin(), record.end());
    ++status.numrow;
  }
  blocks.push_back(status);
  qrx::MetricsExporter exporter(std::move(plan), std::make_unique<CannedLink>(blocks));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string text = exporter.scrape(
        qrx::ExpositionFormat::kPrometheus, std::chrono::steady_clock::now() + std::chrono::seconds(10));
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ScrapeTenCursors);

}  // namespace

BENCHMARK_MAIN();
