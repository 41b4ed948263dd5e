#include "agent/metrics_config.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "base/log.h"
#include "ctl/statement_reader.h"

namespace qrx {
namespace {

enum class Statement { kListen, kCursor, kMetric, kLabel, kDrop, kEnd };
struct StatementRow {
  const char* word;
  Statement statement;
};
constexpr StatementRow kStatements[] = {
    {"listen", Statement::kListen}, {"cursor", Statement::kCursor},
    {"metric", Statement::kMetric}, {"label", Statement::kLabel},
    {"drop", Statement::kDrop},     {"end", Statement::kEnd},
};

struct TypeRow {
  const char* word;
  MetricType type;
};
constexpr TypeRow kTypes[] = {
    {"gauge", MetricType::kGauge},
    {"counter", MetricType::kCounter},
    {"untyped", MetricType::kUntyped},
};

// Options of a "metric" statement after its column, each with one value.
enum class MetricOption { kName, kHelp, kScale };
struct OptionRow {
  const char* word;
  MetricOption option;
};
constexpr OptionRow kMetricOptions[] = {
    {"name", MetricOption::kName}, {"help", MetricOption::kHelp}, {"scale", MetricOption::kScale}};

template <typename Row, std::size_t N>
const Row* lookup(const Row (&table)[N], std::string_view word) {
  const Row* row = std::find_if(std::begin(table), std::end(table), [&](const Row& r) {
    return std::equal(word.begin(), word.end(), r.word, r.word + std::char_traits<char>::length(r.word),
                      [](char a, char b) { return (a | 0x20) == b; });
  });
  return row == std::end(table) ? nullptr : row;
}

// The words of a statement: blank-separated, or quoted with ' or " (the quote
// cannot occur inside). False when a quote is not closed.
bool split_words(std::string_view text, std::vector<std::string>& words) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r') {
      ++i;
      continue;
    }
    if (text[i] == '"' || text[i] == '\'') {
      const std::size_t close = text.find(text[i], i + 1);
      if (close == std::string_view::npos) return false;
      words.emplace_back(text.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    const std::size_t end = text.find_first_of(" \t\n\r", i);
    words.emplace_back(text.substr(i, end == std::string_view::npos ? end : end - i));
    i = end == std::string_view::npos ? text.size() : end;
  }
  return true;
}

// The fault of one statement, or empty; applies the statement to `config`.
std::string apply(const std::vector<std::string>& words, MetricsConfig& config) {
  const StatementRow* row = lookup(kStatements, words[0]);
  if (!row) return "unknown statement " + words[0];
  const Statement statement = row->statement;
  if (statement == Statement::kEnd) return words.size() == 1 ? "" : "end takes no words";
  if (words.size() < 2) return words[0] + " needs a value";
  if (statement == Statement::kListen) {
    if (words.size() > 2) return "listen takes one address";
    return parse_listen_address(words[1], config.host, config.port)
               ? ""
               : "listen address " + words[1] + " is not HOST:PORT";
  }
  if (statement == Statement::kCursor) {
    if (words.size() > 2) return "cursor takes one name";
    config.cursors.push_back({words[1], {}});
    return "";
  }
  if (config.cursors.empty()) return words[0] + " outside a cursor block";
  ColumnMapping mapping;
  mapping.column = words[1];
  mapping.role = statement == Statement::kMetric  ? ColumnRole::kSample
                 : statement == Statement::kLabel ? ColumnRole::kLabel
                                                  : ColumnRole::kDrop;
  std::size_t i = 2;
  while (i < words.size()) {
    // A type word stands alone, anywhere among the options.
    if (const TypeRow* type = statement == Statement::kMetric ? lookup(kTypes, words[i]) : nullptr) {
      mapping.type = type->type;
      ++i;
      continue;
    }
    const OptionRow* option = statement == Statement::kMetric ? lookup(kMetricOptions, words[i]) : nullptr;
    if (!option) return "unexpected word " + words[i];
    if (i + 1 >= words.size()) return words[i] + " needs a value";
    const std::string& value = words[i + 1];
    if (option->option == MetricOption::kHelp) {
      mapping.help = value;
    } else if (option->option == MetricOption::kScale) {
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), mapping.scale);
      if (error != std::errc() || end != value.data() + value.size() || !(mapping.scale > 0))
        return "scale " + value + " is not a positive number";
    } else if (valid_metric_name(value)) {
      mapping.name = value;
    } else {
      return "metric name " + value + " is not valid";
    }
    i += 2;
  }
  config.cursors.back().columns.push_back(std::move(mapping));
  return "";
}

}  // namespace

bool valid_metric_name(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == ':';
  });
}

bool parse_listen_address(std::string_view address, std::string& host, int& port) {
  const std::size_t colon = address.rfind(':');
  const std::string_view host_part =
      colon == std::string_view::npos ? std::string_view(host) : address.substr(0, colon);
  const std::string_view port_part =
      colon == std::string_view::npos ? address : address.substr(colon + 1);
  int value = 0;
  const auto [end, error] = std::from_chars(port_part.data(), port_part.data() + port_part.size(), value);
  if (error != std::errc() || end != port_part.data() + port_part.size() || value < 1 ||
      value > 65535 || host_part.empty())
    return false;
  // An IPv6 address stands in brackets before its port.
  const bool bracketed = host_part.size() > 2 && host_part.front() == '[' && host_part.back() == ']';
  host = std::string(bracketed ? host_part.substr(1, host_part.size() - 2) : host_part);
  port = value;
  return true;
}

int parse_metrics_text(std::string_view text, const std::string& source, MetricsConfig& config) {
  StatementReader reader(text, ReaderOptions{}, {});
  std::string statement;
  int result = 0;
  for (;;) {
    const StatementReader::Status status = reader.next(statement);
    if (status == StatementReader::kEnd) break;
    std::string problem = "statement too long";
    std::vector<std::string> words;
    if (status == StatementReader::kStatement) {
      problem = split_words(statement, words) ? "" : "a quote is not closed";
      if (problem.empty() && !words.empty()) problem = apply(words, config);
    }
    if (problem.empty()) continue;
    PRINT('e', "com0401", "Metrics file %s line %d: %s\n", source.c_str(), reader.line(),
          problem.c_str());
    result = -1;
  }
  return result;
}

}  // namespace qrx
