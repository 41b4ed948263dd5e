// Interface definition files NAME.RQS: the table and columns a cursor's rows
// go to, from which the cursor's INSERT statement is deduced.

#include <cctype>
#include <fstream>
#include <optional>

#include "base/log.h"
#include "base/text.h"
#include "ctl/control_parse.h"
#include "ctl/cursor_parser.h"
#include "ctl/parse_common.h"
#include "ctl/word_scanner.h"
#include "qrx/curs.h"

namespace qrx {
namespace {

struct RqsColumn {
  std::string name;
  char kind;  // 'I' integer, 'F' floating, 'C' character
};

// Host variables that stand for the collector's own values.
constexpr struct {
  const char* column;
  const char* variable;
} kSpecialColumns[] = {
    {"SYSTEMNAME", "%machine"}, {"TIMESTAMP", "%now_time"}, {"SAMPLENO", "%sampleno"}, {"ROWNO", "%rowno"},
};

// True when `line` starts with `keyword` in all lower or all upper case; the
// keyword is then removed from `line`.
bool take_keyword(std::string_view& line, std::string_view keyword) {
  if (line.size() < keyword.size() || !is_two_spelling(line.substr(0, keyword.size()), keyword)) return false;
  line.remove_prefix(keyword.size());
  return true;
}

std::string_view skip(std::string_view text, std::string_view chars) {
  const std::size_t b = text.find_first_not_of(chars);
  return b == std::string_view::npos ? std::string_view() : text.substr(b);
}

class RqsReader {
 public:
  // Takes one line; false when the file fails.
  bool line(std::string_view text);
  // Checks what was read and writes the INSERT; 0, or 1 after reporting.
  int finish(std::string& statement, curs& c);

 private:
  bool parens_text(std::string_view text, std::string& out);
  std::optional<int32_t> parens_number(std::string_view text);
  bool column(std::string_view text);

  int step_ = 1;  // the item expected next
  std::string uuidbase_, uuidpavc_, uuidpcvc_, interface_;
  int32_t rpc_version_ = 0, objid_ = 0, set_ = 0;
  std::vector<RqsColumn> columns_;
};

bool RqsReader::parens_text(std::string_view text, std::string& out) {
  return w_o_parens(text, out) > 0;
}

std::optional<int32_t> RqsReader::parens_number(std::string_view text) {
  std::string inner;
  if (!parens_text(text, inner)) return std::nullopt;
  const std::optional<int32_t> value = decimal_value(strip(inner, " "));
  if (!value) PRINT('e', "cat1965", "Invalid number (%s)\n", inner.c_str());
  return value;
}

bool RqsReader::line(std::string_view text) {
  text = skip(text, " \t");
  switch (step_) {
    case 1:
      if (!text.starts_with('[')) return true;
      text = skip(text.substr(1), " \t");
      if (!take_keyword(text, "uuidbase")) return true;
      ++step_;
      return parens_text(text, uuidbase_);
    case 2:
      if (!take_keyword(text, "uuidpavc")) return true;
      ++step_;
      return parens_text(text, uuidpavc_);
    case 3: {
      if (!take_keyword(text, "uuidpcvc")) return true;
      ++step_;
      if (!parens_text(text, uuidpcvc_)) return false;
      const std::size_t close = text.find(')');
      std::string version;
      if (w_o_parens(text.substr(close + 1), version) == 0 ||
          strip(version, " ").empty()) {
        PRINT('e', "cat1945", "No rpc_version\n");
        return false;
      }
      const std::optional<int32_t> value = decimal_value(strip(version, " "));
      if (!value) {
        PRINT('e', "cat1965", "Invalid number (%s)\n", version.c_str());
        return false;
      }
      rpc_version_ = *value;
      return true;
    }
    case 4: {
      if (!text.starts_with("INTERFACE ") && !text.starts_with("interface ")) return true;
      ++step_;
      text = skip(text.substr(10), " \t");
      interface_ = u_strupper(text.substr(0, text.find_first_of(" \t")));
      return true;
    }
    case 5:
    case 6: {
      if (!take_keyword(text, step_ == 5 ? "objid" : "set")) return true;
      const std::optional<int32_t> value = parens_number(text);
      if (!value) return false;
      (step_ == 5 ? objid_ : set_) = *value;
      ++step_;
      return true;
    }
    default:
      if (!text.starts_with("COLUMN ") && !text.starts_with("column ")) return true;
      return column(text.substr(7));
  }
}

bool RqsReader::column(std::string_view text) {
  text = skip(text, " \t(");
  const std::size_t end = std::min(text.find_first_of(" \t,"), text.size());
  const std::string name = u_strupper(text.substr(0, end));
  text = skip(text.substr(end), " \t,");
  const char letter = text.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  char kind;
  switch (letter) {
    case 'I':
    case 'U':
    case 'L':
      kind = 'I';
      break;
    case 'F':
    case 'C':
      kind = letter;
      break;
    default:
      PRINT('e', "cat1950", "Unknown column type for %s\n", name.c_str());
      return false;
  }
  columns_.push_back({name, kind});
  return true;
}

int RqsReader::finish(std::string& statement, curs& c) {
  if (interface_.empty()) {
    PRINT('e', "cat1955", "Did not find DS table name\n");
    return 1;
  }
  if (columns_.empty()) {
    PRINT('e', "cat1960", "Did not find DS column(s)\n");
    return 1;
  }
  std::string names, values;
  for (const RqsColumn& col : columns_) {
    std::string variable = col.name;
    for (const auto& s : kSpecialColumns)
      if (col.name == s.column) variable = s.variable;
    const std::string host = (col.kind == 'I' ? "INT!" : col.kind == 'F' ? "FLOAT!" : "") + variable;
    add_column(host, c);
    names += (names.empty() ? "" : ",") + col.name;
    values += (values.empty() ? ":" : ",:") + host;
  }
  statement = "INSERT INTO " + interface_ + " (" + names + ") VALUES (" + values + ") ";
  PRINT('i', "cat1970", "Deduced insert: %s\n", statement.c_str());
  c.host_variables = static_cast<uint16_t>(columns_.size());
  c.insert_table = interface_;
  if (c.table_name.empty()) c.table_name = interface_;
  c.uuidbase = uuidbase_;
  c.uuidpavc = uuidpavc_;
  c.uuidpcvc = uuidpcvc_;
  c.rpc_version = rpc_version_;
  c.objid = objid_;
  c.set = set_;
  if (c.trace) {
    PRINT('t', "cat1975", "Objid = %d, set = %d, rpc_version = %d\n", objid_, set_, rpc_version_);
    PRINT('t', "cat1980", "Uuidbase = %s\n", uuidbase_.c_str());
    PRINT('t', "cat1985", "Uuidpavc = %s\n", uuidpavc_.c_str());
    PRINT('t', "cat1990", "Uuidpcvc = %s\n", uuidpcvc_.c_str());
  }
  return 0;
}

}  // namespace

int parse_rqs(std::string_view word, std::string& statement, curs& c) {
  std::string path;
  for (char ch : word)
    if (ch != '!') path.push_back(ch);
  path += ".RQS";
  std::ifstream in(path);
  if (!in) {
    PRINT('e', "cat1935", "Can NOT open %s\n", path.c_str());
    return 1;
  }
  RqsReader reader;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    PRINT('i', "cat1940", "%s\n", line.c_str());
    if (!reader.line(line)) return 1;
  }
  return reader.finish(statement, c);
}

std::vector<std::string> rqs_keywords() {
  std::vector<std::string> words = {"uuidbase", "uuidpavc", "uuidpcvc", "objid", "set"};
  for (const auto& special : kSpecialColumns) words.emplace_back(special.column);
  return words;
}

}  // namespace qrx
