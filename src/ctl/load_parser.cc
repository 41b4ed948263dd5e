#include "ctl/load_parser.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "base/log.h"
#include "ctl/control_parse.h"
#include "ctl/cursor_parser.h"
#include "ctl/decode_parser.h"
#include "ctl/parse_common.h"
#include "qrx/curs.h"

namespace qrx {

namespace {

constexpr std::size_t kSourceMax = 39;      // characters of a source text
constexpr std::size_t kTargetCursorMax = 9;
constexpr std::size_t kTargetColumnMax = 49;

// Load keywords as written: the lower- and upper-case spellings, each with
// the blank that must follow.
struct LoadWord {
  const char* lower;
  const char* upper;
  uint16_t lp_ptr::*flag;
};

constexpr LoadWord kAggregates[] = {
    {"average ", "AVERAGE ", &lp_ptr::average},
    {"sum ", "SUM ", &lp_ptr::sum},
    {"count ", "COUNT ", &lp_ptr::count},
};
constexpr LoadWord kDirectives[] = {
    {"where ", "WHERE ", &lp_ptr::where},
    {"from ", "FROM ", &lp_ptr::from},
};
constexpr LoadWord kSelections[] = {
    {"min ", "MIN ", &lp_ptr::min},
    {"max ", "MAX ", &lp_ptr::max},
    {"max_occurance ", "MAX_OCCURANCE ", &lp_ptr::max_occurance},
};

// Reads a load text from left to right.
class LoadText {
 public:
  explicit LoadText(std::string_view text) : text_(text) {}

  void skip_blanks() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  // Sets the flag of the keyword of `table` found here, consuming it.
  template <std::size_t N>
  bool keyword(const LoadWord (&table)[N], lp_ptr& load) {
    skip_blanks();
    const std::string_view rest = text_.substr(pos_);
    for (const LoadWord& w : table) {
      if (rest.starts_with(w.lower) || rest.starts_with(w.upper)) {
        load.*w.flag = 1;
        pos_ += std::char_traits<char>::length(w.lower);
        return true;
      }
    }
    return false;
  }
  // The text up to a blank, `stop` (when not 0) or, with `arrow`, "->"; consumed.
  std::string_view until(char stop, bool arrow = false) {
    skip_blanks();
    const std::size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ' ' && (stop == 0 || text_[pos_] != stop) &&
           !(arrow && text_.substr(pos_).starts_with("->")))
      ++pos_;
    return text_.substr(start, pos_ - start);
  }
  bool take(std::string_view word) {
    skip_blanks();
    if (!text_.substr(pos_).starts_with(word)) return false;
    pos_ += word.size();
    return true;
  }
  std::string_view rest() const { return text_.substr(pos_); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// The column made from `word` by add_column, the cursor's columns and flags untouched.
std::unique_ptr<columns> source_word(curs& c, std::string_view word) {
  column_list saved = std::move(c.cols);
  c.cols.clear();
  const uint16_t host_variables = c.host_variables;
  const uint16_t has_functions = c.has_col_functions;
  const uint16_t has_min_max = c.has_min_max;
  add_column(word, c);
  std::unique_ptr<columns> made = c.cols.empty() ? nullptr : std::move(c.cols.front());
  c.cols = std::move(saved);
  c.host_variables = host_variables;
  c.has_col_functions = has_functions;
  c.has_min_max = has_min_max;
  return made;
}

// The cursor's column that `word` names: by name, skipping `occurrence`
// earlier matches, or by position from 0 when it has no name.
columns* source_column(curs& c, const columns& word) {
  if (word.name.empty())
    return word.occurrence < c.cols.size() ? c.cols[word.occurrence].get() : nullptr;
  int skip = word.occurrence;
  for (auto& col : c.cols) {
    if (col->name != word.name) continue;
    if (skip-- <= 0) return col.get();
  }
  return nullptr;
}

// Builds one load of `c`, its target cursor one of `cursors`; null after logging.
std::unique_ptr<lp_ptr> parse_load(cursor_set& cursors, curs& c, const std::string& text) {
  auto load = std::make_unique<lp_ptr>();
  load->text = text;
  const char* name = c.name.c_str();
  LoadText in(text);
  in.keyword(kAggregates, *load);
  const std::string source(in.until(0, true));
  if (source.empty()) {
    PRINT('e', "plo3010", "No source column found for load in cursor %s\n", name);
    return nullptr;
  }
  if (source.size() > kSourceMax) {
    PRINT('e', "plo3015", "Bad source column text in %s\n", name);
    return nullptr;
  }
  load->source_word = source_word(c, source);
  if (!load->source_word) {
    PRINT('e', "plo3015", "Bad source column text in %s\n", name);
    return nullptr;
  }
  load->source = source_column(c, *load->source_word);
  if (!load->source) {
    PRINT('e', "plo3020", "Column %s not found in cursor %s for load %s\n", source.c_str(), name,
          text.c_str());
    return nullptr;
  }
  if (!in.take("->")) {
    PRINT('e', "plo3025", "Bad syntax in load for cursor %s : %s\n", name, text.c_str());
    return nullptr;
  }
  const std::string target(in.until('.'));
  if (target.empty()) {
    PRINT('e', "plo3030", "Target cursor name not found in cursor %s for load %s\n", name,
          text.c_str());
    return nullptr;
  }
  load->target_cursor = target.size() <= kTargetCursorMax ? cursors.find_cursor(target) : nullptr;
  if (!load->target_cursor) {
    PRINT('e', "plo3035", "Target cursor (%s) not found for load %s in %s\n", target.c_str(),
          text.c_str(), name);
    return nullptr;
  }
  if (!load->target_cursor->is_virtual) {
    PRINT('e', "plo3040", "Target cursor (%s) in %s for %s is not virtual\n", target.c_str(),
          name, text.c_str());
    return nullptr;
  }
  if (!in.rest().starts_with(".")) {
    PRINT('e', "plo3045", "Bad target cursor.column syntax in load %s for cursor %s\n",
          text.c_str(), name);
    return nullptr;
  }
  in.take(".");
  const std::string column(in.until(0));
  if (column.empty() || column.size() > kTargetColumnMax) {
    PRINT('e', "plo3050", "No target column name in cursor %s load %s\n", name, text.c_str());
    return nullptr;
  }
  curs& t = *load->target_cursor;
  if (std::isdigit(static_cast<unsigned char>(column[0]))) {
    const int n = std::max(std::atoi(column.c_str()), 1);
    load->target_column = n <= static_cast<int>(t.cols.size()) ? t.cols[n - 1].get() : nullptr;
  } else {
    load->target_column = column_named(t, column);
  }
  if (!load->target_column) {
    PRINT('e', "plo3055", "Target column (%s) not found for cursor %s load %s\n", column.c_str(),
          name, text.c_str());
    return nullptr;
  }
  if (!in.keyword(kDirectives, *load)) return load;
  if (load->source_word->function != kFnNone) {
    PRINT('e', "plo3060", "Column function and load_where or load_from are incompatable\n");
    return nullptr;
  }
  if (load->from) {
    if (load->count || load->sum || load->average) {
      PRINT('e', "plo3065", "Cannot have FROM directive with count/sum/average in load\n");
      return nullptr;
    }
    if (!in.keyword(kSelections, *load)) {
      PRINT('e', "plo3070", "From requires min/max/max_occurance in load\n");
      return nullptr;
    }
    const std::string compared(in.until(0));
    if (compared.empty() || compared.size() > kTargetColumnMax) {
      PRINT('e', "plo3075", "No min_max column name in cursor %s load %s\n", name, text.c_str());
      return nullptr;
    }
    load->min_max = column_named(c, compared);
    if (!load->min_max) {
      PRINT('e', "plo3080", "MIN-MAX column (%s) not found for cursor %s load %s\n",
            compared.c_str(), name, text.c_str());
      return nullptr;
    }
    return load;
  }
  // The condition with a replacement appended is a complete decode statement.
  std::vector<std::unique_ptr<decode>> chain;
  std::string condition(in.rest());
  condition += kConditionTail;
  load->text = text + std::string(kConditionTail);
  if (parse_decode(c, condition, chain) != 0) return nullptr;
  load->where_condition = std::move(chain.front());
  return load;
}

}  // namespace

int parse_loads(Definitions& defs) {
  bool ok = true;
  for (auto& owned : defs.cur_anchor) {
    curs& c = *owned;
    if (c.loads.empty() || !c.load_records.empty()) continue;
    for (const std::string& text : c.loads) {
      std::unique_ptr<lp_ptr> load = parse_load(defs, c, text);
      if (load) {
        load->target_element = defs.find_dict_element(load->target_column->name);
        c.load_records.push_back(std::move(load));
      } else {
        ok = false;
      }
    }
  }
  return report_pass(ok, {"plo3090", "Load parsing ended ok.\n"},
                     {"plo3085", "Load parsing ended with errors.\n"});
}

std::vector<std::string> load_keywords() {
  std::vector<std::string> words;
  for (const std::span<const LoadWord> table :
       {std::span<const LoadWord>(kAggregates), std::span<const LoadWord>(kDirectives),
        std::span<const LoadWord>(kSelections)})
    for (const LoadWord& w : table) {
      std::string word = w.lower;
      word.pop_back();  // the blank that must follow
      words.push_back(word);
    }
  return words;
}

}  // namespace qrx
