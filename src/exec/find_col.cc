#include "exec/find_col.h"

#include <cctype>
#include <cstdlib>

#include "base/log.h"
#include "base/trace.h"
#include "ctl/versions.h"
#include "exec/host_merge.h"
#include "exec/percent_cursor.h"

namespace qrx {

namespace {

constexpr std::size_t kCursorPartMax = 20;   // characters before "." in a column reference
constexpr std::size_t kInListCursorMax = 20;
constexpr std::size_t kInListNameMax = 79;

}  // namespace

columns* search_curs_vers_insert(curs& c, std::string_view name) {
  if (!name.empty() && std::isdigit(static_cast<unsigned char>(name[0]))) {
    int n = std::atoi(std::string(name).c_str());
    if (n < 1) n = 1;
    return n <= static_cast<int>(c.cols.size()) ? c.cols[static_cast<std::size_t>(n - 1)].get()
                                                : nullptr;
  }
  return column_named(c, name);
}

columns* search_inactive_versions(curs& c, std::string_view name) {
  if (!c.versions) return nullptr;
  if (trace_level(8))
    PRINT('w', "pde5000", "Column %s not found in the active version of the cursor %s:going through inactive versions\n",
          std::string(name).c_str(), c.name.c_str());
  const version_set& set = *c.versions;
  columns* found = nullptr;
  const std::string* found_time = nullptr;
  for (std::size_t i = 0; i < set.records.size(); ++i) {
    if (i == set.current) continue;  // its contents are in the slot
    curs& record = *set.records[i];
    columns* col = search_curs_vers_insert(record, name);
    if (col && (!found || record.selection_time > *found_time)) {
      found = col;
      found_time = &record.selection_time;
    }
  }
  return found;
}

int find_col(curs& c, std::string_view name, columns** column, curs** cursor) {
  *column = nullptr;
  *cursor = nullptr;
  const std::string text(name);
  if (columns* own = column_named(c, name)) {
    *column = own;
    *cursor = &c;
    return 0;
  }
  if (!name.empty() && name[0] == '%') {
    cursor_set* cursors = c.owning_set;
    columns* pc = cursors && cursors->percent_cursor ? find_pcnt_col(*cursors, name) : nullptr;
    if (!pc) {
      PRINT('e', "pde3950", "Column %s not found\n", text.c_str());
      return 1;
    }
    *column = pc;
    *cursor = cursors->percent_cursor;
    return 0;
  }
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos) {
    PRINT('e', "pde3955", "Column %s not found\n", text.c_str());
    return 1;
  }
  if (dot >= kCursorPartMax) {
    PRINT('e', "pde3960", "Cursor name too long in %s\n", text.c_str());
    return 1;
  }
  curs* other = c.owning_set ? c.owning_set->find_cursor(std::string(name.substr(0, dot))) : nullptr;
  if (!other) {
    PRINT('e', "pde3965", "Cursor %s not found in text %s\n", std::string(name.substr(0, dot)).c_str(),
          text.c_str());
    return 1;
  }
  const std::string col_name(name.substr(dot + 1));
  columns* col = search_curs_vers_insert(*other, col_name);
  if (!col) {
    PRINT('h', "pde3970", "Column (%s) not found in text '%s'\n", col_name.c_str(), text.c_str());
    return 1;
  }
  *column = col;
  *cursor = other;
  return 0;
}

const std::string* find_in_list(cursor_set& cursors, std::string_view text) {
  const std::string all(text);
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot > kInListCursorMax ||
      text.size() - dot - 1 > kInListNameMax || dot + 1 == text.size()) {
    PRINT('e', "pin4500", "In_list reference in decode is invalid : %s\n", all.c_str());
    return nullptr;
  }
  curs* owner = cursors.find_cursor(std::string(text.substr(0, dot)));
  if (!owner) {
    PRINT('e', "pin4505", "In_list reference in decode is to non-existent cursor : %s\n",
          all.c_str());
    return nullptr;
  }
  const in_list* found = in_list_by_name(*owner, std::string(text.substr(dot + 1)));
  const std::string* list = found ? &found->list : nullptr;
  if (!list)
    PRINT('e', "pin4510", "In_list reference in decode is to non-existent in_list : %s\n",
          all.c_str());
  return list;
}

}  // namespace qrx
