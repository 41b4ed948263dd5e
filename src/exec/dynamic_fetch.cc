#include "exec/dynamic_fetch.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>

#include "base/clock.h"
#include "base/codepage.h"
#include "base/dump.h"
#include "base/log.h"
#include "base/relative_time.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "exec/age_to.h"
#include "exec/host_merge.h"
#include "exec/merge_text.h"
#include "exec/set_len.h"
#include "qrx/distributor.h"
#include "session/database.h"

namespace qrx {

namespace {

constexpr int kNumberDigitsDefault = 19;  // NUMBER declared without precision
constexpr int kDateLength = 9;            // DD-MON-YY
constexpr size_t kStatusWidth = 16;       // the cursor's status text

// How a column of a type code is fetched.
enum class Fetch { kCharacter, kNumber, kDate, kRaw, kRefused };

struct TypeRule {
  int code;
  const char* name;
  Fetch fetch;
  const char* refusal_id;      // kRefused: the message that names the column
  const char* refusal_format;  // with the column name as "%.*s"
};

const TypeRule kTypeRules[] = {
    {sqlrt::kTypeVarchar, "O_CHAR", Fetch::kCharacter, nullptr, nullptr},
    {sqlrt::kTypeChar, "O_CHAR", Fetch::kCharacter, nullptr, nullptr},
    {sqlrt::kTypeNumber, "O_NUMBER", Fetch::kNumber, nullptr, nullptr},
    {sqlrt::kTypeDate, "O_DATE", Fetch::kDate, nullptr, nullptr},
    {sqlrt::kTypeRaw, "O_RAWD", Fetch::kRaw, nullptr, nullptr},
    {sqlrt::kTypeLong, "O_LONG", Fetch::kRefused, "oru0011", "Don't support LONG for <%.*s>\n"},
    {sqlrt::kTypeLongRaw, "O_LONGRAW", Fetch::kRefused, "oru0013", "Don't support LONGRAW for <%.*s>\n"},
    {sqlrt::kTypeRowid, "O_ROWID", Fetch::kRefused, "oru0014", "Don't support ROWID for <%.*s>\n"},
};

const TypeRule kUnknownType = {0, "default", Fetch::kRefused, nullptr, nullptr};

const TypeRule& rule_for(int code) {
  for (const TypeRule& rule : kTypeRules)
    if (rule.code == code) return rule;
  return kUnknownType;
}

const char* charset_name(int flag) {
  switch (flag) {
    case sqlrt::kNonUnicode: return "non-Unicode";
    case sqlrt::kUnicode: return "Unicode";
    case sqlrt::kUtf8: return "UTF-8";
    default: return "non-character";
  }
}

int name_length(const std::string& name) { return static_cast<int>(name.size()); }

// One select column during a run.
struct RunColumn {
  const sqlrt::ColumnDesc* desc = nullptr;
  int fetch_length = 0;
  int offset = 0;
  int orig_type = 1;
  bool number = false;
  bool convert = false;  // character data in a code page or UTF-16, turned into UTF-8
};

// Bytes a UTF-16 column is fetched with: one unit gives at least one byte of
// UTF-8, so the place never holds more units than bytes.
int unicode_fetch_bytes(const RunColumn& col) { return col.fetch_length * 2; }

// Records the last statement's code on the cursor and checks it. The status
// text is rewritten in place: this runs once per fetched row.
int checked(curs& c, const std::string& sql, const char* label) {
  int code = check_sql_code(sql, label, true);
  // Checked for every fetched row: an unchanged success is already written.
  static constexpr std::string_view kSuccess = "               0";
  static_assert(kSuccess.size() == kStatusWidth);
  if (code == 0 && c.result_code == 0 && c.status == kSuccess) return 0;
  c.result_code = code;
  if (code != 0 && code != sqlrt::kNoData) c.error_text = sqlca.text;
  char digits[16];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, code);
  const auto n = static_cast<size_t>(end - digits);
  c.status.assign(kStatusWidth - n, ' ');
  c.status.append(digits, n);
  return code;
}

// Logs the column attributes traced at describe time (trace slot 7).
void trace_describe(const sqlrt::ColumnDesc& d, const TypeRule& rule) {
  PRINT('t', "oru0120", "Column name: <%.*s>\n", name_length(d.name), d.name.c_str());
  PRINT('t', "oru0125", "Column type (code): <%d>\n", d.type);
  PRINT('t', "oru0130", "Column type (name): <%s>\n", rule.name);
}

void trace_sizes(const sqlrt::ColumnDesc& d, int fetch_len) {
  PRINT('t', "oru0135", "NLS flag (%d): <%s>\n", d.charset, charset_name(d.charset));
  PRINT('t', "oru0140", "Column size (chars): <%d>\n", d.size_chars);
  PRINT('t', "oru0145", "Column size (bytes): <%d>\n", d.size_bytes);
  PRINT('t', "oru0150", "Allocated column size (bytes): <%d>\n", fetch_len);
}

// The returned length of a fetched value, within the column's place.
int returned_length(const RunColumn& col, const sqlrt::Binding& b) {
  int bytes = b.returned_bytes;
  const int size_bytes = col.desc->size_bytes;
  if (bytes > size_bytes) bytes = size_bytes;
  if (bytes == 0) {
    if (trace_level(8))
      PRINT('t', "oin0266", "Reset the returned_octet_length from %d to col_size_bytes[i]:%d\n", bytes, size_bytes);
    bytes = size_bytes;
    if (bytes > MAX_COL_LEN) {
      if (trace_level(8)) PRINT('t', "oin0267", "Reset the returned_octet_length from %d to MAX_COL_LEN\n", bytes);
      bytes = MAX_COL_LEN;
    }
  }
  // The place is all the row buffer holds for the column.
  return std::min(bytes, col.fetch_length);
}

// Moves a number's text to the end of its place, blanks in front.
void right_justify(char* place, int fetch_len) {
  const int used = static_cast<int>(strnlen(place, static_cast<size_t>(fetch_len)));
  if (trace_level(8)) PRINT('t', "oru0215", "Doing right justification\n");
  std::memmove(place + (fetch_len - used), place, static_cast<size_t>(used));
  std::memset(place, ' ', static_cast<size_t>(fetch_len - used));
}

// Converts column `col`'s fetched text (`fetched`) into UTF-8 in its place
// through `work` (the column's fetch length at least); returns the bytes now
// in the place. A text that does not convert is logged and converted again
// with U+FFFD for what is invalid; when even that fails (no locale), bytes
// outside ASCII become '?', so the row never holds what is not UTF-8.
int convert_to_utf8(const RunColumn& col, std::string_view fetched, char* place, std::span<char> work) {
  const sqlrt::ColumnDesc& d = *col.desc;
  const std::span<char> out = work.first(static_cast<size_t>(col.fetch_length));
  const bool unicode = d.charset == sqlrt::kUnicode;
  if (trace_level(8)) {
    if (unicode) {
      PRINT('t', "oru0190", "Unicode conversion\n");
    } else {
      char name[64];
      systm.getCodepageInfo(0, name);
      PRINT('t', "oru0195", "Non-Unicode conversion\n");
      PRINT('t', "oru0200", "Code page CCSID: <%d>\n", systm.getCodepage());
      PRINT('t', "oru0205", "Code page name: <%s>\n", name);
      if (static_cast<int>(fetched.size()) != d.size_chars)
        PRINT('t', "oru0266", "Overriding bytes to convert: <%d>\n", static_cast<int>(fetched.size()));
    }
  }
  auto convert = [&](int options) {
    return unicode ? Convert_UnicodeToUTF8_wopt(out, fetched, options) : Convert_toUTF8_wopt(out, fetched, options);
  };
  int converted = convert(kConvertStrict);
  if (converted <= 0) {
    PRINT('w', "oru0210", "UTF-8 conversion failed for column: <%.*s>\n", name_length(d.name), d.name.c_str());
    converted = convert(kConvertSubstitute);
  }
  if (converted <= 0) {
    if (unicode) return 0;
    const int kept = static_cast<int>(fetched.size());
    for (int i = 0; i < kept; ++i)
      if (static_cast<unsigned char>(place[i]) >= 0x80) place[i] = '?';
    return kept;
  }
  std::memcpy(place, out.data(), static_cast<size_t>(converted));
  std::memset(place + converted, 0, static_cast<size_t>(col.fetch_length - converted));
  return converted;
}

void trace_merge_values(const std::vector<RunColumn>& cols, const std::vector<fetched_column>& row, int16_t* ind) {
  for (size_t i = 0; i < row.size(); ++i) {
    const sqlrt::ColumnDesc& d = *cols[i].desc;
    PRINT('t', "oru0230", "Values to merge_text for column number: <%d>\n", static_cast<int>(i + 1));
    PRINT('t', "oru0235", "orig_type: <%d>\n", cols[i].orig_type);
    PRINT('t', "oru0240", "lda->S: %.*s\n", name_length(d.name), d.name.c_str());
    PRINT('t', "oru0245", "lda->C: <%d>\n", name_length(d.name));
    PRINT('t', "oru0250", "lda->F: <%d>\n", static_cast<int>(cols.size()));
    PRINT('t', "oru0255", "lda->I: <%d>\n", ind[i]);
    PRINT('t', "oru0260", "lda->L: <%d>\n", cols[i].fetch_length);
    PRINT('t', "oru0265", "lda->V:\n");
    u_print_dumpx("oru0265", row[i].data, static_cast<size_t>(row[i].fetch_length));
  }
}

}  // namespace

int merge_fetched_row(curs& c, const fetched_row* row, const std::string& time) {
  return merge_text(c, row, time);
}

FetchHooks& fetch_hooks() {
  static FetchHooks hooks;
  return hooks;
}

void cleanup(SelectDescriptor& descriptor) {
  if (descriptor.statement) descriptor.statement->close();
  descriptor.statement.reset();
  descriptor.columns.clear();
}

int fetch_length(const sqlrt::ColumnDesc& d) {
  switch (rule_for(d.type).fetch) {
    case Fetch::kCharacter: return std::min(d.size_chars * 3, MAX_COL_LEN);
    case Fetch::kNumber: return (d.precision ? d.precision : kNumberDigitsDefault) + 2 + std::max(0, -d.scale);
    case Fetch::kDate: return kDateLength;
    case Fetch::kRaw: return d.length * 2;
    case Fetch::kRefused: return 0;
  }
  return 0;
}

int prep_l_fetch(curs& c, const std::string& time_text, int32_t& rows_out) {
  if (c.once && c.rows > 0) return 0;

  const PreciseTime started = precise_now();
  const std::time_t now = started.seconds;
  if (!c.iterated) {
    c.previous_start = c.last_start;
    c.last_start = now;
    c.last_start_us = started.micros;
    if (c.previous_start) c.measured_interval = static_cast<int32_t>(c.last_start - c.previous_start);
  }
  if (c.trace) PRINT('t', "rpf0300", "Doing prep_l_fet for cursor %s\n", c.name.c_str());
  ++c.sample_no;
  if (!c.iterated) c.rows_this_run = 0;
  c.result_code = 0;
  c.fetch_time = get_time(now);

  FetchHooks& hooks = fetch_hooks();
  if (c.fetch_exit || c.no_sql) {
    int32_t rows = 0;
    int code = 0;
    if (c.fetch_exit) {
      // Without a fetch-exit runner there are no rows to report: a failure.
      code = hooks.fetch_exit ? hooks.fetch_exit(c, time_text, rows) : 1;
    } else if (!hooks.row || hooks.row(c, nullptr, time_text) != 0) {
      rows = 1;
    } else {
      code = 1;
    }
    if (code == 0) {
      rows_out += rows;
      if (!c.iterated && hooks.end_of_data) hooks.end_of_data(c, rows);
    }
    return code;
  }

  // A text with references is completed with the values they name; when
  // that fails no statement runs this time (the merge said why).
  std::string merged;
  const bool has_references = c.sql_text.find('[') != std::string::npos;
  if (has_references && set_hvs_in_sel(c, merged) == 0) return 1;
  const std::string& sql = has_references ? merged : c.sql_text;
  if (trace_all) {
    static const std::string dashes(60, '-');
    PRINT('i', "oru0085", "%s\n", dashes.c_str());
    PRINT('i', "oru0090", "Starting new SQL query.\n");
    PRINT('i', "oru0095", "   <%s>\n", sql.c_str());
    PRINT('i', "oru0085", "%s\n", dashes.c_str());
  }

  SelectDescriptor descriptor;
  int32_t count = 0;
  // A failed statement: roll back (the next run logs on again) and report.
  auto fail = [&](int code) {
    cleanup(descriptor);
    rollback();
    PRINT('w', "rpf0345", "Time = %s For cursor %s, fetch failed after = %d rows\n", time_text.c_str(),
          c.name.c_str(), count);
    if (c.collector) {
      c.collector->last_run = get_time(the_clock().now());
      c.collector->status = "FAIL";
    }
    return code;
  };

  sqlrt::Connection* session = db_session();
  if (trace_level(6)) {
    if (c.collector && c.collector->type == 1) PRINT('t', "oru0105", "Local connection\n");
    else PRINT('t', "oru0110", "Remote connection\n");
  }
  if (!session || !session->connected()) {
    sqlrt::Diagnostics lost;
    lost.set(sqlrt::kNotLoggedOn, "not logged on");
    note_outcome(lost);
  } else {
    descriptor.statement = session->prepare(sql);
    note_outcome(descriptor.statement ? sqlrt::Diagnostics{} : session->diagnostics());
  }
  int code = checked(c, sql, "PREPARE");
  if (code == 0) code = checked(c, sql, "DECLARE");
  if (code != 0) return fail(code);
  descriptor.statement->open();
  note_outcome(descriptor.statement->diagnostics());
  if ((code = checked(c, sql, "OPEN")) != 0) return fail(code);
  descriptor.statement->describe(descriptor.columns);
  note_outcome(descriptor.statement->diagnostics());
  if ((code = checked(c, sql, "DESCRIBE")) != 0 || (code = checked(c, sql, "DESCRIBE")) != 0) return fail(code);

  int column_count = static_cast<int>(descriptor.columns.size());
  if (column_count > kMaxSelectColumns) column_count = -column_count;
  if (trace_level(7)) PRINT('t', "oru0115", "Column count: <%d>\n", column_count);
  if (column_count < 0) {
    cleanup(descriptor);
    PRINT('w', "oru0009", "More columns than max select columns\n");
    return column_count;
  }

  std::vector<int> lengths(descriptor.columns.size());
  for (size_t i = 0; i < lengths.size(); ++i) lengths[i] = fetch_length(descriptor.columns[i]);
  if (!c.set_lens.empty()) {
    std::vector<std::string> names(descriptor.columns.size());
    for (size_t i = 0; i < names.size(); ++i) names[i] = descriptor.columns[i].name;
    if (init_set_len(c, names) != 0) {
      cleanup(descriptor);
      return 1;
    }
    set_the_lengths(c, lengths);
  }

  std::vector<RunColumn> cols(descriptor.columns.size());
  int row_length = 0;
  for (size_t i = 0; i < cols.size(); ++i) {
    const sqlrt::ColumnDesc& d = descriptor.columns[i];
    const TypeRule& rule = rule_for(d.type);
    if (trace_level(7)) trace_describe(d, rule);
    if (rule.fetch == Fetch::kRefused) {
      if (rule.refusal_id) PRINT('w', rule.refusal_id, rule.refusal_format, name_length(d.name), d.name.c_str());
      else PRINT('w', "oru0015", "Unknown data type <%d> for <%.*s>\n", d.type, name_length(d.name), d.name.c_str());
      cleanup(descriptor);
      return 1;
    }
    if (rule.fetch == Fetch::kRaw && c.trace)
      PRINT('w', "oru0012", "Support RAW for <%.*s> as character\n", name_length(d.name), d.name.c_str());
    RunColumn& col = cols[i];
    col.desc = &d;
    col.fetch_length = lengths[i];
    col.offset = row_length;
    col.number = rule.fetch == Fetch::kNumber;
    col.orig_type = col.number ? sqlrt::kTypeNumber : rule.fetch == Fetch::kDate ? sqlrt::kTypeDate : 1;
    col.convert = rule.fetch == Fetch::kCharacter &&
                  (d.charset == sqlrt::kUnicode || d.charset == sqlrt::kNonUnicode) && col.fetch_length > 0;
    if (trace_level(7)) trace_sizes(d, col.fetch_length);
    row_length += col.fetch_length;
  }

  // The buffer follows the select list: a later run may need more room.
  c.row_buffer.assign(static_cast<size_t>(row_length) + 1, '\0');
  c.indicators.assign(cols.size(), 0);
  // One block for the run: the conversion's work area (the longest
  // converted column), then the UTF-16 that Unicode columns are fetched into.
  size_t work_bytes = 0, fetch_bytes = 0;
  for (const RunColumn& col : cols) {
    if (!col.convert) continue;
    work_bytes = std::max(work_bytes, static_cast<size_t>(col.fetch_length));
    if (col.desc->charset == sqlrt::kUnicode) fetch_bytes += static_cast<size_t>(unicode_fetch_bytes(col));
  }
  std::unique_ptr<char[]> conversion;
  if (work_bytes) {
    conversion.reset(new (std::nothrow) char[work_bytes + fetch_bytes]);
    if (!conversion) {
      PRINT('e', "oru0267", "Malloc of size (%d) failed\n", static_cast<int>(work_bytes + fetch_bytes));
      cleanup(descriptor);
      return 1;
    }
  }
  const std::span<char> work(conversion.get(), work_bytes);
  std::vector<sqlrt::Binding> bindings(cols.size());
  std::vector<fetched_column> row(cols.size());
  char* unicode_place = conversion.get() + work_bytes;
  for (size_t i = 0; i < cols.size(); ++i) {
    bindings[i].data = c.row_buffer.data() + cols[i].offset;
    bindings[i].length = cols[i].fetch_length;
    bindings[i].indicator = &c.indicators[i];
    if (cols[i].convert && cols[i].desc->charset == sqlrt::kUnicode) {
      bindings[i].data = unicode_place;
      bindings[i].length = unicode_fetch_bytes(cols[i]);
      unicode_place += bindings[i].length;
    }
  }

  // Rows age into the target only once the statement runs.
  if (c.age_target && !c.iterated) do_copy(c);
  RowSink& sink = hooks.row;
  for (;;) {
    std::fill(c.row_buffer.begin(), c.row_buffer.end(), '\0');
    descriptor.statement->fetch(bindings);
    note_outcome(descriptor.statement->diagnostics());
    code = checked(c, sql, "FETCH");
    if (code == sqlrt::kInvalidNumber) continue;
    if (code != 0) break;

    if (trace_level(9)) {
      PRINT('t', "oru0155", "Data from Oracle: <%d>\n", row_length);
      u_print_dumpx("oru0155", c.row_buffer.data(), static_cast<size_t>(row_length));
    }
    for (size_t i = 0; i < cols.size(); ++i) {
      const RunColumn& col = cols[i];
      char* place = c.row_buffer.data() + col.offset;
      const bool unicode = col.convert && col.desc->charset == sqlrt::kUnicode;
      const bool converting = col.convert && c.indicators[i] != -1 && bindings[i].returned_bytes > 0;
      int length = unicode ? bindings[i].returned_bytes : returned_length(col, bindings[i]);
      if (trace_level(8)) {
        const sqlrt::ColumnDesc& d = *col.desc;
        PRINT('t', "oru0160", "Column name: <%.*s>\n", name_length(d.name), d.name.c_str());
        PRINT('t', "oru0165", "Indicator flag: <%d>\n", c.indicators[i]);
        PRINT('t', "oru0170", "Returned length (chars): <%d>\n", bindings[i].returned_chars);
        PRINT('t', "oru0175", "Returned length (bytes): <%d>\n", bindings[i].returned_bytes);
        PRINT('t', "oru0180", "Column size (bytes): <%d>\n", d.size_bytes);
        PRINT('t', "oru0185", "Data from Oracle, returned length: <%d>\n", length);
        u_print_dumpx("oru0185", bindings[i].data, static_cast<size_t>(length));
      }
      if (converting) {
        length = convert_to_utf8(col, {bindings[i].data, static_cast<size_t>(length)}, place, work);
      } else if (unicode) {
        length = returned_length(col, bindings[i]);
      }
      if (col.number) {
        right_justify(place, col.fetch_length);
        length = col.fetch_length;
      }
      if (trace_level(8)) {
        PRINT('t', "oru0220", "Final column value, length <%d>\n", length);
        u_print_dumpx("oru0220", place, static_cast<size_t>(length));
      }
      row[i] = fetched_column{col.desc->name, place, length, col.fetch_length,
                              c.indicators[i] == -1 ? int16_t{-1} : int16_t{0}, col.orig_type,
                              col.number};
    }
    if (trace_level(9)) {
      PRINT('t', "oru0225", "Complete row buffer, length: <%d>\n", row_length);
      u_print_dumpx("oru0225", c.row_buffer.data(), static_cast<size_t>(row_length));
      trace_merge_values(cols, row, c.indicators.data());
    }

    ++count;
    ++c.rows_this_run;
    const fetched_row fetched(row);
    if (sink && sink(c, &fetched, time_text) == 0) {
      PRINT('e', "rpf0350", "Time = %s For cursor %s, merge failed after = %d rowsHolding cursor\n",
            time_text.c_str(), c.name.c_str(), count);
      c.hold = 'Y';
      cleanup(descriptor);
      rollback();
      return 1;
    }
  }

  if (code != sqlrt::kNoData) return fail(code);
  descriptor.statement->close();
  note_outcome(descriptor.statement->diagnostics());
  checked(c, sql, "CLOSE");
  cleanup(descriptor);
  if (!c.iterated) {
    const PreciseTime ended = precise_now();
    c.end_time = ended.seconds;
    c.end_time_us = ended.micros;
    c.elapsed = static_cast<int32_t>(c.end_time - c.last_start);
  }
  rows_out += count;
  if (c.trace)
    PRINT('t', "rpf0340", "Time = %s For cursor %s, rows collected for insert = %d\n", time_text.c_str(),
          c.name.c_str(), count);
  if (!c.iterated && hooks.end_of_data) hooks.end_of_data(c, count);
  return 0;
}

int get_cursor_name_list(std::span<char> buffer, const std::vector<std::unique_ptr<curs>>* chain) {
  if (!chain) return -1;
  std::fill(buffer.begin(), buffer.end(), '\0');
  size_t used = 0;
  for (const auto& c : *chain) {
    const std::string& full = c->name;
    size_t n = std::min<size_t>(full.find_first_of(" \0", 0, 2), 9);
    n = std::min(n, full.size());
    const size_t needed = (used ? 1 : 0) + n;
    // Leave the last byte as the terminator.
    if (used + needed >= buffer.size()) break;
    if (used) buffer[used++] = ' ';
    std::memcpy(buffer.data() + used, full.data(), n);
    used += n;
  }
  return 0;
}

}  // namespace qrx
