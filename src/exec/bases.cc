#include "exec/bases.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/find_col.h"
#include "exec/stored_rows.h"

namespace qrx {

namespace {

std::string_view trimmed(std::string_view value) {
  value = value.substr(0, std::min(value.find('\0'), value.size()));
  const std::size_t first = value.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return value.substr(first, value.find_last_not_of(' ') - first + 1);
}

const fetched_column* item_named(const fetched_row& row, const std::string& name) {
  for (const fetched_column& f : row)
    if (f.name == name) return &f;
  return nullptr;
}

// The first row of `b`'s cursor (current sample) whose base column holds
// `value`. Values are compared without their padding, so that a number
// right-aligned in fields of different widths still matches.
const row_data* matching_row(const curs& c, const base& b, std::string_view value) {
  const curs& of = *b.cursor;
  const columns& col = *b.column;
  const auto width = static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0));
  if (c.trace) PRINT('t', "cba3355", "Looking for (%d) - (%.*s)\n", static_cast<int>(value.size()),
                     static_cast<int>(value.size()), value.data());
  for (const row_data* row = of.stored.first(); row; row = row->next) {
    if (!in_current_sample(of, *row)) continue;
    const std::string_view field(row->data() + col.stored_offset, width);
    if (c.trace) PRINT('t', "cba3360", "    Found (%.*s)\n", static_cast<int>(width), field.data());
    if (trimmed(field) == value) return row;
  }
  return nullptr;
}

}  // namespace

int edit_bases(cursor_set& cursors) {
  int failed = 0;
  const std::string where = current_message_location();
  for (const auto& cp : cursors.cur_anchor) {
    curs& c = *cp;
    for (base& b : c.bases) {
      set_message_location(b.location);
      b.cursor = cursors.find_cursor(b.name);
      if (!b.cursor) {
        PRINT('e', "pba3300", "Base cursor (%s) not found, cursor %s\n", b.name.c_str(), c.name.c_str());
        failed = 1;
        continue;
      }
      if (b.cursor == &c) {
        PRINT('e', "pba3295", "Can't use yourself as base cursor(%s)\n", b.name.c_str());
        failed = 1;
        continue;
      }
      if (b.cursor->is_virtual) {
        PRINT('e', "pba3305", "Base cursor (%s) cannot be a virtual table, cursor %s\n", b.name.c_str(),
              c.name.c_str());
        failed = 1;
        continue;
      }
      b.column = search_curs_vers_insert(*b.cursor, b.target);
      if (!b.column) {
        PRINT('e', "pba3310", "Referenced column(%s) not found for base %s, cursor %s\n", b.target.c_str(),
              b.name.c_str(), c.name.c_str());
        failed = 1;
        continue;
      }
      if (c.trace) PRINT('t', "smf1140", "Base cursor (%s) col (%s)\n", b.name.c_str(), b.target.c_str());
    }
  }
  set_message_location(where);
  if (failed)
    PRINT('s', "pba3325", "Base references editing failed\n");
  else
    PRINT('i', "pba3320", "Base references editing successful\n");
  return failed;
}

int set_bases(curs& c, const fetched_row& row) {
  for (base& b : c.bases) {
    b.row = nullptr;
    if (!b.cursor || !b.column) continue;
    const curs& of = *b.cursor;
    const fetched_column* item = item_named(row, b.item);
    if (!item) {
      PRINT('w', "cba3330", "Failed to find SQLDA name %s. Using 'last_row'\n", b.item.c_str());
      b.row = of.stored.last();
      continue;
    }
    const std::string_view value =
        item->indicator < 0 || !item->data ? std::string_view{} : trimmed(std::string_view(item->data, item->length));
    b.row = matching_row(c, b, value);
    if (b.row) continue;
    b.row = of.stored.last();
    if (&of == c.age_target && !b.row) continue;
    if (!of.dummy_last_row && !of.conditional_dummy_last_row) {
      if (c.base_warned != b.item) {
        PRINT('w', "cba3350", "Failed to find source row matching %s. Using 'last_row'\n", b.item.c_str());
        c.base_warned = b.item;
      }
    } else {
      PRINT('i', "cba3345", "Using dummy last row in %s to match %s\n", of.name.c_str(), b.item.c_str());
    }
  }
  for (const base& b : c.bases) {
    if (!b.row && b.cursor != c.age_target) {
      PRINT('e', "cba3365", "Have no base row in cursor %s\n", b.name.c_str());
      return 1;
    }
  }
  return 0;
}

const char* locate_base(const curs& of, const curs& c, int32_t offset) {
  const row_data* row = of.stored.last();
  for (const base& b : c.bases)
    if (b.cursor == &of && b.row) row = b.row;
  return row ? row->data() + offset : nullptr;
}

}  // namespace qrx
