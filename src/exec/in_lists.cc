#include "exec/in_lists.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/sql_quoting.h"
#include "exec/stored_rows.h"

namespace qrx {

namespace {

// `value` without a UTF-8 sequence cut short at its end (a column width can
// end inside a character): such bytes are no text the server would accept.
std::string_view whole_characters(std::string_view value) {
  std::size_t end = value.size();
  std::size_t lead = end;
  // At most three continuation bytes precede the lead byte of a sequence.
  while (lead > 0 && end - lead < 4 && (static_cast<unsigned char>(value[lead - 1]) & 0xC0) == 0x80) --lead;
  if (lead == 0) return value;
  const auto first = static_cast<unsigned char>(value[lead - 1]);
  if (first < 0xC0) return value;  // ASCII (or a stray continuation byte left as it is)
  const std::size_t needed = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
  return end - (lead - 1) < needed ? value.substr(0, lead - 1) : value;
}

// One list element: a character value between quotes, its quotes doubled so
// that the value cannot end the literal; a numeric field as it is, an empty
// one as 0 (as a decode's "in" reads it), so that the list stays SQL.
std::string element(const columns& col, const char* field) {
  const auto width = static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0));
  std::string_view value(field, width);
  if (col.col_type == kColNumeric)
    return value.find_first_not_of(std::string_view(" \0", 2)) == std::string_view::npos ? "0" : std::string(value);
  const std::size_t end = value.find_last_not_of(std::string_view(" \0", 2));
  value = end == std::string_view::npos ? std::string_view{} : value.substr(0, end + 1);
  return "'" + doubled_quotes(whole_characters(value), '\'', false) + "'";
}

}  // namespace

int edit_in_lists(cursor_set& cursors) {
  int failed = 0;
  for (const auto& cp : cursors.cur_anchor) {
    curs& c = *cp;
    for (in_list& list : c.in_lists) {
      list.source = column_named(c, list.column);
      if (!list.source) {
        PRINT('e', "pin3260", "Referenced column(%s) not found for in_list %s, Cursor %s\n", list.column.c_str(),
              list.using_name.c_str(), c.name.c_str());
        failed = 1;
      }
    }
  }
  if (failed)
    PRINT('e', "pin3270", "In_list editing failed\n");
  else
    PRINT('i', "pin3265", "In_list editing successful\n");
  return failed;
}

void build_in_list(curs& c) {
  for (in_list& list : c.in_lists) {
    list.list = std::string(kInListDefault);
    list.built = true;
    if (!list.source) list.source = column_named(c, list.column);
    if (!list.source) continue;
    std::string text;
    int count = 0;
    for (const row_data* row = c.stored.first(); row; row = row->next) {
      if (!in_current_sample(c, *row)) continue;
      text += count++ == 0 ? "( " : " , ";
      text += element(*list.source, row->data() + list.source->stored_offset);
    }
    if (count > 0) list.list = text + " )";
    if (c.trace)
      PRINT('t', "cin3280", "In_list(%s(%d)) for %s = %.100s\n", list.using_name.c_str(),
            static_cast<int>(list.list.size()), c.name.c_str(), list.list.c_str());
  }
}

}  // namespace qrx
