#include "exec/merge_text.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/log.h"
#include "base/trace.h"
#include "exec/bases.h"
#include "exec/column_exits.h"
#include "exec/decode.h"
#include "ctl/math_parser.h"
#include "exec/find_col.h"
#include "exec/maths.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"

namespace qrx {

namespace {

constexpr int kShowSelectLevel = 5;  // a global trace level above this lists the select list

void hold(curs& c) { c.hold = 'Y'; }

// "%parm" and one hexadecimal digit: a script parameter that row assembly
// leaves to the script path.
bool is_request_parameter(const std::string& name) {
  return name.size() == 6 && name.compare(0, 5, "%parm") == 0 &&
         std::isxdigit(static_cast<unsigned char>(name[5]));
}

// Index of the select-list item that column `col` takes, or -1 after logging.
int find_item(const curs& c, const columns& col, const fetched_row& row) {
  const int items = static_cast<int>(row.size());
  if (col.occurrence > 0) {
    if (col.occurrence <= items) return col.occurrence - 1;
    PRINT('e', "cat1580", "Occurance (%d) exceeds sqlda limit (%d), %s\n", col.occurrence, items,
          col.name.c_str());
    return -1;
  }
  for (int i = 0; i < items; ++i)
    if (row[i].name == col.name) return i;
  PRINT('e', "cat1590", "No sqlda entry found for %s.%s\n", c.name.c_str(), col.name.c_str());
  return -1;
}

bool has_item_named(const fetched_row& row, const std::string& name) {
  for (const fetched_column& f : row)
    if (f.name == name) return true;
  return false;
}

// Binds every column on the cursor's first row; false when no row can be built.
bool bind_columns(curs& c, const fetched_row* row) {
  for (auto& owned : c.cols) {
    columns& col = *owned;
    if (!col.name.empty() && col.name[0] == '%') {
      if (is_request_parameter(col.name)) continue;
      const columns* pcol = percent_column_of(c, col.name);
      if (!pcol) {
        PRINT('e', "cat1560", "Un-identified percent variable %s\n", col.name.c_str());
        hold(c);
        return false;
      }
      bind_percent_column(col, *pcol);
      continue;
    }
    if (col.qualified) {
      const curs* source = col.source_cursor;
      const columns* from = col.source_column;
      // A column of an inactive version of the source is no column of its rows.
      const bool active = source && std::any_of(source->cols.begin(), source->cols.end(),
                                                [&](const auto& own) { return own.get() == from; });
      if (!source || !from || !active) {
        PRINT('e', "cat1600", "Could not match %s - holding cursor %s\n", col.name.c_str(),
              c.name.c_str());
        hold(c);
        return false;
      }
      if (source->hold == 'Y') {
        PRINT('e', "cat1565", "Source cursor %s held, holding %s\n", source->name.c_str(),
              c.name.c_str());
        hold(c);
        return false;
      }
      if (source->stored.empty()) {
        PRINT('e', "cat1570", "Source cursor %s has no last row, holding %s\n",
              source->name.c_str(), c.name.c_str());
        hold(c);
        return false;
      }
      col.col_type = from->col_type;
      col.data_type = from->data_type;
      col.stored_length = from->stored_length;
      col.indicator = from->indicator;
      continue;
    }
    if (find_math(c, col.name) && (!row || !has_item_named(*row, col.name))) {
      // A math column is computed; unless the select list sizes it, it
      // takes a width of its own.
      col.col_type = kColNumeric;
      col.data_type = kColCharacter;
      col.stored_length = kMathColumnWidth;
      continue;
    }
    if (!row) {
      if (col.occurrence > 0)
        PRINT('e', "cat1575", "Cannot use n! addressing in NO_SQL cursor %s\n", c.name.c_str());
      else
        PRINT('e', "cat1585", "Name (%s) not resolved in non_sql cursor %s\n", col.name.c_str(),
              c.name.c_str());
      hold(c);
      return false;
    }
    const int item = find_item(c, col, *row);
    if (item < 0) return false;
    bind_to_item(col, item, (*row)[item]);
  }
  return true;
}

void trace_select_list(const curs& c, const fetched_row& row) {
  PRINT('t', "cat1540", "SQLDA columns follow for %s\n", c.name.c_str());
  for (std::size_t i = 0; i < row.size(); ++i)
    PRINT('t', "cat1545", "Col #%d= %.*s, datatype= %d datalen= %d\n", static_cast<int>(i + 1),
          static_cast<int>(row[i].name.size()), row[i].name.data(), row[i].type,
          row[i].fetch_length);
}

// The stored form of a database NULL.
void put_null(char* field, std::size_t width, bool numeric) {
  std::memset(field, ' ', width);
  if (width == 0) return;
  if (numeric)
    field[width - 1] = '0';
  else
    std::memcpy(field, "NULL", std::min<std::size_t>(width, 4));
}

// Fills one column of the new row; false when the row cannot be built.
bool fill_column(curs& c, columns& col, const fetched_row* row, char* data) {
  char* field = data + col.stored_offset;
  const auto width = static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0));
  const bool numeric = col.col_type == kColNumeric;
  if (col.qualified && col.source_cursor && col.source_column) {
    const columns& from = *col.source_column;
    const char* value = locate_base(*col.source_cursor, c, from.stored_offset);
    if (!value) {
      PRINT('e', "cat1595", "No last row for cur %s as used by %s\n",
            col.source_cursor->name.c_str(), c.name.c_str());
      return false;
    }
    const std::size_t n = std::min(width, static_cast<std::size_t>(from.stored_length));
    std::memset(field, ' ', width);
    std::memcpy(field, value, n);
    return true;
  }
  if (col.indicator && *col.indicator < 0) {
    put_null(field, width, numeric);
    return true;
  }
  if (col.value) {
    if (c.owning_set) sync_percent_value(*c.owning_set, col.value);
    place_value(field, width, std::string_view(col.value, width), numeric);
    return true;
  }
  if (row && col.select_item >= 0 && static_cast<std::size_t>(col.select_item) < row->size()) {
    const fetched_column& f = (*row)[col.select_item];
    if (f.indicator < 0)
      put_null(field, width, numeric);
    else
      place_value(field, width, std::string_view(f.data ? f.data : "", f.data ? f.length : 0),
                numeric);
    return true;
  }
  if (is_request_parameter(col.name) || find_math(c, col.name)) {
    std::memset(field, ' ', width);
    return true;
  }
  PRINT('e', "cat1600", "Could not match %s - holding cursor %s\n", col.name.c_str(),
        c.name.c_str());
  hold(c);
  return false;
}

// High- and low-water marks: a new extreme becomes the mark, otherwise the
// row shows the mark.
void apply_water_mark(columns& col, char* data) {
  if (col.function != kFnHighWater && col.function != kFnLowWater) return;
  char* field = data + col.stored_offset;
  const auto width = static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0));
  const std::string_view value(field, width);
  if (col.mark.size() != width) {
    col.mark.assign(value);
    return;
  }
  const int order = value.compare(col.mark);
  const bool better = col.function == kFnHighWater ? order > 0 : order < 0;
  if (better)
    col.mark.assign(value);
  else
    std::memcpy(field, col.mark.data(), width);
}

// The NULL indicator of `col`'s value in this row.
int16_t indicator_of(const columns& col, const fetched_row* row) {
  if (col.indicator) return *col.indicator;
  if (row && col.select_item >= 0 && static_cast<std::size_t>(col.select_item) < row->size())
    return (*row)[col.select_item].indicator;
  return 0;
}

// Decodes every decoded column of the row being built, which will take the
// next ordinal of the current sample.
void decode_columns(curs& c, const fetched_row* row, char* data) {
  const row_data* newest = c.stored.last();
  const int32_t ordinal = newest && newest->sample == c.sample_no ? newest->ordinal + 1 : 1;
  for (auto& d : c.decodes) {
    if (!d->column) d->column = search_curs_vers_insert(c, d->name);
    const int16_t indicator = d->column ? indicator_of(*d->column, row) : 0;
    do_decode(c, *d, data, indicator, ordinal);
  }
}

}  // namespace

void bind_to_item(columns& col, int item, const fetched_column& f) {
  col.select_item = static_cast<int16_t>(item);
  col.data_type = kColCharacter;
  col.db_length = static_cast<uint16_t>(std::clamp(f.fetch_length, 0, kMaxColumnLength));
  col.stored_length = static_cast<int16_t>(col.db_length);
  col.col_type = f.numeric ? kColNumeric : kColCharacter;
}

uint32_t lay_out_columns(curs& c) {
  uint32_t offset = 0;
  for (auto& col : c.cols) {
    col->stored_offset = static_cast<int32_t>(offset);
    offset += static_cast<uint32_t>(std::max<int16_t>(col->stored_length, 0)) + 1;
    if (col->output_length == col->stored_length) col->output_length = 0;
  }
  c.row_length = offset;
  return offset;
}

int merge_text(curs& c, const fetched_row* row, std::string_view fetch_time) {
  if (!c.bases.empty()) {
    if (!row) {
      PRINT('e', "cba1535", "Cannot use BASE in non_sql cursor %s\n", c.name.c_str());
      hold(c);
      return 0;
    }
    if (set_bases(c, *row) != 0) return 0;
  }
  if (row && c.trace && (c.show_cursor || trace_level(0) > kShowSelectLevel))
    trace_select_list(c, *row);
  refresh_percent_values(c, fetch_time);
  if (!c.layout_fixed) {
    if (!bind_columns(c, row)) return 0;
    lay_out_columns(c);
  }
  // Every byte is written below (fields, the zero after each, the final
  // zero): the row needs no clearing first.
  row_data* built = c.stored.allocate_here(c.row_length, false);
  char* data = built->data();
  bool water_marks = false;
  for (auto& col : c.cols) {
    if (!fill_column(c, *col, row, data)) {
      row_chain::release(built);
      return 0;
    }
    data[col->stored_offset + std::max<int16_t>(col->stored_length, 0)] = '\0';
    water_marks = water_marks || col->function == kFnHighWater || col->function == kFnLowWater;
  }
  data[c.row_length] = '\0';
  // Marks move only once the whole row is built.
  if (water_marks)
    for (auto& col : c.cols) apply_water_mark(*col, data);
  if (!c.maths.empty()) compute_maths(c, data);
  decode_columns(c, row, data);
  // A failing exit leaves its field as it was; the row is still kept.
  if (!c.col_exits.empty()) run_column_exits(c, data, fetch_time);
  link_row(c, built);
  c.layout_fixed = 1;
  if (c.show_cursor) dump_rows(c);
  return static_cast<int>(c.row_length);
}

}  // namespace qrx
