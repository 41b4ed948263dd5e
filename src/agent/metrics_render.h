// The Prometheus text exposition (0.0.4) and OpenMetrics (1.0.0) forms of
// one scrape: the exported cursors' rows as samples and labels, and the
// collector's health from its status replies. Pure functions of their
// arguments; the caller owns everything, rendering returns a new string.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agent/metrics_config.h"
#include "ctl/definitions.h"
#include "agent/probe_output.h"

namespace qrx {

struct curs;

enum class ExpositionFormat { kPrometheus, kOpenMetrics };

// One column of an exported cursor, its role settled.
struct ExportColumn {
  std::string column;  // the cursor's column name
  ColumnRole role = ColumnRole::kDrop;  // kSample, kLabel or kDrop
  MetricType type = MetricType::kGauge;
  std::string family;  // metric family name of a sample column, without "_total"
  std::string help;
  std::string label;   // label name of a label column
  double scale = 1;    // a sample is the column's value times this
};

// One cursor a scrape asks for and how its columns are exported.
struct ExportCursor {
  std::string cursor;
  const curs* definition = nullptr;  // on the cursor chain; not owned
  std::vector<ExportColumn> columns;
  // The definitions holding the dictionary that sizes a virtual cursor's
  // columns; not owned.
  const Definitions* definitions = nullptr;
};

// The collector's health, per cursor and per distributor, from the status replies.
struct CursorHealth {
  std::string name;
  int64_t last_start = 0;  // seconds since 1970, 0: never
  int64_t end_time = 0;    // last successful end, seconds since 1970, 0: none
  double elapsed = 0;      // seconds, with their fraction where the record has it
  int64_t rows = 0;
  int64_t result_code = 0;
};
struct DistributorHealth {
  std::string name;
  std::string status;  // "GOOD", "FAIL", "CNCT", or empty before a run
};

// What one scrape learnt.
struct ScrapeResult {
  bool collector_up = false;
  // One entry per exported cursor: its decoded rows (numeric values in
  // decimal, texts as the reply holds them), or none when the reply was
  // NONE, could not be decoded, or the cursor's last run failed.
  std::vector<std::optional<ProbeTable>> rows;
  std::vector<CursorHealth> cursors;
  std::vector<DistributorHealth> distributors;
};

// The Content-Type header value of `format`.
const char* exposition_content_type(ExpositionFormat format);

// The format a scraper asks for with `accept`: OpenMetrics when it names
// application/openmetrics-text, otherwise the Prometheus text format.
ExpositionFormat format_for_accept(std::string_view accept);

// `plan`'s rows and the health in `scrape` as the text of `format`. A row
// whose labels equal an earlier row's in the same family gives no sample.
std::string render_exposition(std::span<const ExportCursor> plan, const ScrapeResult& scrape,
                              ExpositionFormat format);

// `raw` without the blanks and NULs that pad it, as valid UTF-8 without
// control characters: invalid sequences and controls other than newline
// become U+FFFD.
std::string exposition_text(std::string_view raw);

// `value` escaped for a label value (backslash, double quote, newline).
std::string escape_label_value(std::string_view value);

// `name` made into a valid metric or label name: lower case, every other
// character than [a-z0-9_] becomes "_", and a leading digit gets a "_".
std::string metric_name_part(std::string_view name);

}  // namespace qrx
