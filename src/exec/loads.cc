#include "exec/loads.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "base/messages.h"
#include "base/text.h"
#include "exec/col_function.h"
#include "exec/decode.h"
#include "exec/find_col.h"
#include "qrx/dict.h"

namespace qrx {

namespace {

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

std::size_t width_of(const columns& col) {
  return static_cast<std::size_t>(std::clamp<int16_t>(col.stored_length, 0, kMaxColumnLength));
}

// The target variable's field in its cursor's one row, or null.
char* target_field(const lp_ptr& load) {
  if (!load.target_cursor || !load.target_column) return nullptr;
  row_data* row = load.target_cursor->stored.last();
  return row ? row->data() + load.target_column->stored_offset : nullptr;
}

// Resets the target variable to its dictionary element's initial value.
void set_default(const lp_ptr& load, char* field) {
  const dict_element* e = load.target_element;
  if (!e) return;
  const auto width = static_cast<std::size_t>(std::max<int16_t>(e->length, 0));
  std::memset(field, ' ', width);
  const std::string initial = e->initial.value_or("");
  std::memcpy(field, initial.data(), std::min(initial.size(), width));
}

bool aggregate(const lp_ptr& load) { return load.count || load.sum || load.average; }

// Adds `v` to `sum`; false when the sum saturated.
bool add_saturating(int64_t& sum, int64_t v) {
  if (v > 0 && sum > kInt64Max - v) {
    sum = kInt64Max;
    return false;
  }
  if (v < 0 && sum < kInt64Min - v) {
    sum = kInt64Min;
    return false;
  }
  sum += v;
  return true;
}

bool qualifies(curs& c, lp_ptr& load, const row_data& row) {
  if (!load.where_condition) return true;
  decode& d = *load.where_condition;
  if (!d.column) d.column = search_curs_vers_insert(c, d.name);
  return d.column && eval_decode(c, d, *d.column, row.data(), 0) != nullptr;
}

// Writes an aggregate's text right-aligned in the target; a text longer than
// the field keeps its rightmost characters so that it stays within the field.
void put_result(const curs& c, const lp_ptr& load, char* field, const std::string& result) {
  const columns& target = *load.target_column;
  const std::size_t width = width_of(target);
  const std::string text = u_stripx(result, 'B');
  const std::size_t n = std::min(text.size(), width);
  std::memset(field, ' ', width);
  std::memcpy(field + width - n, text.data() + text.size() - n, n);
  if (c.trace)
    PRINT('t', "plo3107", "Moving '%s' from %s (%d:%d) to %s (%d:%d)\n", text.c_str(),
          load.source->name.c_str(), load.source->stored_offset, load.source->stored_length,
          target.name.c_str(), target.stored_offset, target.stored_length);
}

// COUNT, SUM, AVG or the first qualifying row, over every row that meets the condition.
void aggregate_load(curs& c, lp_ptr& load, char* field) {
  load.double_sum = 0;
  load.long_sum = 0;
  load.long_count = 0;
  const columns& source = *load.source;
  for (const row_data* r = c.stored.first(); r; r = r->next) {
    if (!qualifies(c, load, *r)) continue;
    const char* value = r->data() + source.stored_offset;
    if (!aggregate(load)) {
      set_one_var(source, *load.target_column, field, value, c);
      return;
    }
    if (load.long_count == kInt64Max) break;
    ++load.long_count;
    if (load.count) continue;
    const std::string text = u_stripx(std::string_view(value, width_of(source)), 'L');
    long long v = 0;
    if (qrxstrtoll(text.c_str(), &v) != 0) {
      load.long_sum = kInt64Max;
      if (load.sum) break;
    } else if (!add_saturating(load.long_sum, v) && load.sum) {
      break;
    }
    load.double_sum += std::atof(text.c_str());
  }
  if (!aggregate(load)) return;  // no row qualified: the variable keeps its value
  char result[64];
  if (load.count)
    std::snprintf(result, sizeof result, "%lld", static_cast<long long>(load.long_count));
  else if (load.sum)
    std::snprintf(result, sizeof result, "%lld", static_cast<long long>(load.long_sum));
  else if (load.long_count == 0)
    std::snprintf(result, sizeof result, "0.0");
  else
    std::snprintf(result, sizeof result, "%.2f",
                  load.double_sum / static_cast<double>(load.long_count));
  put_result(c, load, field, result);
}

// The row a FROM MIN or FROM MAX load takes: the first lowest or highest.
const row_data* extreme_row(const curs& c, const lp_ptr& load) {
  const columns& col = *load.min_max;
  const std::size_t width = width_of(col);
  const row_data* chosen = nullptr;
  for (const row_data* r = c.stored.first(); r; r = r->next) {
    if (!chosen) {
      chosen = r;
      continue;
    }
    const int order = std::memcmp(r->data() + col.stored_offset,
                                  chosen->data() + col.stored_offset, width);
    if (load.min ? order < 0 : order > 0) chosen = r;
  }
  return chosen;
}

}  // namespace

int set_one_var(const columns& source, const columns& target, char* field, const char* value,
                const curs& c) {
  const std::string text = u_stripx(std::string_view(value, width_of(source)), 'B', " \t");
  const std::size_t width = width_of(target);
  if (c.trace)
    PRINT('t', "plo3095", "Moving '%.50s' from %s (%d:%d) to %s (%d:%d)\n", text.c_str(),
          source.name.c_str(), source.stored_offset, source.stored_length, target.name.c_str(),
          target.stored_offset, target.stored_length);
  std::memset(field, ' ', width);
  const bool numeric = source.data_type == kColNumeric || source.col_type == kColNumeric;
  if (numeric) {
    const std::size_t n = std::min(text.size(), width);
    std::memcpy(field + width - n, text.data() + text.size() - n, n);
  } else {
    std::memcpy(field, text.data(), std::min(text.size(), width));
  }
  return 0;
}

const row_data* get_max_occurance(const curs& c, const columns& col) {
  struct Entry {
    const row_data* row;
    int count;
    std::string_view value;
  };
  const std::size_t width = width_of(col);
  std::vector<Entry> seen;
  seen.reserve(static_cast<std::size_t>(c.stored.count()) + 1);
  for (const row_data* r = c.stored.first(); r; r = r->next) {
    const std::string_view v(r->data() + col.stored_offset, width);
    auto it = std::find_if(seen.begin(), seen.end(), [&](const Entry& e) { return e.value == v; });
    if (it == seen.end())
      seen.push_back({r, 1, v});
    else
      ++it->count;
  }
  const Entry* best = nullptr;
  for (const Entry& e : seen)
    if (!best || e.count > best->count) best = &e;
  return best ? best->row : nullptr;
}

int process_loads(curs& c, int32_t rows) {
  for (auto& owned : c.load_records) {
    lp_ptr& load = *owned;
    char* field = target_field(load);
    if (!field || !load.source) continue;
    c.rows_changed = 1;
    load.target_cursor->rows_changed = 1;
    if (rows == 0) {
      if (c.trace) PRINT('t', "plo3100", "Setting defaults at loads for cur = %s\n", c.name.c_str());
      set_default(load, field);
      continue;
    }
    columns& word = *load.source_word;
    if (!load.initialised) {
      word.col_type = load.source->col_type;
      word.data_type = load.source->data_type;
      word.stored_offset = load.source->stored_offset;
      word.stored_length = load.source->stored_length;
      word.mark = load.source->mark;
      load.initialised = true;
    }
    if (word.function != kFnNone) {
      std::string result;
      if (word.function == kFnHighWater || word.function == kFnLowWater)
        word.mark = load.source->mark;
      if (const int rc = col_function(c, word, result); rc != 0) {
        PRINT('e', "plo3105", "Col_function_load() failed for load, cur = %s, load = %s\n",
              c.name.c_str(), load.text.c_str());
        return rc;
      }
      set_one_var(word, *load.target_column, field, result.data(), c);
      continue;
    }
    if (load.where || aggregate(load)) {
      aggregate_load(c, load, field);
      continue;
    }
    const row_data* row = nullptr;
    if (load.from) {
      if (load.min || load.max) {
        row = extreme_row(c, load);
      } else if (load.max_occurance) {
        row = get_max_occurance(c, *load.min_max);
      } else {
        PRINT('e', "plo3110", "Bad load directive %s\n", load.text.c_str());
        continue;
      }
    } else {
      row = c.stored.last();
    }
    if (row)
      set_one_var(*load.source, *load.target_column, field,
                  row->data() + load.source->stored_offset, c);
  }
  return 0;
}

int edit_loads(cursor_set& cursors) {
  bool ok = true;
  for (auto& owned : cursors.cur_anchor) {
    curs& c = *owned;
    for (auto& load : c.load_records) {
      if (!load->where_condition) continue;
      decode& d = *load->where_condition;
      d.owner = &c;
      d.column = column_named(c, d.name);
      if (!d.column) {
        PRINT('e', "pde4215", "Load Column (%s) not found in cursor %s\n", d.name.c_str(),
              c.name.c_str());
        ok = false;
      }
      if (!resolve_operands(c, d, "pde4205", "Operand column(%s) not in cursor %s\n", "pde4210"))
        ok = false;
    }
  }
  return report_pass(ok, {"pde4225", "Load predicate editing successful\n"},
                     {"pde4220", "Load predicate editing failed\n"});
}

}  // namespace qrx
