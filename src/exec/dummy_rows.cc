#include "exec/dummy_rows.h"

#include <algorithm>
#include <cstring>

#include "base/log.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"
#include "exec/stored_rows.h"

namespace qrx {

namespace {

constexpr int16_t kCounterLength = 21;

void hold(curs& c) { c.hold = 'Y'; }

// Type and width of one column from its source; false when it has none.
bool resolve(curs& c, columns& col, const fetched_row* items) {
  if (!col.name.empty() && col.name[0] == '%') {
    const columns* pcol = percent_column_of(c, col.name);
    if (!pcol) {
      PRINT('e', "pdu4520", "Un-identified percent variable %s\n", col.name.c_str());
      hold(c);
      return false;
    }
    bind_percent_column(col, *pcol);
    return true;
  }
  if (col.qualified && col.source_column) {
    col.col_type = col.source_column->col_type;
    col.data_type = col.source_column->data_type;
    col.stored_length = col.source_column->stored_length;
    return true;
  }
  if (col.function == kFnCount) {
    col.col_type = kColNumeric;
    col.data_type = kColCharacter;
    col.stored_length = kCounterLength;
    return true;
  }
  if (!items) {
    PRINT('e', "cdu4530", "Name (%s) not resolved in non_sql cursor %s\n", col.name.c_str(),
          c.name.c_str());
    hold(c);
    return false;
  }
  const int count = static_cast<int>(items->size());
  int item = -1;
  if (col.occurrence > 0) {
    if (col.occurrence > count) {
      PRINT('e', "cdu4525", "Occurance (%d) exceeds sqlda limit (%d)\n", col.occurrence, count);
      return false;
    }
    item = col.occurrence - 1;
  } else {
    for (int i = 0; i < count && item < 0; ++i)
      if ((*items)[i].name == col.name) item = i;
    if (item < 0) {
      PRINT('e', "cdu4535", "No sqlda entry found for %s.%s (%d)\n", c.name.c_str(),
            col.name.c_str(), col.ordinal);
      return false;
    }
  }
  bind_to_item(col, item, (*items)[item]);
  return true;
}

}  // namespace

int setup_dummy(curs& c, const fetched_row* items) {
  if (c.layout_fixed) return 0;
  bool resolved = true;
  for (auto& col : c.cols) resolved = resolve(c, *col, items) && resolved;
  if (!resolved) return 0;
  lay_out_columns(c);
  c.layout_fixed = 1;
  return 0;
}

int build_dummy_last_row(curs& c) {
  if (!c.layout_fixed) {
    PRINT('w', "cdu4516", "No row layout for the dummy last row of cursor %s\n", c.name.c_str());
    return 0;
  }
  if (c.dummy_row.size() != c.row_length) {
    c.dummy_row.assign(c.row_length, ' ');
    for (const auto& col : c.cols) {
      char* field = c.dummy_row.data() + col->stored_offset;
      const auto width = static_cast<std::size_t>(std::max<int16_t>(col->stored_length, 0));
      if (width == 0) continue;
      if (col->col_type == kColNumeric)
        field[width - 1] = '0';
      else
        std::memcpy(field, "N/A", std::min<std::size_t>(width, 3));
    }
  }
  const row_data* row = add_stored_row(c, c.dummy_row, c.row_length);
  if (c.trace) {
    PRINT('t', "cdu4515", "Added dummy last row\n");
    proded(row->ordinal, row->data(), c.row_length);
  }
  return 0;
}

}  // namespace qrx
