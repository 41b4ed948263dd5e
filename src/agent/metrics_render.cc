#include "agent/metrics_render.h"

#include <charconv>
#include <cstdlib>
#include <set>

namespace qrx {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence at the start of `s`, 0 when invalid.
std::size_t utf8_length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t n = 0;
  uint32_t min = 0;
  uint32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, min = 0x80, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, min = 0x800, cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, min = 0x10000, cp = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

std::string escape_help(std::string_view help, ExpositionFormat format) {
  std::string out;
  for (char c : exposition_text(help)) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '"' && format == ExpositionFormat::kOpenMetrics) out += "\\\"";
    else out += c;
  }
  return out;
}

// A sample value: decimal integers left unscaled stay as they are (exact
// beyond 2^53); other numbers are written back from their value, with the
// format's spellings of the specials.
std::string sample_value(std::string_view text, double scale) {
  long long integer = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), integer);
  if (scale == 1 && error == std::errc() && end == text.data() + text.size())
    return std::string(text);
  // strtod, unlike from_chars, gives an overflow as infinity and an underflow as 0.
  const std::string copy(text);
  char* parsed = nullptr;
  double value = std::strtod(copy.c_str(), &parsed);
  if (copy.empty() || parsed != copy.c_str() + copy.size()) return "NaN";
  value *= scale;
  if (value != value) return "NaN";
  if (value > 1.7976931348623157e308) return "+Inf";
  if (value < -1.7976931348623157e308) return "-Inf";
  char buffer[40];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, written.ptr);
}

// Writes metric families: a header once per family, then its samples.
class Writer {
 public:
  explicit Writer(ExpositionFormat format) : format_(format) {}

  // Starts family `family` (for a counter without "_total"); false when a
  // family of that name was written already in this exposition.
  bool family(const std::string& family, MetricType type, std::string_view help) {
    skipping_ = !families_.insert(family).second;
    if (skipping_) return false;
    sample_name_ = family;
    if (type == MetricType::kCounter) sample_name_ += "_total";
    const bool open = format_ == ExpositionFormat::kOpenMetrics;
    const std::string& header_name = open ? family : sample_name_;
    const char* type_word = type == MetricType::kGauge     ? "gauge"
                            : type == MetricType::kCounter ? "counter"
                            : open                          ? "unknown"
                                                            : "untyped";
    out_ += "# HELP " + header_name + " " + escape_help(help, format_) + "\n";
    out_ += "# TYPE " + header_name + " " + type_word + "\n";
    series_.clear();
    return true;
  }

  // A sample of the current family; `labels` are name and raw value pairs.
  // Left out when a sample with the same labels came before.
  bool sample(const std::vector<std::pair<std::string, std::string>>& labels,
              std::string_view value, double scale = 1) {
    if (skipping_) return false;
    std::string text;
    for (const auto& [name, raw] : labels) {
      text += text.empty() ? "{" : ",";
      text += name + "=\"" + escape_label_value(exposition_text(raw)) + "\"";
    }
    if (!text.empty()) text += "}";
    if (!series_.insert(text).second) return false;
    out_ += sample_name_ + text + " " + sample_value(value, scale) + "\n";
    return true;
  }

  std::string finish() {
    if (format_ == ExpositionFormat::kOpenMetrics) out_ += "# EOF\n";
    return std::move(out_);
  }

 private:
  ExpositionFormat format_;
  std::string out_;
  std::string sample_name_;
  std::set<std::string> families_;
  std::set<std::string> series_;
  bool skipping_ = false;  // the current family repeats an earlier one's name
};

void write_cursor(Writer& w, const ExportCursor& cursor, const ProbeTable& table) {
  // Where each exported column stands in the decoded table (-1: not there).
  std::vector<int> at;
  for (const ExportColumn& col : cursor.columns) {
    int index = -1;
    for (std::size_t i = 0; i < table.columns.size(); ++i)
      if (table.columns[i].name == col.column) index = static_cast<int>(i);
    at.push_back(index);
  }
  for (std::size_t s = 0; s < cursor.columns.size(); ++s) {
    const ExportColumn& sample = cursor.columns[s];
    if (sample.role != ColumnRole::kSample || at[s] < 0) continue;
    if (!w.family(sample.family, sample.type, sample.help)) continue;
    for (const std::vector<std::string>& row : table.rows) {
      std::vector<std::pair<std::string, std::string>> labels;
      for (std::size_t l = 0; l < cursor.columns.size(); ++l)
        if (cursor.columns[l].role == ColumnRole::kLabel && at[l] >= 0)
          labels.emplace_back(cursor.columns[l].label, row[at[l]]);
      w.sample(labels, row[at[s]], sample.scale);
    }
  }
}

// A health value as a sample; empty when the cursor has none.
using HealthValue = std::string (*)(const CursorHealth&);

template <int64_t CursorHealth::*field>
std::string whole(const CursorHealth& c) {
  return std::to_string(c.*field);
}
template <int64_t CursorHealth::*field>
std::string time_if_any(const CursorHealth& c) {
  return c.*field == 0 ? std::string() : std::to_string(c.*field);
}
std::string seconds(const CursorHealth& c) {
  char buffer[40];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, c.elapsed);
  return std::string(buffer, written.ptr);
}

struct HealthFamily {
  const char* name;
  const char* help;
  HealthValue value;
};
constexpr HealthFamily kCursorHealth[] = {
    {"qrx_cursor_last_run_timestamp_seconds", "Start of the cursor's last run",
     time_if_any<&CursorHealth::last_start>},
    {"qrx_cursor_last_success_timestamp_seconds", "End of the cursor's last successful run",
     time_if_any<&CursorHealth::end_time>},
    {"qrx_cursor_elapsed_seconds", "Seconds the cursor's last run took", seconds},
    {"qrx_cursor_rows", "Rows the cursor's last run produced", whole<&CursorHealth::rows>},
    {"qrx_cursor_result_code", "SQL code of the cursor's last statement",
     whole<&CursorHealth::result_code>},
};

void write_health(Writer& w, std::span<const ExportCursor> plan, const ScrapeResult& scrape) {
  w.family("qrx_up", MetricType::kGauge, "1 when the collector answered this scrape");
  w.sample({}, scrape.collector_up ? "1" : "0");
  w.family("qrx_cursor_up", MetricType::kGauge,
           "1 when the cursor's rows were exported in this scrape");
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const bool up = i < scrape.rows.size() && scrape.rows[i].has_value();
    w.sample({{"cursor", plan[i].cursor}}, up ? "1" : "0");
  }
  for (const HealthFamily& f : kCursorHealth) {
    w.family(f.name, MetricType::kGauge, f.help);
    for (const CursorHealth& c : scrape.cursors) {
      const std::string value = f.value(c);
      if (!value.empty()) w.sample({{"cursor", c.name}}, value);
    }
  }
  w.family("qrx_distributor_status", MetricType::kGauge,
           "The status of the distributor's last run, as a label");
  for (const DistributorHealth& d : scrape.distributors)
    w.sample({{"distributor", d.name}, {"status", d.status}}, "1");
  w.family("qrx_distributor_failed", MetricType::kGauge,
           "1 when the distributor's last run failed");
  for (const DistributorHealth& d : scrape.distributors)
    w.sample({{"distributor", d.name}}, d.status == "FAIL" ? "1" : "0");
}

}  // namespace

const char* exposition_content_type(ExpositionFormat format) {
  return format == ExpositionFormat::kOpenMetrics
             ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
             : "text/plain; version=0.0.4; charset=utf-8";
}

ExpositionFormat format_for_accept(std::string_view accept) {
  return accept.find("application/openmetrics-text") != std::string_view::npos
             ? ExpositionFormat::kOpenMetrics
             : ExpositionFormat::kPrometheus;
}

std::string render_exposition(std::span<const ExportCursor> plan, const ScrapeResult& scrape,
                              ExpositionFormat format) {
  Writer w(format);
  for (std::size_t i = 0; i < plan.size() && i < scrape.rows.size(); ++i)
    if (scrape.rows[i]) write_cursor(w, plan[i], *scrape.rows[i]);
  write_health(w, plan, scrape);
  return w.finish();
}

std::string exposition_text(std::string_view raw) {
  const std::string_view pad(" \0", 2);
  const std::size_t first = raw.find_first_not_of(pad);
  if (first == std::string_view::npos) return {};
  raw = raw.substr(first, raw.find_last_not_of(pad) - first + 1);
  std::string out;
  while (!raw.empty()) {
    const std::size_t n = utf8_length(raw);
    const unsigned char c = static_cast<unsigned char>(raw[0]);
    if (n == 0 || (n == 1 && ((c < 0x20 && c != '\n') || c == 0x7F))) {
      out += kReplacement;
      raw.remove_prefix(1);
      continue;
    }
    out.append(raw.substr(0, n));
    raw.remove_prefix(n);
  }
  return out;
}

std::string escape_label_value(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string metric_name_part(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    out += ok ? c : '_';
  }
  if (out.empty() || (out[0] >= '0' && out[0] <= '9')) out.insert(out.begin(), '_');
  return out;
}

}  // namespace qrx
