#include "exec/col_function.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "base/text.h"

namespace qrx {

namespace {

constexpr std::size_t kNumericWidthMax = 255;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

std::size_t width_of(const columns& col) {
  return static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0));
}

std::string_view value_in(const row_data& row, const columns& col) {
  return {row.data() + col.stored_offset, width_of(col)};
}

// The rows a column function reads: every row, or the current sample's
// rows when the cursor keeps samples; rows holding a NULL are left out.
std::vector<const row_data*> rows_of(const curs& c, const columns& col) {
  std::vector<const row_data*> rows;
  for (const row_data* r = c.stored.first(); r; r = r->next) {
    if (c.samples > 0 && r->sample != c.sample_no) continue;
    if (value_in(*r, col).starts_with("NULL")) continue;
    rows.push_back(r);
  }
  return rows;
}

// `text` right-aligned in `width` characters; a longer text is cut on the right.
void put_right(std::string& out, std::string_view text, std::size_t width) {
  out.assign(width, ' ');
  const std::size_t n = std::min(text.size(), width);
  out.replace(width - n, n, text.substr(0, n));
}

// Marks: the mark when one was kept, else "?" across the field.
void put_mark(const columns& col, std::string& out) {
  const std::size_t width = width_of(col);
  if (col.mark.empty())
    out.assign(width, '?');
  else
    put_right(out, col.mark, width);
}

// Current-sample row count: the last row's ordinal when it belongs to the
// current sample.
int32_t current_count(const curs& c) {
  const row_data* last = c.stored.last();
  return last && last->sample == c.sample_no ? last->ordinal : 0;
}

int decimals_of(std::string_view text) {
  const std::size_t point = text.find('.');
  if (point == std::string_view::npos) return 0;
  std::size_t n = 0;
  while (point + 1 + n < text.size() &&
         std::isdigit(static_cast<unsigned char>(text[point + 1 + n])))
    ++n;
  return static_cast<int>(n);
}

// "%f" of `value` cut after `decimals` places (at the point when none).
std::string cut_decimals(double value, int decimals) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, "%f", value);
  std::string text(buffer);
  const std::size_t point = text.find('.');
  if (point != std::string::npos)
    text.erase(decimals > 0 ? std::min(text.size(), point + 1 + decimals) : point);
  return text;
}

int64_t saturating_add(int64_t sum, int64_t v) {
  if (v > 0 && sum > kInt64Max - v) return kInt64Max;
  if (v < 0 && sum < kInt64Min - v) return kInt64Min;
  return sum + v;
}

}  // namespace

int col_funct_char(curs& c, const columns& col, std::string& out) {
  const std::size_t width = width_of(col);
  switch (col.function) {
    case kFnHighWater:
    case kFnLowWater:
      put_mark(col, out);
      return 0;
    case kFnCount:
      put_right(out, std::to_string(current_count(c)), width);
      return 0;
    case kFnMin:
    case kFnMax: {
      const row_data* chosen = nullptr;
      for (const row_data* r : rows_of(c, col)) {
        if (!chosen) {
          chosen = r;
          continue;
        }
        const int order = value_in(*r, col).compare(value_in(*chosen, col));
        if (col.function == kFnMin ? order < 0 : order > 0) chosen = r;
      }
      out.assign(width, ' ');
      if (chosen) {
        out.assign(value_in(*chosen, col));
        c.function_row = chosen;
      }
      return 0;
    }
    default:
      return 1;
  }
}

int col_function(curs& c, const columns& col, std::string& out) {
  if (col.col_type != kColNumeric) return col_funct_char(c, col, out);
  const std::size_t width = width_of(col);
  if (width > kNumericWidthMax) return 1;
  if (col.function == kFnHighWater || col.function == kFnLowWater) {
    put_mark(col, out);
    return 0;
  }
  if (col.function == kFnCount) {
    put_right(out, std::to_string(current_count(c)), width);
    return 0;
  }
  double sum = 0, weighted = 0, best = 0;
  int64_t whole_sum = 0;
  int n = 0, decimals = 0;
  const row_data* chosen = nullptr;
  std::string chosen_text;
  for (const row_data* r : rows_of(c, col)) {
    const std::string text = u_stripx(value_in(*r, col), 'B');
    const double v = std::atof(text.c_str());
    long long whole = 0;
    if (const int err = qrxstrtoll(text.c_str(), &whole); err != 0) {
      PRINT('e', "col1000",
            "col_function_load() converting error. row cache (%s) to long long, errno is %d\n",
            text.c_str(), err);
      whole = kInt64Max;
    }
    ++n;
    decimals = std::max(decimals, decimals_of(text));
    sum += v;
    weighted += n * v;
    whole_sum = saturating_add(whole_sum, whole);
    const bool better = col.function == kFnMin ? v <= best : v >= best;
    if (!chosen || better) {
      chosen = r;
      best = v;
      chosen_text = text;
    }
  }
  std::string result;
  const double pairs = n * (n + 1) / 2.0;
  switch (col.function) {
    case kFnMin:
    case kFnMax:
      result = chosen_text;
      if (chosen) c.function_row = chosen;
      break;
    case kFnSum:
      result = std::to_string(whole_sum);
      break;
    case kFnAvg:
      // No rows leaves nothing to average: the answer is 0, not a division by zero.
      result = cut_decimals(n ? sum / n : 0.0, decimals);
      break;
    case kFnWavg:
      result = cut_decimals(n ? weighted / pairs : 0.0, decimals);
      break;
    case kFnTrend:
      result = cut_decimals(n && sum != 0 ? (weighted / pairs) / (sum / n) : 0.0, 6);
      break;
    default:
      return 1;
  }
  put_right(out, result, width);
  return 0;
}

}  // namespace qrx
