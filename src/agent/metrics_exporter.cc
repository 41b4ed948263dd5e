#include "agent/metrics_exporter.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <set>
#include <span>

#include "agent/comm_entry.h"
#include "agent/reply_decoder.h"
#include "agent/status_records.h"
#include "base/env_vars.h"
#include "base/little_endian.h"
#include "base/log.h"
#include "ctl/control_parse.h"
#include "qrx/curs.h"

namespace qrx {
namespace {

constexpr char kStatusRequests[] = "C-STATUS D-STATUS";

bool numeric(uint16_t conversion) {
  return conversion == kSendInt || conversion == kSendInt64 || conversion == kSendFloat;
}

// Attaches for one exchange and lets go after it, as qrxprobe does. Each
// cursor is a "get" of its own, in turn: one "get" carries at most 99
// characters of cursor names.
class ChannelLink : public CollectorLink {
 public:
  explicit ChannelLink(bool verbose) : verbose_(verbose) {}

  std::optional<std::vector<CursList>> exchange(const std::string& requests,
                                                std::chrono::steady_clock::time_point deadline,
                                                std::string& problem) override {
    // The channel's notices (attaching and the like) only when asked for.
    set_quiet_notices(!verbose_);
    std::optional<std::vector<CursList>> reply = attached_exchange(requests, deadline, problem);
    set_quiet_notices(false);
    return reply;
  }

 private:
  std::optional<std::vector<CursList>> attached_exchange(
      const std::string& requests, std::chrono::steady_clock::time_point deadline,
      std::string& problem) {
    std::string looked_in;
    const int reach = probe_connect(looked_in);
    if (reach != 0) {
      problem = reach == kNoCollector ? "no collector is running (looked in " + looked_in + ")"
                                      : "the channel could not be reached";
      if (reach != kNoCollector) qrxcomm("shut");
      return std::nullopt;
    }
    CommAnchor* anchor = qrxcomm("init").anchor;
    if (!anchor) {
      problem = "the probe side of the channel could not be set up";
      qrxcomm("shut");
      return std::nullopt;
    }
    std::vector<std::string> turns;
    for (std::size_t at = 0; at < requests.size();) {
      const std::size_t end = std::min(requests.find(' ', at), requests.size());
      if (end > at) turns.push_back(requests.substr(at, end - at));
      at = end + 1;
    }
    std::optional<std::vector<CursList>> reply(std::in_place);
    for (const std::string& turn : turns) {
      // Each turn gets what is left of the exchange's time, in the channel's
      // whole seconds, rounded up.
      const auto left = std::chrono::ceil<std::chrono::seconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        problem = "no answer from the collector in time";
        reply.reset();
        break;
      }
      std::vector<CursList>* blocks =
          probe_request(anchor, turn.c_str(), static_cast<int>(std::min<int64_t>(left.count(), 600)));
      if (!blocks) {
        problem = "error " + std::to_string(anchor->error_code) + ": " + anchor->error_text;
        reply.reset();
        break;
      }
      for (CursList& block : *blocks) reply->push_back(std::move(block));
    }
    qrxcomm("term", anchor);
    qrxcomm("shut");
    return reply;
  }

  bool verbose_;
};

std::string trimmed(std::string text) {
  const std::size_t end = text.find_last_not_of(' ');
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text;
}

int64_t number_of(std::span<const char> record, const StatusField& f) {
  return std::strtoll(status_value(record, f).c_str(), nullptr, 10);
}

// The records of a status block of `size`-byte records.
std::vector<std::span<const char>> records(const CursList& block, std::size_t size) {
  std::vector<std::span<const char>> out;
  if (block.lenrow != static_cast<int32_t>(size) || block.numrow <= 0) return out;
  const std::span<const char> data(block.data);
  for (std::size_t r = 0; r < static_cast<std::size_t>(block.numrow); ++r)
    if ((r + 1) * size <= data.size()) out.push_back(data.subspan(r * size, size));
  return out;
}

void read_status(const CursList& block, ScrapeResult& result) {
  if (block.name == "C-STATUS") {
    for (std::span<const char> r : records(block, kCursorStatusSize)) {
      const auto& L = kCursorStatusLayout;
      result.cursors.push_back({trimmed(status_value(r, L[kCsName])), number_of(r, L[kCsLastStart]),
                                number_of(r, L[kCsEndTime]), run_seconds(r),
                                number_of(r, L[kCsRows]), number_of(r, L[kCsResultCode])});
    }
  } else if (block.name == "D-STATUS") {
    for (std::span<const char> r : records(block, kDistributorStatusSize)) {
      const auto& L = kDistributorStatusLayout;
      result.distributors.push_back(
          {trimmed(status_value(r, L[kDsName])), trimmed(status_value(r, L[kDsStatus]))});
    }
  }
}

}  // namespace

std::unique_ptr<CollectorLink> channel_link(bool verbose) {
  return std::make_unique<ChannelLink>(verbose);
}

int build_export_plan(const Definitions& defs, const MetricsConfig& config,
                      const std::string& source, std::vector<ExportCursor>& plan) {
  int result = 0;
  std::set<std::string> families;
  for (const CursorMapping& mapping : config.cursors) {
    const curs* c = defs.find_cursor(mapping.cursor);
    if (!c) {
      PRINT('e', "com0402", "Metrics file %s: cursor %s is not defined\n", source.c_str(),
            mapping.cursor.c_str());
      result = -1;
      continue;
    }
    for (const ColumnMapping& m : mapping.columns) {
      bool found = false;
      for (const auto& col : c->cols) found = found || col->name == m.column;
      if (found) continue;
      PRINT('e', "com0403", "Metrics file %s: cursor %s has no column %s\n", source.c_str(),
            mapping.cursor.c_str(), m.column.c_str());
      result = -1;
    }
    ExportCursor cursor{mapping.cursor, c, {}, &defs};
    for (const auto& col : c->cols) {
      if (col->send_conversion == kSendNone) continue;
      ExportColumn e;
      e.column = col->name;
      const ColumnMapping* m = nullptr;
      for (const ColumnMapping& candidate : mapping.columns)
        if (candidate.column == col->name) m = &candidate;
      const ColumnRole role = m && m->role != ColumnRole::kDefault ? m->role : ColumnRole::kDefault;
      e.role = role != ColumnRole::kDefault ? role
               : numeric(col->send_conversion) ? ColumnRole::kSample
                                               : ColumnRole::kLabel;
      if (e.role == ColumnRole::kLabel) {
        e.label = metric_name_part(col->name);
        if (e.label.starts_with("__")) e.label.insert(0, "c");  // "__" names are reserved
      } else if (e.role == ColumnRole::kSample) {
        if (m) e.type = m->type, e.scale = m->scale;
        e.family = m && !m->name.empty()
                       ? m->name
                       : "qrx_" + metric_name_part(mapping.cursor) + "_" + metric_name_part(col->name);
        if (e.type == MetricType::kCounter && e.family.ends_with("_total"))
          e.family.resize(e.family.size() - 6);
        e.help = m && !m->help.empty() ? m->help
                                       : "Column " + col->name + " of cursor " + mapping.cursor;
        if (!families.insert(e.family).second || e.family.starts_with("qrx_up") ||
            e.family.starts_with("qrx_cursor_") || e.family.starts_with("qrx_distributor_")) {
          PRINT('e', "com0404", "Metrics file %s: metric %s of cursor %s is given twice\n",
                source.c_str(), e.family.c_str(), mapping.cursor.c_str());
          result = -1;
        }
      }
      cursor.columns.push_back(std::move(e));
    }
    plan.push_back(std::move(cursor));
  }
  return result;
}

std::optional<ProbeTable> decode_export_rows(const Definitions& defs, const curs& definition,
                                             const CursList& block, std::string& problem) {
  if (block.numrow <= 0 || block.lenrow <= 0) {
    problem = "no rows";
    return std::nullopt;
  }
  const AgentLayout layout = agent_layout(defs, definition, static_cast<uint32_t>(block.lenrow));
  if (!layout.problem.empty()) {
    problem = layout.problem;
    return std::nullopt;
  }
  ProbeTable table{block.name, {}, {}, {}};
  for (const AgentColumn& col : layout.columns)
    table.columns.push_back({col.name, numeric(col.conversion)});
  const std::size_t lenrow = static_cast<std::size_t>(block.lenrow);
  const std::size_t rows = std::min<std::size_t>(block.numrow, block.data.size() / lenrow);
  for (std::size_t r = 0; r < rows; ++r) {
    const char* row = block.data.data() + r * lenrow;
    std::vector<std::string> values;
    for (const AgentColumn& col : layout.columns) {
      const char* at = row + col.offset;
      if (col.conversion == kSendInt) {
        values.push_back(std::to_string(static_cast<int32_t>(get_le_bytes(at, 4))));
      } else if (col.conversion == kSendInt64) {
        values.push_back(std::to_string(static_cast<int64_t>(get_le_bytes(at, 8))));
      } else if (col.conversion == kSendFloat) {
        char text[40];
        const auto end = std::to_chars(text, text + sizeof text,
                                       std::bit_cast<double>(get_le_bytes(at, 8))).ptr;
        values.emplace_back(text, end);
      } else {
        values.emplace_back(at, col.width);
      }
    }
    table.rows.push_back(std::move(values));
  }
  return table;
}

struct MetricsExporter::Exchange {
  bool done = false;
  ScrapeResult result;
};

MetricsExporter::MetricsExporter(std::vector<ExportCursor> plan,
                                 std::unique_ptr<CollectorLink> link, Clock::duration allowance)
    : plan_(std::move(plan)), link_(std::move(link)), allowance_(allowance) {
  for (const ExportCursor& c : plan_) requests_ += c.cursor + " ";
  requests_ += kStatusRequests;
  runner_ = std::thread([this] { run_exchanges(); });
}

MetricsExporter::~MetricsExporter() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  runner_.join();
}

void MetricsExporter::tell_down(const std::string& problem) {
  // Told once per outage, not at every scrape.
  if (!told_down_) PRINT('w', "com0409", "The collector did not answer: %s\n", problem.c_str());
  told_down_ = true;
}

void MetricsExporter::run_exchanges() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || (in_flight_ && !in_flight_->done); });
    if (stopping_) return;
    const std::shared_ptr<Exchange> exchange = in_flight_;
    lock.unlock();
    ScrapeResult result = collect();
    lock.lock();
    exchange->result = std::move(result);
    exchange->done = true;
    in_flight_.reset();
    changed_.notify_all();
  }
}

ScrapeResult MetricsExporter::answer_by(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!in_flight_) {
    in_flight_ = std::make_shared<Exchange>();
    changed_.notify_all();
  }
  const std::shared_ptr<Exchange> exchange = in_flight_;
  if (changed_.wait_until(lock, deadline, [&] { return exchange->done; }))
    return exchange->result;
  tell_down("no answer from the collector in time");
  ScrapeResult down;
  down.rows.resize(plan_.size());
  return down;
}

ScrapeResult MetricsExporter::collect() {
  ScrapeResult result;
  result.rows.resize(plan_.size());
  std::string problem;
  const std::optional<std::vector<CursList>> reply =
      link_->exchange(requests_, Clock::now() + allowance_, problem);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!reply) {
      tell_down(problem);
      return result;
    }
    if (told_down_) PRINT('i', "com0411", "The collector answers again\n");
    told_down_ = false;
  }
  result.collector_up = true;
  for (const CursList& block : *reply) read_status(block, result);
  for (std::size_t i = 0; i < plan_.size(); ++i) {
    const ExportCursor& cursor = plan_[i];
    // A cursor whose last statement failed gives no samples, whatever rows it holds.
    bool failed = false;
    for (const CursorHealth& h : result.cursors)
      if (h.name == cursor.cursor && h.result_code < 0) failed = true;
    for (const CursList& block : *reply) {
      if (block.name != cursor.cursor || failed || block.numrow <= 0) continue;
      result.rows[i] = decode_export_rows(*cursor.definitions, *cursor.definition, block, problem);
      if (!result.rows[i])
        PRINT('w', "com0410", "Rows of %s could not be decoded: %s\n", cursor.cursor.c_str(),
              problem.c_str());
    }
  }
  return result;
}

std::string MetricsExporter::scrape(ExpositionFormat format, Clock::time_point deadline) {
  return render_exposition(plan_, answer_by(deadline), format);
}

bool MetricsExporter::healthy(Clock::time_point deadline) {
  return answer_by(deadline).collector_up;
}

}  // namespace qrx
