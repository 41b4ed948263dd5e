#include "exec/host_merge.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "base/log.h"
#include "ctl/control_parse.h"
#include "exec/percent_cursor.h"
#include "exec/sql_quoting.h"

namespace qrx {

namespace {

constexpr std::size_t kReferenceScan = 50;  // characters searched for the end of a cursor part
constexpr std::size_t kCursorPartMax = 9;   // a "." further on is no cursor part
constexpr std::string_view kNameEnds = " '+-*/,()";
constexpr std::string_view kQuotedExcept = "DISABLE";

// The messages that differ between the first merge and its replays.
struct MergeMessages {
  const char* no_row_id;
  bool first;  // the data-type message also names the merged cursor
  const char* produced_id;
};
constexpr MergeMessages kFirstMerge = {"cmg3235", true, "cmg3242"};
constexpr MergeMessages kReplay = {"cmg3245", false, "cmg3255"};

std::string_view trim_right(std::string_view text) {
  const std::size_t end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

// Appends `text` unless the output would outgrow the SQL buffer.
bool append(const curs& c, std::string& out, std::string_view text) {
  if (out.size() + text.size() >= kSqlBufferSize) {
    PRINT('e', "cmg3260", "Merged sql for cursor %s exceeds %zu bytes\n", c.name.c_str(), kSqlBufferSize - 1);
    return false;
  }
  out.append(text);
  return true;
}

// Appends `value` between quotes of its own.
bool append_quoted(const curs& c, std::string& out, std::string_view value) {
  return append(c, out, "'") && append(c, out, value) && append(c, out, "'");
}

// How the substitution rules write a value.
enum class Form {
  kBare,    // after a "!": trailing blanks removed, no quotes of its own
  kQuoted,  // in quotes of its own, trailing blanks removed
  kWhole,   // the whole field, padding included, no quotes
  kList,    // an in-list text: quoted texts and numbers in parentheses
};

// What ends each kind of comment or dollar-quoted text.
std::string_view enders(SqlPlace::Kind kind) {
  switch (kind) {
    case SqlPlace::kLineComment: return "\n\r";
    case SqlPlace::kBlockComment: return "*/";
    case SqlPlace::kDollarQuoted: return "$";
    default: return "";
  }
}

// Writes `value` of the reference `seg` where the text so far ends, so that
// it stays data there: its quotes doubled inside a quoted text, in quotes of
// its own (quotes doubled) in plain SQL where its form has them, otherwise
// only as a number; in a comment, only when it cannot end the comment.
// False after logging why the value may not go there.
bool write_value(curs& c, const hv_segment& seg, std::string& out, Form form, std::string_view value) {
  const char* from_name = seg.cursor ? seg.cursor->name.c_str() : "";
  const char* name = seg.list ? (seg.list->using_name.empty() ? seg.list->column : seg.list->using_name).c_str()
                              : seg.column->name.c_str();
  // A refused value fails the run: the reason is kept for the status reply.
  const auto refuse = [&](const char* id, const char* why) {
    PRINT('e', id, "Value of %s.%s %s, cursor %s\n", from_name, name, why, c.name.c_str());
    c.error_text = std::string("Value of ") + from_name + "." + name + " " + why;
    return false;
  };
  const auto changes_sql = [&] { return refuse("cmg3270", "would change the sql around it"); };
  if (value.find('\0') != std::string_view::npos || (form == Form::kList && !is_sql_value_list(value)))
    return changes_sql();
  const SqlPlace place = sql_place_after(out);
  switch (place.kind) {
    case SqlPlace::kCode:
      if (form == Form::kQuoted) return append_quoted(c, out, doubled_quotes(value, '\'', place.backslash));
      if (form == Form::kList) return append(c, out, value);
      break;
    case SqlPlace::kQuoted:
      // A form with quotes of its own would close the text it stands in.
      if (form == Form::kQuoted || form == Form::kList || place.escape_open) return changes_sql();
      return append(c, out, doubled_quotes(value, place.quote, place.backslash));
    case SqlPlace::kLineComment:
    case SqlPlace::kBlockComment:
    case SqlPlace::kDollarQuoted:
      if (value.find_first_of(enders(place.kind)) != std::string_view::npos) return changes_sql();
      return form == Form::kQuoted ? append_quoted(c, out, value) : append(c, out, value);
    case SqlPlace::kUnknown:
      if (form == Form::kList) return changes_sql();
      break;
  }
  if (!is_sql_number(value)) return refuse("cmg3265", "is not a number outside quotes");
  // "-" and a negative number would make a comment of the rest of the line.
  if (form != Form::kQuoted && !out.empty() && out.back() == '-' && value.front() == '-') return changes_sql();
  return form == Form::kQuoted ? append_quoted(c, out, value) : append(c, out, value);
}

// Writes the value of a column reference by the substitution rules.
bool write_column(curs& c, const hv_segment& seg, std::string& out, const MergeMessages& m) {
  const curs* from = seg.cursor;
  const columns& col = *seg.column;
  const char* from_name = from ? from->name.c_str() : "";
  const row_data* last = from ? from->stored.last() : nullptr;
  if (!last) {
    PRINT('e', m.no_row_id, "No last row for %s.%s, cursor %s\n", from_name, col.name.c_str(), c.name.c_str());
    return false;
  }
  if (col.data_type != kColCharacter) {
    if (m.first)
      PRINT('e', "cmg3240", "Invalid data_type(%d) for %s.%s, cursor %s\n", col.data_type, from_name,
            col.name.c_str(), c.name.c_str());
    else
      PRINT('e', "cmg3250", "Invalid data_type(%d) for %s.%s\n", col.data_type, from_name, col.name.c_str());
    return false;
  }
  // A cursor's SQL code is copied into the percent row only when read.
  if (from == from->owning_set->percent_cursor) sync_percent_value(*from->owning_set, last->data() + col.stored_offset);
  const std::string_view field(last->data() + col.stored_offset,
                               static_cast<std::size_t>(std::max<int16_t>(col.stored_length, 0)));
  if (!out.empty() && out.back() == '!') {
    out.pop_back();
    return write_value(c, seg, out, Form::kBare, trim_right(field));
  }
  if (col.col_type != kColNumeric && col.name.find(kQuotedExcept) == std::string::npos) {
    std::string_view kept = trim_right(field);
    // A value ending in a quote keeps the blank behind it before the closing quote.
    if (!kept.empty() && kept.back() == '\'' && kept.size() < field.size()) kept = field.substr(0, kept.size() + 1);
    return write_value(c, seg, out, Form::kQuoted, kept);
  }
  return write_value(c, seg, out, Form::kWhole, field);
}

bool write_segment(curs& c, const hv_segment& seg, std::string& out, const MergeMessages& m) {
  if (seg.kind == hv_segment::kText)
    return append(c, out, std::string_view(c.sql_text).substr(seg.start, seg.length));
  if (seg.list) return write_value(c, seg, out, Form::kList, seg.list->list);
  return write_column(c, seg, out, m);
}

// The merged text for the trace: SQL punctuation stays, line ends and other
// control characters become blanks and dots.
void trace_result(const curs& c, const std::string& out, const MergeMessages& m) {
  if (!c.trace) return;
  std::string shown = out;
  for (char& ch : shown) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7f) ch = std::isspace(byte) ? ' ' : '.';
  }
  PRINT('t', m.produced_id, "HV merge produced: %s\n", shown.c_str());
}

columns* column_by_name(curs& c, const std::string& name) {
  for (const auto& col : c.cols)
    if (col->name == name) return col.get();
  return nullptr;
}

// Resolves "[CURSOR.NAME" (`rest` starts after the point) into `ref`; false after logging.
bool resolve_cursor_reference(curs& c, std::string_view cursor_part, std::string_view& rest, hv_segment& ref) {
  cursor_part.remove_prefix(std::min(cursor_part.find_first_not_of(' '), cursor_part.size()));
  const std::string cursor_name(cursor_part.substr(0, std::min(cursor_part.find(' '), cursor_part.size())));
  rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  const std::string name = extract_col_name(rest);
  curs* from = c.owning_set ? c.owning_set->find_cursor(cursor_name) : nullptr;
  if (!from) {
    PRINT('e', "cmg3205", "Cursor %s not found for %s.%s in sql for %s\n", cursor_name.c_str(), cursor_name.c_str(),
          name.c_str(), c.name.c_str());
    return false;
  }
  ref.cursor = from;
  if (!name.empty() && std::isdigit(static_cast<unsigned char>(name[0]))) {
    const int ordinal = std::max(std::atoi(name.c_str()), 1);
    if (static_cast<std::size_t>(ordinal) <= from->cols.size()) ref.column = from->cols[ordinal - 1].get();
  } else {
    ref.column = column_by_name(*from, name);
  }
  if (ref.column) return true;
  ref.list = in_list_by_name(*from, name);
  if (!ref.list) {
    PRINT('e', "cmg3230", "Column %s not found for %s.%s in sql for %s\n", name.c_str(), cursor_name.c_str(),
          name.c_str(), c.name.c_str());
    return false;
  }
  if (!ref.list->filled()) {
    PRINT('i', "cmg3210", "Merging %s for sel in %s, in_list not initialized\n", name.c_str(), c.name.c_str());
    PRINT('w', "cmg3215", "Cursor %s not yet executed\n", from->name.c_str());
    PRINT('w', "cmg3220", "Holding cursor %s\n", c.name.c_str());
    c.hold = 'Y';
    return false;
  }
  if (from->trace) PRINT('t', "cmg3225", "matched to in_list %s\n", name.c_str());
  return true;
}

}  // namespace

in_list* in_list_by_name(curs& c, const std::string& name) {
  for (in_list& list : c.in_lists)
    if (list.using_name == name) return &list;
  for (in_list& list : c.in_lists)
    if (list.column == name) return &list;
  return nullptr;
}

std::string extract_col_name(std::string_view& text) {
  const std::size_t end = std::min(text.find_first_of(kNameEnds), text.size());
  std::string name(text.substr(0, end));
  text.remove_prefix(end);
  return name;
}

std::size_t set_hvs_in_sel(curs& c, std::string& out) {
  if (c.hv_built) return set_hvs_in_sel_2(c, out);
  out.clear();
  c.hv_segments.clear();
  const std::string_view sql = c.sql_text;
  const auto fail = [&c] {
    c.hv_segments.clear();
    return std::size_t{0};
  };
  std::size_t text_start = 0;
  std::size_t at = 0;
  while ((at = sql.find('[', at)) != std::string_view::npos) {
    std::size_t stop = std::string_view::npos;
    const std::string_view scanned = sql.substr(at + 1, kReferenceScan);
    for (std::size_t n = 0; n < scanned.size(); ++n) {
      if ((scanned[n] == '.' && n < kCursorPartMax) || scanned[n] == '%') {
        stop = n;
        break;
      }
    }
    if (stop == std::string_view::npos) {  // a plain "["
      ++at;
      continue;
    }
    hv_segment text{hv_segment::kText, text_start, at - text_start};
    if (!write_segment(c, text, out, kFirstMerge)) return fail();
    c.hv_segments.push_back(text);

    hv_segment ref{hv_segment::kReference};
    // The name may run past the scanned part: it ends only at its own end characters.
    std::string_view rest = sql.substr(at + 1 + stop);
    if (scanned[stop] == '%') {
      const std::string name = extract_col_name(rest);
      ref.column = percent_column_of(c, name);
      if (!ref.column) {
        PRINT('e', "cmg3232", "Column %s not found, cursor %s \n", name.c_str(), c.name.c_str());
        return fail();
      }
      ref.cursor = c.owning_set->percent_cursor;
    } else {
      rest.remove_prefix(1);
      if (!resolve_cursor_reference(c, scanned.substr(0, stop), rest, ref)) return fail();
    }
    if (!write_segment(c, ref, out, kFirstMerge)) return fail();
    c.hv_segments.push_back(ref);
    text_start = at = static_cast<std::size_t>(rest.data() - sql.data());
  }
  hv_segment tail{hv_segment::kText, text_start, sql.size() - text_start};
  if (!write_segment(c, tail, out, kFirstMerge)) return fail();
  c.hv_segments.push_back(tail);
  c.hv_built = 1;
  trace_result(c, out, kFirstMerge);
  return out.size();
}

std::size_t set_hvs_in_sel_2(curs& c, std::string& out) {
  out.clear();
  for (const hv_segment& seg : c.hv_segments)
    if (!write_segment(c, seg, out, kReplay)) return 0;
  trace_result(c, out, kReplay);
  return out.size();
}

}  // namespace qrx
