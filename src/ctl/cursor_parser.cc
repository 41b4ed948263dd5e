// COLLECT.CTL: cursor blocks, their value rules and statement rules, the
// model INSERT, the block checks and the generated SELECT.

#include "ctl/cursor_parser.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

#include "base/clock.h"
#include "base/control_files.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "base/settings.h"
#include "base/text.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "ctl/cursor_clauses.h"
#include "ctl/decode_parser.h"
#include "ctl/load_parser.h"
#include "ctl/math_parser.h"
#include "ctl/parse_common.h"
#include "ctl/script_exit.h"
#include "ctl/statement_reader.h"
#include "ctl/versions.h"
#include "ctl/word_scanner.h"

namespace qrx {

columns* column_named(curs& c, std::string_view name) {
  for (auto& col : c.cols)
    if (col->name == name) return col.get();
  return nullptr;
}

namespace {

enum Code {
  kHistory = 1, kInsertWhere = 2, kInsert = 3, kCursor = 4, kInsertSelect = 5,
  kSaturdayStart = 6, kSaturdayEnd = 7, kSundayStart = 8, kSundayEnd = 9, kMonFriStart = 10,
  kMonFriEnd = 11, kInterval = 12, kHold = 13, kLimit = 14, kTime = 15, kDemand = 16, kClass = 17,
  kStale = 18, kGoHome = 19, kTableName = 20, kShowCursor = 21, kObjid = 22, kSet = 23,
  kUuidbase = 24, kUuidpavc = 25, kUuidpcvc = 27, kRpcVersion = 28, kEnd = 29, kVirtual = 30,
  kSamples = 31, kLoad = 32, kEmpty = 33, kPreCursor = 34, kIterate = 35, kInList = 36, kBase = 37,
  kMath = 38, kAgeTo = 39, kDecode = 40, kShowRow = 41, kFetchExit = 42, kScript = 43,
  kColumnExit = 44, kOnce = 45, kStartAfter = 46, kStopAfter = 47, kNoSql = 48,
  kIterateWhere = 49, kDummyLastRow = 50, kConditionalDummyLastRow = 51, kSetLen = 52,
  kTrace = 53, kTraced = 54, kTracem = 55, kTraceAll = 56, kIf = 57, kElse = 58, kEndif = 59,
};

struct Msg {
  const char* id = nullptr;
  const char* text = nullptr;
};

// How a keyword's value words and statement are handled.
enum class Rule : uint8_t {
  kBlock,       // cursor NAME
  kEnd,         // end
  kFlag,        // sets a 16-bit field to 1
  kTraceFlag,   // sets a trace field and switches tracing on
  kTraceAll,    // switches all tracing on
  kHold,        // hold "Y"
  kNumber,      // decimal value with length, duplicate and range checks
  kWindow,      // HHMM day-window start or end
  kName,        // short name word (age_to)
  kIdentifier,  // text up to the next blank (uuids)
  kTableName,   // word, replacing an earlier one
  kFetchExit,   // exit name up to the next blank
  kInsert,      // model INSERT
  kText,        // whole rest of the statement, once
  kLoad,        // rest of the statement appended to the load texts
  kClause,      // rest of the statement kept for its own parser
  kIf, kElse, kEndif,
};

struct CursKeyword {
  const char* word;
  int code;
  Rule rule;
  uint16_t curs::*flag = nullptr;
  int32_t curs::*number = nullptr;
  std::string curs::*text = nullptr;
  std::size_t longest = 0;
  Msg duplicate;  // no id: no duplicate check
  Msg length;
  int day = 0;
  bool window_end = false;
};

constexpr CursKeyword flag(const char* w, int code, uint16_t curs::*f) {
  return {w, code, Rule::kFlag, f, nullptr, nullptr, 0, {}, {}, 0, false};
}
constexpr CursKeyword trace_flag(const char* w, int code, uint16_t curs::*f) {
  return {w, code, Rule::kTraceFlag, f, nullptr, nullptr, 0, {}, {}, 0, false};
}
constexpr CursKeyword number(const char* w, int code, int32_t curs::*n, std::size_t longest,
                             Msg dup, Msg len) {
  return {w, code, Rule::kNumber, nullptr, n, nullptr, longest, dup, len, 0, false};
}
constexpr CursKeyword text_rule(const char* w, int code, Rule rule, std::string curs::*t,
                                std::size_t longest, Msg dup, Msg len = {}) {
  return {w, code, rule, nullptr, nullptr, t, longest, dup, len, 0, false};
}
constexpr CursKeyword window(const char* w, int code, int day, bool end, Msg dup, Msg len) {
  return {w, code, Rule::kWindow, nullptr, nullptr, nullptr, 4, dup, len, day, end};
}
constexpr CursKeyword simple(const char* w, int code, Rule rule) {
  return {w, code, rule, nullptr, nullptr, nullptr, 0, {}, {}, 0, false};
}

const CursKeyword kKeywords[] = {
    flag("history", kHistory, &curs::history),
    text_rule("insert_where", kInsertWhere, Rule::kText, &curs::insert_where, 0,
              {"pcc0495", "Duplicate insert_where entry\n"}),
    simple("insert", kInsert, Rule::kInsert),
    simple("cursor", kCursor, Rule::kBlock),
    text_rule("insert_select", kInsertSelect, Rule::kText, &curs::insert_select, 0,
              {"pcc0500", "Duplicate insert_select entry\n"}),
    window("saturday_start", kSaturdayStart, kSaturday, false,
           {"pcc0550", "Duplicate saturday_start specification\n"},
           {"pcc0555", "Incorrect length for saturday_start (4)\n"}),
    window("saturday_end", kSaturdayEnd, kSaturday, true,
           {"pcc0560", "Duplicate saturday_end specification\n"},
           {"pcc0565", "Incorrect length for saturday_end (4)\n"}),
    window("sunday_start", kSundayStart, kSunday, false,
           {"pcc0530", "Duplicate sunday_start specification\n"},
           {"pcc0535", "Incorrect length for sunday_start (4)\n"}),
    window("sunday_end", kSundayEnd, kSunday, true,
           {"pcc0540", "Duplicate sunday_end specification\n"},
           {"pcc0545", "Incorrect length for sunday_end (4)\n"}),
    window("mon_fri_start", kMonFriStart, kMonFri, false,
           {"pcc0510", "Duplicate mon_fri_start specification\n"},
           {"pcc0515", "Incorrect length for mon_fri_start (4)\n"}),
    window("mon_fri_end", kMonFriEnd, kMonFri, true,
           {"pcc0520", "Duplicate mon_fri_end specification\n"},
           {"pcc0525", "Incorrect length for mon_fri_end (4)\n"}),
    number("interval", kInterval, &curs::interval, 6, {"pcc0560", "Duplicate interval\n"},
           {"pcc0565", "Invalid interval length (5)\n"}),
    simple("hold", kHold, Rule::kHold),
    number("limit", kLimit, &curs::limit, 5, {"pcc0620", "Duplicate Limit\n"},
           {"pcc0625", "Invalid Limit length (6)\n"}),
    number("time", kTime, &curs::time_limit, 4, {"pcc0680", "Duplicate Time Limit\n"},
           {"pcc0685", "Invalid Time Limit length (5)\n"}),
    flag("demand", kDemand, &curs::demand),
    number("class", kClass, &curs::class_, 4, {"pcc0690", "Duplicate Class Specified\n"},
           {"pcc0695", "Invalid Class length (5)\n"}),
    number("stale", kStale, &curs::stale, 6, {"pcc0640", "Duplicate Stale time\n"},
           {"pcc0645", "Invalid interval length (5)\n"}),
    number("go_home", kGoHome, nullptr, 4, {}, {"pcc0630", "Invalid Go_home length (5)\n"}),
    text_rule("table_name", kTableName, Rule::kTableName, &curs::table_name, 0, {}),
    flag("show_cursor", kShowCursor, &curs::show_cursor),
    number("objid", kObjid, &curs::objid, 6, {"pcc0610", "Duplicate objid\n"},
           {"pcc0615", "Invalid set length (7)\n"}),
    number("set", kSet, &curs::set, 4, {"pcc0590", "Duplicate set\n"},
           {"pcc0595", "Invalid Set length (5)\n"}),
    text_rule("uuidbase", kUuidbase, Rule::kIdentifier, &curs::uuidbase, 36,
              {"pcc0650", "Duplicate Uuidbase\n"}, {"pcc0655", "Invalid Uuidbase length (36)\n"}),
    text_rule("uuidpavc", kUuidpavc, Rule::kIdentifier, &curs::uuidpavc, 36,
              {"pcc0660", "Duplicate Uuidpavc\n"}, {"pcc0665", "Invalid Uuidpavc length (36)\n"}),
    text_rule("uuidpcvc", kUuidpcvc, Rule::kIdentifier, &curs::uuidpcvc, 36,
              {"pcc0670", "Duplicate Uuidpcvc\n"}, {"pcc0675", "Invalid Uuidpcvc length (36)\n"}),
    number("rpc_version", kRpcVersion, &curs::rpc_version, 4,
           {"pcc0600", "Duplicate rpc_version\n"}, {"pcc0605", "Invalid Rpc_version length (5)\n"}),
    simple("end", kEnd, Rule::kEnd),
    flag("virtual", kVirtual, &curs::is_virtual),
    number("samples", kSamples, &curs::samples, 4, {}, {"pcc0635", "Invalid Sample (5)\n"}),
    simple("load", kLoad, Rule::kLoad),
    flag("empty", kEmpty, &curs::empty),
    simple("pre_cursor", kPreCursor, Rule::kClause),
    simple("iterate", kIterate, Rule::kClause),
    simple("in_list", kInList, Rule::kClause),
    simple("base", kBase, Rule::kClause),
    simple("math", kMath, Rule::kClause),
    text_rule("age_to", kAgeTo, Rule::kName, &curs::age_to, kCursNameMax,
              {"pcc0705", "Duplicate age_to entry\n"}, {"pcc0710", "Excessive length on age_to name\n"}),
    simple("decode", kDecode, Rule::kClause),
    flag("show_row", kShowRow, &curs::show_row),
    simple("fetch_exit", kFetchExit, Rule::kFetchExit),
    text_rule("script", kScript, Rule::kText, &curs::script, 0, {"pcc0490", "Duplicate script entry\n"}),
    simple("column_exit", kColumnExit, Rule::kClause),
    flag("once", kOnce, &curs::once),
    number("start_after", kStartAfter, &curs::start_after, 3,
           {"pcc0570", "Duplicate start_after\n"}, {"pcc0575", "Invalid start_after (4)\n"}),
    number("stop_after", kStopAfter, &curs::stop_after, 3, {"pcc0580", "Duplicate stop_after\n"},
           {"pcc0585", "Invalid stop_after (4)\n"}),
    flag("no_sql", kNoSql, &curs::no_sql),
    simple("iterate_where", kIterateWhere, Rule::kClause),
    flag("dummy_last_row", kDummyLastRow, &curs::dummy_last_row),
    flag("conditional_dummy_last_row", kConditionalDummyLastRow, &curs::conditional_dummy_last_row),
    simple("set_len", kSetLen, Rule::kClause),
    trace_flag("trace", kTrace, &curs::trace),
    trace_flag("traced", kTraced, &curs::traced),
    trace_flag("tracem", kTracem, &curs::tracem),
    simple("trace_all", kTraceAll, Rule::kTraceAll),
    simple("if", kIf, Rule::kIf),
    simple("else", kElse, Rule::kElse),
    simple("endif", kEndif, Rule::kEndif),
};

constexpr int kClassMax = 50;
constexpr std::size_t kKeywordMax = 59;  // characters of a word compared with the table
constexpr int32_t kDefaultInterval = 10;
constexpr int32_t kDefaultRowLimit = 1024;

const CursKeyword* find_keyword(int code) {
  for (const auto& k : kKeywords)
    if (k.code == code) return &k;
  return nullptr;
}

constexpr ParseBanner kCursBanner = {
    {"pcc0300", "pcc0301", "pcc0302"}, "-- Starting parse of COLLECT.CTL -- Time = %s\n",
    {"pcc0740", "pcc0745", "pcc0750"}, "--  Collector Parsing ended at %s\n"};

void report(const Msg& m) { PRINT('e', m.id, "%s", m.text); }

// Virtual variables that a generated SELECT never fetches.
bool is_virtual_variable(std::string_view name) {
  static constexpr const char* kNames[] = {"%me", "%rowno", "%machine", "%now_time", "%now_secs",
                                           "%sampleno", "%machine_me", "%execution_time",
                                           "%current_interval"};
  if (name.starts_with("%sqlcode_") || name.starts_with("%SQLCODE_")) return true;
  for (const char* n : kNames)
    if (is_two_spelling(name, n)) return true;
  return false;
}

// Prefix `p` (upper case) at the start of `s`, in upper or lower case.
bool take_prefix(std::string_view& s, std::string_view p) {
  if (!is_two_spelling(s.substr(0, p.size()), p)) return false;
  s.remove_prefix(p.size());
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The leading decimal number of `s` (0 when none).
int32_t leading_number(std::string_view s) {
  int64_t v = 0;
  for (char c : s) {
    if (!is_digit(c)) break;
    v = std::min<int64_t>(v * 10 + (c - '0'), INT32_MAX);
  }
  return static_cast<int32_t>(v);
}

void take_occurrence(std::string_view s, columns& col) {
  if (!s.empty() && is_digit(s[0])) col.occurrence = static_cast<uint16_t>(std::max(1, std::min(leading_number(s), 65535)));
}

bool take_send_conversion(std::string_view& s, columns& col) {
  static constexpr std::pair<const char*, SendConversion> kPrefixes[] = {
      {"int64!", kSendInt64}, {"int!", kSendInt}, {"float!", kSendFloat}, {"ts!", kSendTimestamp},
      {"ns!", kSendNone}};
  for (const auto& [prefix, conversion] : kPrefixes) {
    if (take_prefix(s, prefix)) {
      col.send_conversion = conversion;
      return true;
    }
  }
  return false;
}

bool take_function(std::string_view& s, columns& col) {
  static constexpr std::pair<const char*, ColumnFunction> kPrefixes[] = {
      {"avg!", kFnAvg}, {"sum!", kFnSum},     {"min!", kFnMin},       {"max!", kFnMax},
      {"wavg!", kFnWavg}, {"trend!", kFnTrend}, {"hw!", kFnHighWater}, {"lw!", kFnLowWater},
      {"count!", kFnCount}};
  for (const auto& [prefix, function] : kPrefixes) {
    if (take_prefix(s, prefix)) {
      col.function = function;
      return true;
    }
  }
  return false;
}

}  // namespace

int test_word(const char* text, int length) {
  if (length <= 0) return 0;
  const std::string word = u_strlower(
      std::string_view(text, std::min<std::size_t>(static_cast<std::size_t>(length), kKeywordMax)));
  for (const auto& k : kKeywords)
    if (word == k.word) return k.code;
  return 0;
}

std::span<const known_exit> known_exits() {
  static constexpr known_exit kExits[] = {
      {1, 1, "fetchx1", 0, 0}, {1, 2, "fetchx2", 0, 0}, {1, 3, "fetchx3", 0, 0},
      {1, 4, "fetchx4", 0, 0}, {1, 5, "fetchx5", 0, 0}, {1, 9, "fetchxi1", 7, 0},
      {1, 9, "fetchxi", 0, 0}, {1, 1, "fetchxt", 0, 0}};
  return kExits;
}

int add_column(std::string_view word, curs& c) {
  auto col = std::make_unique<columns>();
  const std::string whole(word);
  if (word.find('.') != std::string_view::npos) col->qualified = 1;
  std::string_view s = word;
  take_occurrence(s, *col);
  if (take_send_conversion(s, *col)) take_occurrence(s, *col);
  const bool function = take_function(s, *col);
  const bool conversion = take_send_conversion(s, *col);
  if (function || conversion) take_occurrence(s, *col);
  if (col->function != kFnNone && col->function != kFnHighWater && col->function != kFnLowWater)
    c.has_col_functions = 1;
  if (col->function == kFnMin || col->function == kFnMax) c.has_min_max = 1;
  if (const std::size_t caret = s.find('^'); caret != std::string_view::npos) {
    col->output_length = static_cast<uint16_t>(std::min(leading_number(s.substr(caret + 1)), 65535));
    s = s.substr(0, caret);
  }
  if (s.size() > kColNameMax) {
    PRINT('w', "pcc0025", "Warning, truncating col_name %s\n", whole.c_str());
    s = s.substr(0, kColNameMax);
  }
  col->name.assign(s);
  c.cols.push_back(std::move(col));
  return 0;
}

int compact_insert(curs& c) {
  if (c.cols.empty()) {
    PRINT('w', "cev1820", "No host variables in INSERT\n");
    return 1;
  }
  std::string& text = c.insert;
  // Walk back to the "(" that opens the last parenthesised group.
  std::size_t open = std::string::npos;
  int depth = 0;
  for (std::size_t i = text.size(); i-- > 0;) {
    if (text[i] == ')') {
      ++depth;
    } else if (text[i] == '(') {
      if (--depth < 0) break;
      if (depth == 0) {
        open = i;
        break;
      }
    }
  }
  if (open == std::string::npos || open == 0) {
    PRINT('w', "cev1825", "Insert parentheses dont match-up\n");
    return 1;
  }
  text.resize(open + 1);
  for (std::size_t i = 0; i < c.cols.size(); ++i) text += "?,";
  text.back() = ')';

  int status = 0;
  c.host_cols.clear();
  c.insert_columns = 0;
  const std::size_t first = text.find('(');
  const std::size_t close = text.find(')', first);
  std::string_view list = std::string_view(text).substr(first + 1, close - first - 1);
  while (!list.empty()) {
    const std::size_t b = list.find_first_not_of(" ,");
    if (b == std::string_view::npos) break;
    list.remove_prefix(b);
    const std::size_t e = std::min(list.find_first_of(" ,"), list.size());
    const std::string name(list.substr(0, e));
    list.remove_prefix(e);
    if (name.size() > kColNameMax) {
      PRINT('e', "pcc0476", "Insert column name too long : %s\n", name.c_str());
      status = 1;
      continue;
    }
    c.host_cols.push_back({name});
    ++c.insert_columns;
  }
  if (c.insert_columns != c.host_variables) {
    PRINT('e', "pcc0470", "On INSERT, num of cols (%d) is not num HVs (%d)\n", c.insert_columns,
          c.host_variables);
    for (std::size_t i = 0; i < c.host_cols.size(); ++i)
      PRINT('e', "pcc0475", "Col #%zu = %s\n", i, c.host_cols[i].name.c_str());
    status = 1;
  }
  return status;
}

int set_operate(WindowList& chain, int32_t start, int32_t end) {
  chain.push_back({start, end < start ? end + kSecondsPerDay : end});
  return 0;
}

void set_col_ordinals(curs& c) {
  for (std::size_t i = 0; i < c.cols.size(); ++i) c.cols[i]->ordinal = static_cast<uint16_t>(i + 1);
}

int edit_cursor_block(const Definitions& defs, curs& c) {
  int failed = 0;
  auto fail = [&failed](const char* id, const char* text) {
    PRINT('e', id, "%s", text);
    failed = 1;
  };
  set_col_ordinals(c);
  c.status.assign(16, ' ');
  const char* name = c.name.c_str();
  if (c.name.empty()) fail("pcc0327", "No cursor name\n");
  if (c.stale && !c.demand) fail("pcc0340", "Error - Stale only valid with demand cursor\n");
  if (!c.demand && !c.is_virtual && !c.interval) {
    c.interval = kDefaultInterval;
    PRINT('w', "pcc0345", "Using default interval of 10 seconds for cursor %s\n", name);
  }
  if (c.dummy_last_row && c.conditional_dummy_last_row)
    fail("pcc0350", "Conditional_dummy_last_row and dummy_last_row are exclusive\n");
  if (c.cols.empty()) fail("pcc0355", "No local columns to fetch for insert\n");
  if (c.insert.empty()) {
    failed = 1;
    if (*name) PRINT('e', "pcc0360", "Cursor (%s). No model INSERT statement\n", name);
    else PRINT('e', "pcc0360", "No model INSERT statement\n");
  }
  if (c.table_name.empty()) {
    failed = 1;
    if (*name) PRINT('e', "pcc0365", "Cursor (%s). No table name found\n", name);
    else PRINT('e', "pcc0365", "No table name found\n");
  }
  if (!c.demand && !c.is_virtual && !c.limit && !c.time_limit) {
    c.limit = kDefaultRowLimit;
    if (auto value = u_getenv("COLL_XPA_LIMIT", 0, nullptr)) {
      const int32_t rows = decimal_value(strip(*value, " ")).value_or(0);
      c.limit = rows < 1 ? kDefaultRowLimit : rows;
      PRINT('i', "pcc0371", "Warning, Cursor (%s) No cursor row limit, using (%d) rows\n", name,
            c.limit);
    } else if (*name) {
      PRINT('w', "pcc0370", "Warning, Cursor (%s) No cursor row limit, using default 1024 rows\n",
            name);
    } else {
      PRINT('w', "pcc0370", "Warning, No cursor row limit, using default 1024 rows\n");
    }
  }
  for (auto& chain : c.windows)
    if (chain.empty()) chain.push_back(full_day);
  if (c.empty && c.once) fail("pcc0390", "Empty and Once are incompatable\n");
  if (c.no_sql) {
    if (!c.insert_select.empty()) fail("pcc0400", "NO_SQL and INSERT_SELECT are incompatable\n");
    if (c.is_virtual) fail("pcc0405", "NO_SQL and VIRTUAL are incompatable\n");
    const bool has_base = std::any_of(c.clauses.begin(), c.clauses.end(),
                                      [](const clause_text& t) { return t.code == kBase; });
    if (has_base) fail("pcc0410", "NO_SQL and BASE are incompatable\n");
  }
  const auto has_clause = [&c](int code) {
    return std::any_of(c.clauses.begin(), c.clauses.end(),
                       [code](const clause_text& t) { return t.code == code; });
  };
  if (has_clause(kIterateWhere) && !has_clause(kIterate))
    fail("pcc0415", "ITERATE_WHERE requires ITERATE\n");
  if (c.fetch_exit && c.fetch_exit->kind == 1) {
    if (c.script.empty() || c.insert_select.empty()) {
      PRINT('e', "pcc0440", "Fetch exit %s requires 'script' and 'select'\n",
            c.fetch_exit->name.c_str());
      failed = 1;
    } else if (parse_script_exit(defs, c) != 0) {
      failed = 1;
    }
  }
  if (c.is_virtual && c.has_if) {
    PRINT('e', "pcc0443", "A virtual cursor (%s) can't be conditional\n", name);
    failed = 1;
  }
  return failed;
}

int set_selects(curs& c) {
  if (!c.insert_select.empty()) {
    c.sql_text = c.insert_select;
    return 0;
  }
  std::string sql = "SELECT ";
  std::vector<std::string_view> written;
  for (const auto& col : c.cols) {
    if (is_virtual_variable(col->name)) continue;
    if (find_math(c, col->name)) continue;  // computed, not fetched
    if (std::find(written.begin(), written.end(), col->name) != written.end()) continue;
    if (!written.empty()) sql += ',';
    sql += col->name;
    written.push_back(col->name);
  }
  if (written.empty()) {
    PRINT('E', "PCC0020", "Error - No columns to fetch\n");
    return 1;
  }
  sql += " FROM " + c.table_name;
  if (!c.insert_where.empty()) sql += " WHERE " + c.insert_where;
  c.sql_text = std::move(sql);
  return 0;
}

namespace {

class CursParser {
 public:
  CursParser(Definitions& defs, StatementReader& reader)
      : defs_(defs), reader_(reader), scanner_(statement_) {}

  int run();

 private:
  bool statement();
  bool lacks_semicolon(const CursKeyword& k);
  bool open_cursor();
  bool close_cursor();
  bool clause(const CursKeyword& k);
  bool value_word(const CursKeyword& k, int word_no);
  bool number_value(const CursKeyword& k);
  bool window_value(const CursKeyword& k);
  bool insert_word(int word_no);
  bool fetch_exit_value();
  std::string raw_to_blank();
  void statement_rule(const CursKeyword& k, std::string text);
  bool parse_if();
  bool parse_else();
  bool parse_endif();
  std::vector<block_item>& current_items();
  bool edit_curs_version_set(std::unique_ptr<curs> root);
  bool replay(const block_statement& st, bool in_section, bool after_section,
              std::vector<int>& branch_codes);

  Definitions& defs_;
  StatementReader& reader_;
  std::string statement_;
  WordScanner scanner_;
  std::unique_ptr<curs> cur_;
  int depth_ = 0;  // open conditional sections of the current block
  // The current block's statements and sections, kept to build its versions.
  std::vector<block_statement> block_;
  std::vector<block_item> items_;
  std::vector<IF_NODE*> open_;   // open sections, innermost last
  std::vector<bool> in_else_;    // per open section: its ELSE branch is being read
  bool has_sections_ = false;
  bool errors_ = false;
  bool ended_ = false;
  bool seen_block_ = false;
};

int CursParser::run() {
  defs_.del_curs();
  write_start_banner(kCursBanner);
  bool stop = false;
  while (!stop && !ended_) {
    const StatementReader::Status status = reader_.next(statement_);
    if (status == StatementReader::kEnd) break;
    if (status == StatementReader::kTooLong) {
      PRINT('e', "pcc0303", "Statement ending on line %d exceeds %zu characters\n",
            reader_.line(), kStatementMax);
      stop = true;
      break;
    }
    stop = !statement();
  }
  if (stop) errors_ = true;
  if (!ended_ && !errors_) {
    PRINT('e', "pcc0730", "Missing end statement\n");
    errors_ = true;
  }
  reader_.end_location();
  write_end_banner(kCursBanner);
  if (errors_) {
    PRINT('e', "pcc0755", "Parsing ended with errors\n");
    return 1;
  }
  for (auto& c : defs_.cur_anchor) {
    c->collector = defs_.collector_at;
    if (trace_all) c->trace = 1;
  }
  return 0;
}

// Handles one statement; false when the parse must stop.
bool CursParser::statement() {
  scanner_.reset();
  const int consumed = scanner_.next();
  if (consumed == 0) return true;
  if (consumed < 0) {
    PRINT('e', "pcc0310", "Parsing failed : %s\n", scanner_.message.c_str());
    return false;
  }
  const ParseWord first = scanner_.parse_word;
  const std::string word = first.str();
  const int code = test_word(word.data(), static_cast<int>(word.size()));
  if (code == 0) {
    PRINT('e', "pcc0315", "Unknown keyword (%s)\n", word.c_str());
    return false;
  }
  if (!seen_block_ && !is_two_spelling(word, "cursor")) {
    PRINT('e', "pcc0320", "First word must be 'cursor'\n");
    return false;
  }
  const CursKeyword* k = find_keyword(code);
  if (!k) {
    PRINT('e', "pcc0505", "Collector Parsing error\n");
    return false;
  }
  if (lacks_semicolon(*k)) return false;
  if (k->rule == Rule::kBlock || k->rule == Rule::kEnd) {
    if (cur_ && !close_cursor()) return false;
    if (k->rule == Rule::kEnd) {
      reader_.set_block("");
      ended_ = true;
      return true;
    }
    seen_block_ = true;
    return open_cursor();
  }
  if (cur_) cur_->source.append(statement_).push_back('\n');
  if (k->rule == Rule::kIf) return parse_if();
  if (k->rule == Rule::kElse) return parse_else();
  if (k->rule == Rule::kEndif) return parse_endif();
  current_items().push_back({static_cast<int>(block_.size()), nullptr});
  block_.push_back({statement_, reader_.location()});
  if (!clause(*k)) return false;
  if (scanner_.parens != 0) {
    PRINT('e', "pcc0725", "Parentheses do not balance\n");
    return false;
  }
  return true;
}

// True, after logging it, when a later line of the statement begins with a
// keyword that cannot be part of it: the statement lacks its ';' and would
// otherwise swallow the next one and fail with a misleading message. SQL and
// script texts may hold most keywords at the start of a line ("limit",
// "end"), never "cursor" or "insert" (load texts not even "cursor");
// conditions and clauses are left to their own parsers.
bool CursParser::lacks_semicolon(const CursKeyword& k) {
  switch (k.rule) {
    case Rule::kClause:
    case Rule::kIf:
    case Rule::kElse:
    case Rule::kEndif:
      return false;
    default:
      break;
  }
  const bool text = k.rule == Rule::kText || k.rule == Rule::kInsert;
  for (const StatementReader::LaterLine& later : reader_.later_lines()) {
    if (later.offset >= statement_.size()) break;
    const std::size_t end = std::min(statement_.find_first_of(" \t(", later.offset), statement_.size());
    const std::string word = statement_.substr(later.offset, end - later.offset);
    const int code = test_word(word.data(), static_cast<int>(word.size()));
    if (code == 0) continue;
    if (text && code != kCursor && code != kInsert) continue;
    if (k.rule == Rule::kLoad && code != kCursor) continue;  // load texts may be INSERTs
    PRINT('e', "pcc0306", "Missing ';' after the %s statement on line %d: line %d begins with %s\n",
          k.word, reader_.first_line(), later.line, word.c_str());
    return true;
  }
  return false;
}

bool CursParser::open_cursor() {
  cur_ = std::make_unique<curs>();
  cur_->owning_set = &defs_;
  depth_ = 0;
  block_.clear();
  items_.clear();
  open_.clear();
  in_else_.clear();
  has_sections_ = false;
  const int consumed = scanner_.next();
  if (consumed < 0) {
    PRINT('e', "pcc0460", "Parsing failed : %s\n", scanner_.message.c_str());
    return false;
  }
  if (consumed == 0) {
    PRINT('e', "pcc0445", "No Cursor name supplied\n");
    return false;
  }
  const std::string name = scanner_.parse_word.str();
  if (name.size() > kCursNameMax) {
    PRINT('e', "pcc0450", "Cursor name exceeeds 8 characters\n");
    return false;
  }
  if (defs_.find_cursor(name)) {
    PRINT('e', "pcc0455", "Duplicate cursor name %s\n", name.c_str());
    return false;
  }
  cur_->name = name;
  reader_.set_block("cursor " + name);
  return true;
}

// Checks the finished cursor, builds its SELECT and links it; false when the
// parse must stop.
bool CursParser::close_cursor() {
  std::unique_ptr<curs> c = std::move(cur_);
  if (depth_ > 0) {
    PRINT('e', "PIF0100", "Cursor %s end encountered before expected ENDIF\n", c->name.c_str());
    return false;
  }
  for (int day = 0; day < kDays; ++day) {
    if (c->held_start[day] || c->held_end[day]) {
      PRINT('w', "pcc0380", "Cursor (%s) has a day-window start or end without its partner; ignored\n",
            c->name.c_str());
      c->held_start[day].reset();
      c->held_end[day].reset();
    }
  }
  if (has_sections_) return edit_curs_version_set(std::move(c));
  if (parse_cursor_clauses(*c) != 0) errors_ = true;
  if (edit_cursor_block(defs_, *c) != 0) return false;
  if (set_selects(*c) != 0) return false;
  defs_.add(std::move(c));
  return true;
}

// Reads the value words of a clause statement and applies its rules; false
// when the parse must stop.
bool CursParser::clause(const CursKeyword& k) {
  const std::size_t after_keyword = scanner_.this_start;
  const bool in_section = depth_ > 0 && k.rule != Rule::kIf && k.rule != Rule::kElse &&
                          k.rule != Rule::kEndif;
  bool statement_failed = false;
  int word_no = 1;
  for (;;) {
    const int consumed = scanner_.next();
    if (consumed == 0) break;
    if (consumed < 0) {
      PRINT('e', "pcc0460", "Parsing failed : %s\n", scanner_.message.c_str());
      return false;
    }
    ++word_no;
    if (in_section) continue;  // applied when the versions are built
    if (scanner_.parse_word.flags & kWordHostVar) {
      add_column(scanner_.parse_word.text, *cur_);
      ++cur_->host_variables;
    }
    if (!statement_failed && !value_word(k, word_no)) statement_failed = true;
  }
  if (statement_failed) errors_ = true;
  scanner_.this_start = after_keyword;
  std::string text = scanner_.rest();
  if (in_section) return true;
  statement_rule(k, std::move(text));
  return true;
}

// Applies the value rule of `k` to the word just scanned; false after an error.
bool CursParser::value_word(const CursKeyword& k, int word_no) {
  const ParseWord& w = scanner_.parse_word;
  switch (k.rule) {
    case Rule::kNumber:
      return number_value(k);
    case Rule::kWindow:
      return window_value(k);
    case Rule::kName:
      if (w.len > k.longest) {
        report(k.length);
        return false;
      }
      if (!(cur_.get()->*k.text).empty()) {
        report(k.duplicate);
        return false;
      }
      cur_.get()->*k.text = w.str();
      return true;
    case Rule::kIdentifier: {
      const std::string value = raw_to_blank();
      if (value.size() > k.longest) {
        report(k.length);
        return false;
      }
      if (!(cur_.get()->*k.text).empty()) {
        report(k.duplicate);
        return false;
      }
      cur_.get()->*k.text = value;
      return true;
    }
    case Rule::kTableName:
      cur_->table_name = w.str();
      return true;
    case Rule::kFetchExit:
      return fetch_exit_value();
    case Rule::kInsert:
      return insert_word(word_no);
    default:
      return true;
  }
}

bool CursParser::number_value(const CursKeyword& k) {
  const ParseWord& w = scanner_.parse_word;
  if (w.len > k.longest) {
    report(k.length);
    return false;
  }
  const std::optional<int32_t> value = decimal_value(w.text);
  if (!value) {
    PRINT('e', "pcc0506", "Invalid number (%s) for %s\n", w.str().c_str(), k.word);
    return false;
  }
  if (k.code == kGoHome) {
    defs_.go_home_time = relative_now(the_clock().now()) + *value;
    return true;
  }
  int32_t& field = cur_.get()->*k.number;
  if (k.duplicate.id && field != 0) {
    report(k.duplicate);
    return false;
  }
  if (k.code == kClass && (*value > kClassMax || *value < 0)) {
    PRINT('e', "pcc0700", "Excessive Class value\n");
    return false;
  }
  field = *value;
  return true;
}

bool CursParser::window_value(const CursKeyword& k) {
  const ParseWord& w = scanner_.parse_word;
  if (w.len != 4) {
    report(k.length);
    return false;
  }
  const std::optional<int32_t> hhmm = decimal_value(w.text);
  if (!hhmm || *hhmm < 0) {
    PRINT('e', "pcc0506", "Invalid number (%s) for %s\n", w.str().c_str(), k.word);
    return false;
  }
  const int32_t seconds = (*hhmm / 100) * 3600 + (*hhmm % 100) * 60;
  auto& mine = k.window_end ? cur_->held_end[k.day] : cur_->held_start[k.day];
  auto& partner = k.window_end ? cur_->held_start[k.day] : cur_->held_end[k.day];
  if (mine) {
    report(k.duplicate);
    return false;
  }
  mine = seconds;
  if (partner) {
    set_operate(cur_->windows[k.day], *cur_->held_start[k.day], *cur_->held_end[k.day]);
    mine.reset();
    partner.reset();
  }
  return true;
}

// The statement text from the current word's start to the next blank; the
// scan continues after it.
std::string CursParser::raw_to_blank() {
  const std::size_t b = scanner_.parse_word.position;
  std::size_t e = statement_.find(' ', b);
  if (e == std::string::npos) e = statement_.size();
  scanner_.this_start = e;
  return statement_.substr(b, e - b);
}

bool CursParser::fetch_exit_value() {
  if (cur_->fetch_exit) {
    PRINT('e', "pcc0480", "Duplicate fetch_exit entry\n");
    return false;
  }
  const std::string written = raw_to_blank();
  for (const known_exit& e : known_exits()) {
    const std::string_view name = e.name;
    if (written.size() < name.size() || strncasecmp(written.c_str(), e.name, name.size()) != 0)
      continue;
    fetch_ex copy{e.kind, e.routine, e.name, e.mode, e.mode_value};
    const std::string_view suffix = std::string_view(written).substr(name.size());
    if (!suffix.empty() && suffix[0] == 't') {
      copy.mode = 1;
      copy.mode_value = suffix.size() > 1 && is_digit(suffix[1])
                            ? static_cast<uint32_t>(leading_number(suffix.substr(1)))
                            : 30;
    } else if (!suffix.empty() && suffix[0] == 'p') {
      copy.mode = 2;
    }
    cur_->fetch_exit = copy;
    return true;
  }
  PRINT('e', "pcc0485", "Fetch exit routine not known\n");
  return false;
}

// The third word of an INSERT, or a plain word holding ".", names its table.
bool CursParser::insert_word(int word_no) {
  const ParseWord& w = scanner_.parse_word;
  if (w.flags & ~kWordQualified) return true;  // operators, literals, host variables
  const bool dotted = w.flags & kWordQualified;
  if (word_no != 3 && !dotted) return true;
  if (dotted && w.len <= 2) {
    PRINT('e', "pcc0715", "Invalid table name format\n");
    return false;
  }
  if (dotted && (w.text.front() == '.' || w.text.back() == '.')) {
    PRINT('e', "pcc0720", "Invalid table name format\n");
    return false;
  }
  cur_->insert_table = w.str();
  if (cur_->table_name.empty()) cur_->table_name = cur_->insert_table;
  return true;
}

void CursParser::statement_rule(const CursKeyword& k, std::string text) {
  curs& c = *cur_;
  switch (k.rule) {
    case Rule::kFlag:
      c.*k.flag = 1;
      break;
    case Rule::kTraceFlag:
      c.*k.flag = 1;
      trace_something = 1;
      break;
    case Rule::kTraceAll:
      trace_all = 1;
      trace_something = 1;
      break;
    case Rule::kHold:
      c.hold = 'Y';
      c.hold_active = 1;  // a hold the definition asks for outlives collection passes
      break;
    case Rule::kText:
      if (!(c.*k.text).empty()) {
        report(k.duplicate);
        errors_ = true;
        break;
      }
      if (k.code == kInsertSelect && text.find('[') != std::string::npos) c.insert_select_brackets = 1;
      c.*k.text = std::move(text);
      break;
    case Rule::kLoad:
      c.loads.push_back(std::move(text));
      break;
    case Rule::kClause:
      if (k.code == kDecode && parse_decode(c, text) != 0) errors_ = true;
      if (k.code == kIterateWhere && parse_iterate_where(c, text) != 0) errors_ = true;
      if (k.code == kMath && parse_math(c, text) != 0) errors_ = true;
      c.clauses.push_back({k.code, std::move(text), depth_, current_message_location()});
      break;
    case Rule::kInsert: {
      if (!c.insert.empty()) {
        PRINT('e', "pcc0465", "Duplicate INSERT entry\n");
        errors_ = true;
        break;
      }
      std::string whole = statement_;
      whole.erase(whole.find_last_not_of(' ') + 1);
      if (std::string_view after = strip(std::string_view(whole).substr(std::min<std::size_t>(7, whole.size())), " ");
          whole.starts_with("INSERT ") && after.starts_with("!")) {
        // The interface definition file supplies the statement and the
        // table; a path in the file name names no table.
        const std::string word(after.substr(0, after.find(' ')));
        if (c.table_name == c.insert_table) c.table_name.clear();
        c.insert_table.clear();
        if (parse_rqs(word, whole, c) != 0) {
          errors_ = true;
          break;
        }
      }
      c.insert = std::move(whole);
      if (compact_insert(c) != 0) errors_ = true;
      break;
    }
    default:
      break;
  }
}

std::vector<block_item>& CursParser::current_items() {
  if (open_.empty()) return items_;
  return in_else_.back() ? open_.back()->else_part : open_.back()->then_part;
}

// if CONDITION, else, endif: the section tree of the block. The statements
// in a section are applied when the versions are built.
bool CursParser::parse_if() {
  const std::string condition(strip(scanner_.rest(), " "));
  if (depth_ >= kSectionDepthMax) {
    PRINT('e', "PIF0130", "Current stack position: %i- exceeds stack size: %i\n", depth_ + 1,
          kSectionDepthMax);
    return false;
  }
  if (condition.empty() || !condition_compiles(defs_, condition)) {
    PRINT('e', "PIF0030", "Syntax error in conditional expression  for cursor %s\n",
          cur_->name.c_str());
    errors_ = true;
  }
  auto node = std::make_unique<IF_NODE>();
  node->condition = condition;
  node->location = reader_.location();
  node->parent = open_.empty() ? nullptr : open_.back();
  IF_NODE* made = node.get();
  current_items().push_back({-1, std::move(node)});
  open_.push_back(made);
  in_else_.push_back(false);
  ++depth_;
  has_sections_ = true;
  cur_->has_if = 1;
  return true;
}

bool CursParser::parse_else() {
  const char* name = cur_->name.c_str();
  if (open_.empty()) {
    PRINT('e', "PIF0050", "ELSE has no matching IF for cursor %s\n", name);
    errors_ = true;
  } else if (open_.back()->has_else) {
    PRINT('e', "PIF0055", "Second ELSE for one IF in cursor %s\n", name);
    errors_ = true;
  } else {
    open_.back()->has_else = true;
    in_else_.back() = true;
  }
  return true;
}

bool CursParser::parse_endif() {
  if (open_.empty()) {
    PRINT('e', "PIF0070", "ENDIF has no matching IF for cursor %s\n", cur_->name.c_str());
    errors_ = true;
    return true;
  }
  open_.pop_back();
  in_else_.pop_back();
  --depth_;
  return true;
}

// True when `k` sets one value (rather than adding to a list): after a
// section, such a statement leaves what a branch on the path set.
bool sets_one_value(const CursKeyword& k) {
  switch (k.rule) {
    case Rule::kText:
    case Rule::kName:
    case Rule::kIdentifier:
    case Rule::kTableName:
    case Rule::kNumber:
    case Rule::kInsert:
    case Rule::kFetchExit:
    case Rule::kWindow:
      return true;
    default:
      return false;
  }
}

// Applies one kept statement to the version being built; `branch_codes`
// collects the keywords of the section statements applied so far. False
// when the parse must stop.
bool CursParser::replay(const block_statement& st, bool in_section, bool after_section,
                        std::vector<int>& branch_codes) {
  statement_ = st.text;
  scanner_.reset();
  if (scanner_.next() <= 0) return true;
  const std::string word = scanner_.parse_word.str();
  const CursKeyword* k = find_keyword(test_word(word.data(), static_cast<int>(word.size())));
  if (!k) return true;
  if (after_section && sets_one_value(*k) &&
      std::find(branch_codes.begin(), branch_codes.end(), k->code) != branch_codes.end())
    return true;
  if (in_section) branch_codes.push_back(k->code);
  return clause(*k);
}

// Builds every version of a block with sections: the statements on each
// path through the sections, applied in written order to a record of its
// own. Statements are reported on the first time they are applied only.
// The slot takes the first version's contents.
bool CursParser::edit_curs_version_set(std::unique_ptr<curs> root) {
  // The statement that closed the block ("cursor NAME" or "end") is scanned
  // again afterwards, past its keyword, for the caller to go on with.
  const std::string closing = statement_;
  const auto rescan_closing = [this, &closing] {
    statement_ = closing;
    scanner_.reset();
    scanner_.next();
  };
  auto set = std::make_shared<version_set>();
  set->statements = std::move(block_);
  set->items = std::move(items_);
  const std::string where = reader_.location();
  if (!enumerate_versions(set->items, set->paths)) {
    PRINT('e', "PIF0135", "Cursor %s has more than %d versions\n", root->name.c_str(), kVersionsMax);
    return false;
  }
  // Top-level statements were reported when they were read.
  std::vector<bool> reported(set->statements.size(), false);
  for (const block_item& item : set->items)
    if (!item.section) reported[static_cast<std::size_t>(item.statement)] = true;
  const std::vector<bool> top_level = reported;
  bool ok = true;
  for (const version_path& path : set->paths) {
    cur_ = std::make_unique<curs>();
  cur_->owning_set = &defs_;
    cur_->name = root->name;
    cur_->has_if = 1;
    bool stop = false;
    std::vector<int> branch_codes;
    for (std::size_t i = 0; i < path.statements.size() && !stop; ++i) {
      const auto n = static_cast<std::size_t>(path.statements[i]);
      set_muted(reported[n]);
      set_message_location(set->statements[n].location);
      stop = !replay(set->statements[n], !top_level[n], path.after_section[i], branch_codes);
      reported[n] = true;
    }
    set_muted(false);
    set_message_location(where);
    if (stop) return false;
    curs& v = *cur_;
    if (parse_cursor_clauses(v) != 0) errors_ = true;
    if (edit_cursor_block(defs_, v) != 0 || set_selects(v) != 0) ok = false;
    set->records.push_back(std::move(cur_));
  }
  rescan_closing();
  if (!ok) return false;
  auto slot = std::make_unique<curs>(std::move(*set->records.front()));
  slot->versions = set;
  set->current = 0;
  if (trace_level(8))
    PRINT('t', "SMZPIF100", "Slot cursor %s : %p, vers_list %zu, SQL %.100s, tree place %zu\n",
          slot->name.c_str(), static_cast<void*>(slot.get()), set->records.size(),
          slot->sql_text.c_str(), set->current);
  defs_.add(std::move(slot));
  return true;
}

int parse_curs_from(Definitions& defs, StatementReader& reader) {
  CursParser parser(defs, reader);
  return parser.run();
}

constexpr ReaderOptions kCursReader = {"pcc0305"};

}  // namespace

int parse_curs(Definitions& defs) {
  if (!stder) init_PRINT();
  std::string path;
  FilePtr file = u_openInputFile("coll", &path);
  if (!file) return 1;
  StatementReader reader(file.get(), kCursReader, path);
  return parse_curs_from(defs, reader);
}

int parse_curs_text(Definitions& defs, std::string_view text) {
  StatementReader reader(text, kCursReader);
  return parse_curs_from(defs, reader);
}

std::vector<std::string> cursor_keywords() {
  std::vector<std::string> words;
  for (const CursKeyword& k : kKeywords) words.emplace_back(k.word);
  return words;
}

}  // namespace qrx
