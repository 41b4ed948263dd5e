#include "ctl/cursor_clauses.h"

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

// Code of a clause keyword, looked up once in the keyword table.
int code_of(std::string_view word) {
  return test_word(word.data(), static_cast<int>(word.size()));
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
    PRINT('e', "pin3265", "In_list name too long: %s\n", whole.c_str());
    return 1;
  }
  in_list list;
  list.column = std::string(column);
  list.using_name = std::string(name);
  c.in_lists.push_back(std::move(list));
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
      {code_of("set_len"), parse_set_len},
  };
  int failed = 0;
  for (const clause_text& clause : c.clauses) {
    if (clause.section_depth > 0) continue;  // built with the section's version
    for (const ClauseParser& p : kParsers)
      if (p.code == clause.code && p.parse(c, clause.text) != 0) failed = 1;
  }
  return failed;
}

}  // namespace qrx
