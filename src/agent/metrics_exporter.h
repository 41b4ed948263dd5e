// The scrapes of qrxexport: the plan built from the metrics file and the
// collector's cursor definitions, one channel exchange per scrape (never two
// at once), and the replies turned into a ScrapeResult. The exporter owns its
// plan and its link to the collector.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent/metrics_config.h"
#include "agent/metrics_render.h"
#include "qrx/channel.h"

namespace qrx {

// The exchange with the collector, a seam for tests.
class CollectorLink {
 public:
  virtual ~CollectorLink() = default;
  // Asks for `requests` (names separated by blanks) in one exchange: the
  // reply blocks, or none with `problem` saying why the collector did not answer.
  virtual std::optional<std::vector<CursList>> exchange(const std::string& requests,
                                                        std::string& problem) = 0;
};

// The link over the collector's channel (qrxcomm), attached for each exchange
// so that a restarted collector is found again; the channel's notices reach
// the log only when `verbose`.
std::unique_ptr<CollectorLink> channel_link(bool verbose);

// The plan of `config`: each mapped cursor with its columns' roles, names and
// help, checked against the cursor definitions on the chain (numbers are
// samples and texts labels unless mapped otherwise). 0, or -1 after a
// message per fault ("com0402" unknown cursor, "com0403" unknown column,
// "com0404" a metric name given twice); `source` names the metrics file.
int build_export_plan(const MetricsConfig& config, const std::string& source,
                      std::vector<ExportCursor>& plan);

// The rows of a reply block decoded for export through the cursor's
// definition; none, with `problem` set, when the layout does not match.
std::optional<ProbeTable> decode_export_rows(const curs& definition, const CursList& block,
                                             std::string& problem);

class MetricsExporter {
 public:
  MetricsExporter(std::vector<ExportCursor> plan, std::unique_ptr<CollectorLink> link);

  // One scrape: the plan's cursors and both status replies asked for in one
  // exchange, rendered in `format`. Concurrent calls take turns.
  std::string scrape(ExpositionFormat format);

  // True when the collector answers a status request.
  bool healthy();

  // The request list a scrape sends.
  const std::string& requests() const { return requests_; }

 private:
  ScrapeResult collect();

  std::vector<ExportCursor> plan_;
  std::unique_ptr<CollectorLink> link_;
  std::string requests_;
  bool told_down_ = false;  // the outage of the collector was logged
  std::mutex turn_;  // one exchange in flight
};

}  // namespace qrx
