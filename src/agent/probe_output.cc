#include "agent/probe_output.h"

#include <algorithm>
#include <cstdio>

namespace qrx {
namespace {

std::string aligned(const ProbeTable& t) {
  std::vector<std::size_t> widths;
  for (const ProbeColumn& c : t.columns) widths.push_back(c.name.size());
  for (const auto& row : t.rows)
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i)
      widths[i] = std::max(widths[i], row[i].size());
  std::string out = t.summary + "\n";
  if (t.columns.empty()) return out;
  auto line = [&](auto value_at) {
    std::string text;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
      const std::string& v = value_at(i);
      const std::string pad(widths[i] - std::min(widths[i], v.size()), ' ');
      if (i > 0) text += "  ";
      text += t.columns[i].numeric ? pad + v : v + pad;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    out += text + "\n";
  };
  line([&](std::size_t i) -> const std::string& { return t.columns[i].name; });
  for (const auto& row : t.rows) line([&](std::size_t i) -> const std::string& { return row[i]; });
  return out;
}

// Quoted when a reader would otherwise split or trim the field.
std::string csv_field(const std::string& v) {
  const bool quote = v.find_first_of(",\"\r\n") != std::string::npos ||
                     (!v.empty() && (v.front() == ' ' || v.back() == ' '));
  if (!quote) return v;
  std::string out = "\"";
  for (char c : v) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string csv(const ProbeTable& t) {
  std::string out;
  auto line = [&](auto value_at) {
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
      if (i > 0) out += ',';
      out += csv_field(value_at(i));
    }
    out += '\n';
  };
  line([&](std::size_t i) { return t.columns[i].name; });
  for (const auto& row : t.rows) line([&](std::size_t i) { return row[i]; });
  return out;
}

std::string json_string(const std::string& v) {
  std::string out = "\"";
  for (char ch : v) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// Numbers go unquoted unless they are not JSON numbers (nan, inf).
std::string json_value(const std::string& v, bool numeric) {
  const bool number = numeric && !v.empty() &&
                      v.find_first_not_of("0123456789+-.e") == std::string::npos;
  return number ? v : json_string(v);
}

std::string json(const ProbeTable& t) {
  std::string out = "{\"cursor\":" + json_string(t.title) + ",\"rows\":[";
  for (std::size_t r = 0; r < t.rows.size(); ++r) {
    if (r > 0) out += ',';
    out += '{';
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
      if (i > 0) out += ',';
      out += json_string(t.columns[i].name) + ":" + json_value(t.rows[r][i], t.columns[i].numeric);
    }
    out += '}';
  }
  out += ']';
  if (!t.stale_since.empty()) out += ",\"stale\":true,\"last_success\":" + json_string(t.stale_since);
  return out + "}\n";
}

}  // namespace

std::string render_table(const ProbeTable& table, OutputFormat format) {
  switch (format) {
    case OutputFormat::kCsv: return csv(table);
    case OutputFormat::kJson: return json(table);
    default: return aligned(table);
  }
}

}  // namespace qrx
