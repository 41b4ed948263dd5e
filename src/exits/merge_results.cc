#include "exits/merge_results.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "base/log.h"
#include "base/trace.h"
#include "exec/dummy_rows.h"
#include "exec/merge_text.h"
#include "exec/percent_cursor.h"

namespace qrx {

namespace {

void hold(curs& c) { c.hold = 'Y'; }

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Index of the definition named `name` (any case), or -1.
int find_definition(const DB_DATA& table, const std::string& name) {
  for (std::size_t i = 0; i < table.columns.size(); ++i)
    if (same_name(table.columns[i].name, name)) return static_cast<int>(i);
  return -1;
}

void trace_definitions(const curs& c, const DB_DATA& table) {
  PRINT('t', "cmr1534", "Enter ccmr_mergeResults() for cursor %s.", c.name.c_str());
  PRINT('t', "cmr1540", "Database column information follows:\n");
  for (const COLUMN_DATA& d : table.columns)
    PRINT('t', "cmr1545", "Col #%2d= %32.32s, datatype= %d(%d) datalen= %d(%d)\n", d.position,
          d.name.c_str(), d.eDATATYPE, d.db_type, d.db_length, d.length);
  PRINT('t', "cmr1541", "Looping cursor  %s 's insert_columns!", c.name.c_str());
}

// Checks that every column of `c` can be bound to the table on the first
// row, with this path's messages; false when no row can be built.
bool check_binding(curs& c, const DB_DATA& table) {
  const int count = static_cast<int>(table.columns.size());
  for (const auto& owned : c.cols) {
    const columns& col = *owned;
    if (!col.name.empty() && col.name[0] == '%') {
      if (!percent_column_of(c, col.name)) {
        PRINT('e', "cmr1560", "Un-identified percent variable %s\n", col.name.c_str());
        hold(c);
        return false;
      }
    } else if (col.qualified) {
      const curs* source = col.source_cursor;
      if (source && source->hold == 'Y') {
        PRINT('w', "cmr1565", "Base cursor held, holding %s\n", c.name.c_str());
        hold(c);
        return false;
      }
      if (!source || !col.source_column || source->stored.empty()) {
        PRINT('w', "cmr1570", "Base cursor has no last row, holding %s\n", c.name.c_str());
        hold(c);
        return false;
      }
    } else if (col.occurrence > 0) {
      if (col.occurrence > count) {
        PRINT('e', "cmr1580", "Occurance (%d) exceeds number of select columns (%d)\n",
              col.occurrence, count);
        return false;
      }
    } else if (col.function != kFnCount && find_definition(table, col.name) < 0) {
      PRINT('e', "cmr1590", "No database column found for %s.%s\n", c.name.c_str(),
            col.name.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<fetched_column> result_items(const curs& c, const DB_DATA& table, const ROW_DATA* row,
                                         std::vector<std::string>& names) {
  names.clear();
  for (const COLUMN_DATA& d : table.columns) names.push_back(d.name);
  // The row builder compares names exactly: each definition takes the
  // spelling of the cursor column it matches.
  for (const auto& col : c.cols) {
    if (col->occurrence > 0 || col->qualified || col->name.empty() || col->name[0] == '%') continue;
    const int at = find_definition(table, col->name);
    if (at >= 0) names[at] = col->name;
  }
  std::vector<fetched_column> items(table.columns.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const COLUMN_DATA& d = table.columns[i];
    fetched_column& f = items[i];
    f.name = names[i];
    f.fetch_length = std::max<int32_t>(d.length, 0);
    f.type = d.col_type;
    f.numeric = d.col_type == kColNumeric;
    if (row && i < row->cols.size() && row->cols[i].value) {
      const ROW_COLUMN& rc = row->cols[i];
      f.data = rc.value;
      f.length = static_cast<int>(strnlen(rc.value, static_cast<std::size_t>(std::max(rc.length, 0))));
      f.indicator = rc.indicator > 0 ? 0 : -1;
    }
  }
  return items;
}

int ccmr_mergeResults(curs& c, const DB_DATA& table, const ROW_DATA& row,
                      std::string_view time_stamp) {
  if (c.trace && c.show_cursor) trace_definitions(c, table);
  if (!c.layout_fixed && !check_binding(c, table)) return 0;
  std::vector<std::string> names;
  const std::vector<fetched_column> items = result_items(c, table, &row, names);
  const fetched_row view(items);
  const bool first = !c.layout_fixed;
  const int length = merge_text(c, &view, time_stamp);
  if (first && length > 0 && c.trace)
    for (const auto& col : c.cols)
      PRINT('t', "cmr1591", "cursor %s col %s len %d offset %d\n", c.name.c_str(),
            col->name.c_str(), col->stored_length, col->stored_offset);
  return length;
}

int ccmr_setup_dummy(curs& c, const DB_DATA* table) {
  if (!table) return setup_dummy(c, nullptr);
  std::vector<std::string> names;
  const std::vector<fetched_column> items = result_items(c, *table, nullptr, names);
  const fetched_row view(items);
  return setup_dummy(c, &view);
}

}  // namespace qrx
