#include "ctl/cursor_clauses.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <string>

#include "base/log.h"
#include "ctl/control_parse.h"
#include "ctl/parse_common.h"

namespace qrx {

namespace {

constexpr std::size_t kLinkNameMax = 19;     // pre-cursor and iterate names
constexpr std::size_t kInListColumnMax = 55;
constexpr std::size_t kInListUsingMax = 49;
constexpr std::size_t kSetLenNameMax = 49;
constexpr std::size_t kBaseNameMax = 15;
constexpr std::size_t kBaseColumnMax = 53;
constexpr std::size_t kExitColumnMax = 49;    // column names of column exits
constexpr std::size_t kExitFunctionMax = 19;

// Code of a clause keyword, looked up once in the keyword table.
int code_of(std::string_view word) {
  return test_word(word.data(), static_cast<int>(word.size()));
}

std::string_view skip_blanks(std::string_view text) {
  text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
  return text;
}

// One SUBSTR operand: a whole number from 1 to kMaxColumnLength at the
// start of `text`, which advances past it. The identifiers are those of the
// missing, non-numeric, too large and too small operand.
struct OperandIds {
  const char* missing;
  const char* missing_text;
  const char* non_numeric;
  const char* excessive;
  const char* too_small;
};
std::optional<int> substr_operand(std::string_view& text, const OperandIds& ids) {
  text = skip_blanks(text);
  const std::size_t end = std::min(text.find_first_of(" ,)"), text.size());
  if (end == 0) {
    PRINT('e', ids.missing, "%s", ids.missing_text);
    return std::nullopt;
  }
  const std::string_view word = text.substr(0, end);
  text.remove_prefix(end);
  if (word.find_first_not_of("0123456789") != std::string_view::npos) {
    PRINT('e', ids.non_numeric, "Found non-numeric where number required\n");
    return std::nullopt;
  }
  const int32_t value = decimal_value(word).value_or(INT32_MAX);
  if (value > kMaxColumnLength) {
    PRINT('e', ids.excessive, "Numeric is excessive %d > %d\n", value, kMaxColumnLength);
    return std::nullopt;
  }
  if (value < 1) {
    PRINT('e', ids.too_small, "Numeric is less than 1 %d\n", value);
    return std::nullopt;
  }
  return value;
}

// "( START , LENGTH )" into `exit`; false after logging.
bool parse_substr_operands(std::string_view text, col_exit& exit) {
  text = skip_blanks(text);
  if (text.empty() || text.front() != '(') {
    PRINT('e', "pcl4120", "Missing parenthesis\n");
    return false;
  }
  text.remove_prefix(1);
  const auto start = substr_operand(text, {"pcl4125", "Missing numeric operand\n", "pcl4130", "pcl4135", "pcl4137"});
  if (!start) return false;
  text = skip_blanks(text);
  if (text.empty() || text.front() != ',') {
    // The list ended after one operand, or something else stands there.
    PRINT('e', text.empty() || text.front() == ')' ? "pcl4140" : "pcl4145", "Missing required comma\n");
    return false;
  }
  text.remove_prefix(1);
  const auto length =
      substr_operand(text, {"pcl4150", "Missing second numeric operand\n", "pcl4155", "pcl4160", "pcl4165"});
  if (!length) return false;
  if (*start + *length > kMaxColumnLength) PRINT('w', "pcl4170", "Numeric sum excessive %d\n", *start + *length);
  text = skip_blanks(text);
  if (text.empty() || text.front() != ')') {
    PRINT('e', "pcl4175", "Missing ending parenthesis\n");
    return false;
  }
  exit.first = static_cast<int16_t>(*start);
  exit.second = static_cast<int16_t>(*length);
  return true;
}

struct ClauseParser {
  int code;
  int (*parse)(curs&, std::string_view);
};

}  // namespace

int parse_pre_cursor(curs& c, std::string_view text) {
  const std::string_view name = next_word(text);
  if (name.empty() || name.size() > kLinkNameMax) {
    PRINT('e', "ppr3105", "Invalid pre_cursor name (%.*s)\n", static_cast<int>(name.size()), name.data());
    return 1;
  }
  c.pre_cursors.push_back({std::string(name), nullptr});
  return 0;
}

int parse_iterate(curs& c, std::string_view text) {
  if (c.iterator) {
    PRINT('e', "pit3125", "Can only have one iterate on a cursor\n");
    return 1;
  }
  const std::string_view name = next_word(text);
  if (name.empty() || name.size() > kLinkNameMax) {
    PRINT('e', "pit3126", "Invalid iterate name (%.*s)\n", static_cast<int>(name.size()), name.data());
    return 1;
  }
  c.iterator = iterate{std::string(name), nullptr};
  c.iterated = 1;
  return 0;
}

int parse_in_list(curs& c, std::string_view text) {
  const std::string whole(text);
  std::string_view rest = text;
  const std::string_view column = next_word(rest);
  const std::string_view using_word = next_word(rest);
  const std::string_view name = next_word(rest);
  if (column.empty() || using_word != "using" || name.empty()) {
    PRINT('e', "pin3260", "Invalid in_list format: %s\n", whole.c_str());
    return 1;
  }
  if (column.size() > kInListColumnMax || name.size() > kInListUsingMax) {
    PRINT('e', "pin3262", "In_list name too long: %s\n", whole.c_str());
    return 1;
  }
  in_list list;
  list.column = std::string(column);
  list.using_name = std::string(name);
  c.in_lists.push_back(std::move(list));
  return 0;
}

const ColExitName kColExitNames[kColexCount] = {
    {"R_JUSTIFY", "r_justify", ColExitOperands::kNone},
    {"L_JUSTIFY", "l_justify", ColExitOperands::kNone},
    {"MINUTES", "minutes", ColExitOperands::kNone},
    {"SUBSTR", "substr", ColExitOperands::kStartLength},
    {"CONCAT", "concat", ColExitOperands::kColumn},
    {"MINUTES2", "minutes2", ColExitOperands::kNone},
    {"TIMESTAMP", "timestamp", ColExitOperands::kNone},
};

int parse_base(curs& c, std::string_view text) {
  const std::string whole(text);
  std::string_view rest = text;
  const std::string_view name = next_word(rest);
  rest = skip_blanks(rest);
  if (name.empty() || rest.substr(0, 3) != "on ") {
    PRINT('e', "pba3285", "Invalid base format: %s\n", whole.c_str());
    return 1;
  }
  rest = skip_blanks(rest.substr(3));
  const std::size_t column_end = std::min(rest.find_first_of(" -"), rest.size());
  const std::string_view column = rest.substr(0, column_end);
  rest = skip_blanks(rest.substr(column_end));
  if (column.empty() || rest.substr(0, 2) != "->") {
    PRINT('e', "pba3290", "Invalid base format: %s\n", whole.c_str());
    return 1;
  }
  rest.remove_prefix(2);
  const std::string_view target = next_word(rest);
  if (target.empty()) {
    PRINT('e', "pba3290", "Invalid base format: %s\n", whole.c_str());
    return 1;
  }
  if (name.size() > kBaseNameMax || column.size() > kBaseColumnMax || target.size() > kBaseColumnMax) {
    PRINT('e', "pba3292", "Base name too long: %s\n", whole.c_str());
    return 1;
  }
  base b;
  b.name = std::string(name);
  b.item = std::string(column);
  b.target = std::string(target);
  b.location = current_message_location();
  c.bases.push_back(std::move(b));
  return 0;
}

int parse_column_exit(curs& c, std::string_view text) {
  const std::string whole(text);
  std::string_view rest = text;
  const std::string_view column = next_word(rest);
  if (column.empty()) {
    PRINT('e', "pde4085", "Bad decode syntax : %s\n", whole.c_str());
    return 1;
  }
  if (column.size() > kExitColumnMax) {
    PRINT('e', "pcc4090", "Column name too long (%d) in %s\n", static_cast<int>(column.size()), whole.c_str());
    return 1;
  }
  const std::size_t function_start = std::min(rest.find_first_not_of(' '), rest.size());
  const std::size_t function_end = std::min(rest.find_first_of(" (", function_start), rest.size());
  const std::string_view function = rest.substr(function_start, function_end - function_start);
  rest.remove_prefix(function_end);
  if (function.empty()) {
    PRINT('e', "pde4095", "Bad decode syntax : %s\n", whole.c_str());
    return 1;
  }
  if (function.size() > kExitFunctionMax) {
    PRINT('e', "pcf4100", "Function name too long (%d) in %s\n", static_cast<int>(function.size()), whole.c_str());
    return 1;
  }
  int routine = -1;
  for (int i = 0; i < kColexCount; ++i)
    if (function == kColExitNames[i].upper || function == kColExitNames[i].lower) routine = i;
  if (routine < 0) {
    PRINT('e', "pcf4105", "Column exit routine name not known\n");
    return 1;
  }
  col_exit exit;
  exit.routine = routine;
  switch (kColExitNames[routine].operands) {
    case ColExitOperands::kStartLength:
      if (!parse_substr_operands(rest, exit)) return 1;
      break;
    case ColExitOperands::kColumn: {
      const std::string_view other = next_word(rest);
      if (other.empty()) {
        PRINT('e', "pcl4110", "Missing column name in concat\n");
        return 1;
      }
      exit.other = std::string(other);
      if (other.size() > kExitColumnMax) {
        PRINT('e', "ccl4115", "Excessive length on %s\n", exit.other.c_str());
        return 1;
      }
      break;
    }
    case ColExitOperands::kNone:
      break;
  }
  for (col_exit_block& block : c.col_exits) {
    if (block.column == column) {
      block.exits.push_back(std::move(exit));
      return 0;
    }
  }
  c.col_exits.push_back({std::string(column), nullptr, {std::move(exit)}});
  return 0;
}

int parse_set_len(curs& c, std::string_view text) {
  const std::string_view name = next_word(text);
  if (name.empty()) {
    PRINT('e', "pcl4540", "Invalid set_len syntax\n");
    return 1;
  }
  const std::string column(name);
  if (name.size() > kSetLenNameMax) {
    PRINT('e', "pcl4545", "Excessive text in set_len : %s\n", column.c_str());
    return 1;
  }
  if (name.find('.') != std::string_view::npos) {
    PRINT('e', "pcl4550", "Can't use qualified name in set_len (%s)\n", column.c_str());
    return 1;
  }
  const std::string_view length_word = next_word(text);
  if (length_word.empty()) {
    PRINT('e', "pcl4555", "Missing numeric length value in set_len (%s)\n", column.c_str());
    return 1;
  }
  // A fetch length must be a positive number: anything else would give the
  // column no room or a negative one.
  const std::optional<int32_t> length = decimal_value(length_word);
  if (!length || *length < 1) {
    PRINT('e', "pcl4560", "Invalid numeric length value in set_len (%s)\n", column.c_str());
    return 1;
  }
  if (*length > kMaxColumnLength) {
    PRINT('e', "pcl4565", "Cannot set length greator than %d in %s\n", kMaxColumnLength, column.c_str());
    return 1;
  }
  c.set_lens.push_back({column, static_cast<int16_t>(*length), -1});
  return 0;
}

int parse_cursor_clauses(curs& c) {
  static const ClauseParser kParsers[] = {
      {code_of("pre_cursor"), parse_pre_cursor},
      {code_of("iterate"), parse_iterate},
      {code_of("in_list"), parse_in_list},
      {code_of("base"), parse_base},
      {code_of("column_exit"), parse_column_exit},
      {code_of("set_len"), parse_set_len},
  };
  int failed = 0;
  const std::string where = current_message_location();
  for (const clause_text& clause : c.clauses) {
    if (clause.section_depth > 0) continue;  // built with the section's version
    set_message_location(clause.location);
    for (const ClauseParser& p : kParsers)
      if (p.code == clause.code && p.parse(c, clause.text) != 0) failed = 1;
  }
  set_message_location(where);
  return failed;
}

}  // namespace qrx
