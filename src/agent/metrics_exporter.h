// The scrapes of qrxexport: the plan built from the metrics file and the
// collector's cursor definitions, one channel exchange at a time (scrapes that
// come while one is in flight share its answer), and the replies turned into
// a ScrapeResult. The exporter owns its plan, its link to the collector and
// the thread that runs the exchanges.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/metrics_config.h"
#include "agent/metrics_render.h"
#include "qrx/channel.h"

namespace qrx {

// The exchange with the collector, a seam for tests.
class CollectorLink {
 public:
  virtual ~CollectorLink() = default;
  // Asks for `requests` (names separated by blanks) in one exchange that
  // gives up at `deadline`: the reply blocks, or none with `problem` saying
  // why the collector did not answer.
  virtual std::optional<std::vector<CursList>> exchange(
      const std::string& requests, std::chrono::steady_clock::time_point deadline,
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
// The plan points into `defs`, which must outlive it.
int build_export_plan(const Definitions& defs, const MetricsConfig& config,
                      const std::string& source, std::vector<ExportCursor>& plan);

// The rows of a reply block decoded for export through the cursor's
// definition (a virtual cursor's widths from `defs`' dictionary); none, with
// `problem` set, when the layout does not match.
std::optional<ProbeTable> decode_export_rows(const Definitions& defs, const curs& definition,
                                             const CursList& block, std::string& problem);

class MetricsExporter {
 public:
  using Clock = std::chrono::steady_clock;

  // Each exchange with the collector gives up after `allowance`.
  MetricsExporter(std::vector<ExportCursor> plan, std::unique_ptr<CollectorLink> link,
                  Clock::duration allowance = std::chrono::seconds(10));
  // Waits for an exchange in flight (at most its allowance).
  ~MetricsExporter();
  MetricsExporter(const MetricsExporter&) = delete;
  MetricsExporter& operator=(const MetricsExporter&) = delete;

  // One scrape: the plan's cursors and both status replies asked for in one
  // exchange, rendered in `format`; an exchange already in flight is joined
  // rather than followed. At `deadline` without an answer, the scrape renders
  // a collector that did not answer (qrx_up 0).
  std::string scrape(ExpositionFormat format, Clock::time_point deadline);

  // True when the collector answers by `deadline` (an exchange in flight is joined).
  bool healthy(Clock::time_point deadline);

  // The request list a scrape sends.
  const std::string& requests() const { return requests_; }

 private:
  struct Exchange;  // one exchange with the collector and its outcome

  // The answer of the exchange in flight (one is started when none is), or
  // a collector that did not answer when none came by `deadline`.
  ScrapeResult answer_by(Clock::time_point deadline);
  // The exchanges, one at a time, until the exporter goes.
  void run_exchanges();
  ScrapeResult collect();
  // Logs the first failure of an outage; `mutex_` held.
  void tell_down(const std::string& problem);

  std::vector<ExportCursor> plan_;
  std::unique_ptr<CollectorLink> link_;
  Clock::duration allowance_;
  std::string requests_;
  std::mutex mutex_;  // guards what follows
  std::condition_variable changed_;
  std::shared_ptr<Exchange> in_flight_;  // null while no exchange runs or waits
  bool told_down_ = false;  // the outage of the collector was logged
  bool stopping_ = false;
  std::thread runner_;
};

}  // namespace qrx
