// DICT.CTL: dictionary elements with their type, length and initial value.

#include <cstdlib>

#include "base/control_files.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "ctl/parse_common.h"
#include "ctl/statement_reader.h"
#include "ctl/word_scanner.h"
#include "qrx/curs.h"
#include "qrx/dict.h"

namespace qrx {

namespace {

enum DictCode { kName = 1, kType = 2, kInitial = 3, kNumber = 4, kEnd = 5 };

constexpr KeywordSpelling kDictKeywords[] = {
    {"name", kName}, {"type", kType}, {"initial", kInitial}, {"number", kNumber}, {"end", kEnd},
};

constexpr ParseBanner kDictBanner = {
    {"pdc2000", "pdc2001", "pdc2002"}, "-- Starting parse of DICT.CTL -- Time: %s\n",
    {"pdc2200", "pdc2201", "pdc2202"}, "--  Dict Control Parsing ended at %s\n"};

// Characters removed around the fall-back text of an initial value.
constexpr std::string_view kFallbackTrim = " ,'\"";

// The value an `initial` text stands for: a dictionary parameter ("-name"),
// an environment variable ("%name"), or the text itself; nothing when an
// environment variable is unset and no fall-back is written.
std::optional<std::string> resolve_initial(const std::string& text) {
  if (text.empty() || (text[0] != '-' && text[0] != '%')) return text;
  const std::size_t sep = text.find_first_of(" ,", 1);
  const std::string name = text.substr(1, sep == std::string::npos ? sep : sep - 1);
  const std::string_view fallback =
      sep == std::string::npos ? std::string_view() : strip(std::string_view(text).substr(sep + 1), kFallbackTrim);
  if (text[0] == '-') {
    if (const std::string* value = search_dict_parm(name)) return *value;
    if (!fallback.empty()) return std::string(fallback);
    return text.substr(0, sep);
  }
  if (auto value = u_retrieveEnvVar(name.c_str()); value && !value->empty()) return value;
  if (const char* env = std::getenv(name.c_str()); env && *env) return std::string(env);
  if (!fallback.empty()) return std::string(fallback);
  PRINT('w', "pdc2150", "Environmental variable %s not found\n", name.c_str());
  return std::nullopt;
}

// The stored form of an initial value for `element`.
std::string format_initial(const dict_element& element, const std::string& value) {
  if (element.numeric) {
    if (!value.starts_with('\'')) return value;
    std::string inner = value.substr(1);
    const std::size_t last = inner.rfind('\'');
    return last == std::string::npos ? inner : inner.substr(0, last);
  }
  std::string v = value;
  if (!v.empty() && (v.front() == '\'' || v.front() == '"')) v.front() = ' ';
  if (!v.empty() && (v.back() == '\'' || v.back() == '"')) v.back() = ' ';
  const std::size_t b = v.find_first_not_of(' ');
  std::string token = b == std::string::npos ? std::string() : v.substr(b, v.find(' ', b) - b);
  const std::size_t width = static_cast<std::size_t>(element.length);
  if (token.size() > width) {
    // The field cannot hold more; say so rather than cutting silently.
    PRINT('w', "pdc2160", "Initial value %s of %s cut to %zu characters\n", token.c_str(),
          element.name.c_str(), width);
    token.resize(width);
  }
  std::string field(width - token.size(), ' ');
  return field + token;
}

class DictParser {
 public:
  DictParser(Definitions& defs, StatementReader& reader)
      : defs_(defs), reader_(reader), scanner_(statement_) {}

  int run();

 private:
  bool statement();
  bool open_element();
  bool close_element();
  void type_clause();

  Definitions& defs_;
  StatementReader& reader_;
  std::string statement_;
  WordScanner scanner_;
  std::unique_ptr<dict_element> current_;
  std::optional<std::string> initial_;  // resolved value of the current element
  bool errors_ = false;
  bool ended_ = false;
};

int DictParser::run() {
  defs_.dict_anchor.clear();
  write_start_banner(kDictBanner);
  bool stop = false;
  while (!stop && !ended_) {
    const StatementReader::Status status = reader_.next(statement_);
    if (status == StatementReader::kEnd) break;
    if (status == StatementReader::kTooLong) {
      PRINT('e', "pdc2003", "Statement ending on line %d exceeds %zu characters\n",
            reader_.line(), kStatementMax);
      errors_ = stop = true;
      break;
    }
    stop = !statement();
  }
  if (!stop && current_) stop = !close_element();
  if (stop) errors_ = true;
  reader_.end_location();
  write_end_banner(kDictBanner);
  if (errors_) PRINT('e', "pdc2205", "Parsing ended with errors\n");
  if (trace_all) {
    for (const auto& e : defs_.dict_anchor) {
      PRINT('t', "pdc2210", "Name = %s, Type = %d, len = %d, Initial = %s.\n", e->name.c_str(),
            e->numeric, e->length, e->initial ? e->initial->c_str() : "");
    }
  }
  return errors_ ? 1 : 0;
}

// Handles one statement; false when the parse must stop.
bool DictParser::statement() {
  scanner_.reset(/*keep_parens=*/true);
  const int consumed = scanner_.next();
  if (consumed == 0) return true;
  if (consumed < 0) {
    PRINT('e', "pdc2010", "Parsing failed : %s\n", scanner_.message.c_str());
    return false;
  }
  const std::string keyword = scanner_.parse_word.str();
  const int code = lookup_two_spellings(keyword, kDictKeywords, std::size(kDictKeywords));
  if (code == 0) {
    PRINT('e', "pdc2015", "Unknown keyword (%s)\n", keyword.c_str());
    return false;
  }
  if (!current_ && code != kName && code != kEnd) {
    PRINT('e', "pdc2020", "First word must be 'name'\n");
    return false;
  }
  switch (code) {
    case kName:
      if (current_ && !close_element()) return false;
      return open_element();
    case kType:
      type_clause();
      if (scanner_.failed) {
        PRINT('e', "pdc2010", "Parsing failed : %s\n", scanner_.message.c_str());
        return false;
      }
      return true;
    case kInitial:
      initial_ = resolve_initial(scanner_.rest());
      return true;
    case kNumber:
      current_->numeric = 2;
      return true;
    default:  // kEnd
      ended_ = true;
      return !current_ || close_element();
  }
}

bool DictParser::open_element() {
  current_ = std::make_unique<dict_element>();
  initial_.reset();
  const int consumed = scanner_.next();
  if (consumed < 0) {
    PRINT('e', "pdc2010", "Parsing failed : %s\n", scanner_.message.c_str());
    return false;
  }
  if (consumed == 0) return true;  // reported when the element closes
  const std::string name = scanner_.parse_word.str();
  if (name.size() > kDictNameMax) {
    PRINT('e', "pdc2100", "Dictionary element name is exceeds 29 characters\n");
    return false;
  }
  if (defs_.find_dict_element(name)) {
    PRINT('e', "pdc2105", "Name previously used\n");
    return false;
  }
  current_->name = name;
  return true;
}

void DictParser::type_clause() {
  if (current_->typed) {
    PRINT('e', "pdc2130", "Duplicate data type\n");
    errors_ = true;
    return;
  }
  if (scanner_.next() <= 0) {
    if (scanner_.failed) return;
    PRINT('e', "pdc2145", "Invalid data type\n");
    errors_ = true;
    return;
  }
  const std::string type = scanner_.parse_word.str();
  if (is_two_spelling(type, "char")) {
    std::optional<int32_t> length;
    if (scanner_.next() > 0 && scanner_.parse_word.text == "(" && scanner_.next() > 0)
      length = decimal_value(scanner_.parse_word.text);
    if (scanner_.failed) return;
    if (!length || *length < 0) {
      PRINT('e', "pdc2140", "CHAR requires a length in parentheses\n");
      errors_ = true;
      return;
    }
    if (*length > kMaxColumnLength) {
      PRINT('e', "pdc2135", "ERR Length of %d exceeds maximum(%d)\n", *length, kMaxColumnLength);
      errors_ = true;
      return;
    }
    current_->length = static_cast<int16_t>(*length);
  } else if (is_two_spelling(type, "integer") || is_two_spelling(type, "int64") ||
             is_two_spelling(type, "float")) {
    current_->numeric = 2;
    current_->length = kNumericLength;
  } else {
    PRINT('e', "pdc2145", "Invalid data type\n");
    errors_ = true;
    return;
  }
  current_->typed = 1;
}

// Checks the element being built and links it; false when the parse must stop.
bool DictParser::close_element() {
  std::unique_ptr<dict_element> element = std::move(current_);
  if (element->name.empty()) {
    PRINT('e', "pdc2110", "No  name\n");
    return false;
  }
  if (!element->typed) {
    PRINT('e', "pdc2115", "No data type\n");
    return false;
  }
  if (element->length == 0) {
    PRINT('e', "pdc2120", "No Length specified\n");
    return false;
  }
  if (initial_) element->initial = format_initial(*element, *initial_);
  else PRINT('i', "pdc2125", "No Initial value, using default\n");
  initial_.reset();
  defs_.dict_anchor.push_back(std::move(element));
  return true;
}

int parse_dict_from(Definitions& defs, StatementReader& reader) {
  DictParser parser(defs, reader);
  return parser.run();
}

}  // namespace

int test_dict_word(const char* text, int length) {
  return lookup_two_spellings(std::string_view(text, static_cast<std::size_t>(length)), kDictKeywords,
                              std::size(kDictKeywords));
}

int parse_dict(Definitions& defs) {
  if (!stder) init_PRINT();
  std::string path;
  FilePtr file = u_openInputFile("dict", &path);
  if (!file) return 1;
  StatementReader reader(file.get(), {"pdc2005"}, path);
  return parse_dict_from(defs, reader);
}

int parse_dict_text(Definitions& defs, std::string_view text) {
  StatementReader reader(text, {"pdc2005"});
  return parse_dict_from(defs, reader);
}

std::vector<std::string> dict_keywords() {
  std::vector<std::string> words;
  for (const KeywordSpelling& k : kDictKeywords) words.emplace_back(k.word);
  return words;
}

}  // namespace qrx
