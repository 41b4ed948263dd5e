// The metrics file of qrxexport (qrxmetr.ctl): which cursors a scrape asks
// for, how their columns become samples and labels, and where the exporter
// listens. The caller owns the MetricsConfig it fills; nothing is global.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qrx {

// Address qrxexport listens on when neither the file nor -listen names one.
// Port 9571 is not taken by the usual database exporters (9104, 9187, 9161,
// 9399, 9237, 9560).
inline constexpr char kDefaultMetricsHost[] = "127.0.0.1";
inline constexpr int kDefaultMetricsPort = 9571;

// What a column of a mapped cursor gives.
enum class ColumnRole { kDefault, kSample, kLabel, kDrop };
// The metric type a sample column is declared with.
enum class MetricType { kGauge, kCounter, kUntyped };

// One "metric", "label" or "drop" statement.
struct ColumnMapping {
  std::string column;
  ColumnRole role = ColumnRole::kDefault;
  MetricType type = MetricType::kGauge;
  std::string name;  // empty: qrx_<cursor>_<column>
  std::string help;  // empty: a text naming cursor and column
  double scale = 1;  // the column's value times this is the sample (units: MB to bytes)
};

// One "cursor" block: the cursor asked for at each scrape and its mappings.
struct CursorMapping {
  std::string cursor;
  std::vector<ColumnMapping> columns;
};

struct MetricsConfig {
  std::string host = kDefaultMetricsHost;
  int port = kDefaultMetricsPort;
  std::vector<CursorMapping> cursors;
};

// Reads the statements of metrics file `text` into `config`; `source` names
// the file in messages. 0 on success; -1 after one "com0401" message per
// fault (every fault of the file is told).
int parse_metrics_text(std::string_view text, const std::string& source, MetricsConfig& config);

// Reads "HOST:PORT", "[IPV6]:PORT" or "PORT" (1 to 65535) into `host` and
// `port`; false (both untouched) when `address` is none of them.
bool parse_listen_address(std::string_view address, std::string& host, int& port);

// True when `name` is a valid metric name ([a-zA-Z_:][a-zA-Z0-9_:]*).
bool valid_metric_name(std::string_view name);

}  // namespace qrx
