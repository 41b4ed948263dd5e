#include "agent/nrqs.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/log.h"
#include "base/relative_time.h"
#include "base/text.h"
#include "base/trace.h"
#include "ctl/control_parse.h"
#include "exec/agent_row.h"
#include "exec/clusters.h"
#include "exec/cursor_data.h"

namespace qrx {
namespace {

constexpr int kSqlTrace = 6;

bool class_served(const distributor& d, int32_t class_number) {
  return class_number >= 0 && class_number < static_cast<int32_t>(d.classes.size()) &&
         d.classes[static_cast<size_t>(class_number)] != 0;
}

const char* type_name(uint16_t data_type) {
  switch (data_type) {
    case 1:
    case 24: return "Char";
    case 2: return "Number";
    case 8: return "Long";
    case 11: return "RowId";
    case 12: return "Date";
    case 23: return "Raw";
    default: return "???";
  }
}

// How the column is sent, with the length it takes in that form.
std::pair<const char*, int> send_form(const columns& col) {
  if (col.send_conversion == kSendNone) return {"NO-SEND", 0};
  if (col.col_type != kColNumeric) return {"Char", col.stored_length};
  if (col.send_conversion == kSendText) return {"Right alligned", col.stored_length};
  if (col.send_conversion == kSendInt) return {"Integer", 4};
  return {"Float", 8};
}

// The binary value of type `T` at `at`, printed as `Shown` with `format`.
template <typename T, typename Shown>
std::string binary_text(const char* at, const char* format) {
  T value;
  std::memcpy(&value, at, sizeof value);
  char text[64];
  std::snprintf(text, sizeof text, format, static_cast<Shown>(value));
  return text;
}

}  // namespace

int do_nrqs(cursor_set& cursors, distributor& d, const std::string& time_text) {
  const int32_t now = relative_sec(time_text);
  int rc = 0;
  for (const auto& cp : cursors.cur_anchor) {
    curs& c = *cp;
    if (!c.evaluations.empty() || c.skip) continue;
    if (c.window_close <= now) set_window_c(c, now);
    // On-demand cursors keep no windows of their own: they are always open.
    if (c.window_open > now || !class_served(d, c.class_) || c.hold == 'Y') continue;
    PRINT('i', "cir1650", "Nrqs for %s\n", c.name.c_str());
    cluster* cl = open_cursor(c);
    if (!cl) continue;
    while (fetch_cur(c, cl) == 0) send_a_row(c, cl->current_row());
    rc = close_cur(c, cl);
  }
  return rc;
}

int send_a_row(const curs& c, const char* row) {
  if (&c != c.owning_set->nrqs_last_cursor) {
    // The line end keeps the INSERT text, which has none, off the next line.
    PRINT('i', "cpr1890", "%s\n", c.insert.c_str());
    c.owning_set->nrqs_last_cursor = &c;
  }
  int number = 0;
  for (const auto& col : c.cols) {
    ++number;
    const char* at = row + col->output_offset;
    std::string value;
    int field = 0;
    switch (col->send_conversion) {
      case kSendInt:
        value = binary_text<int32_t, int>(at, "%d");
        field = 4;
        break;
      case kSendInt64:
        value = binary_text<int64_t, long long>(at, "%lld");
        field = 8;
        break;
      case kSendFloat:
        value = binary_text<double, double>(at, "%f");
        field = 8;
        break;
      case kSendNone:
        value = "ZIP";
        break;
      default: {
        field = static_cast<int>(agent_width(*col));
        std::string_view shown(at, static_cast<size_t>(field));
        const size_t last = shown.find_last_not_of(' ');
        // At least one character is kept, even of an all-blank value.
        value = std::string(shown.substr(0, last == std::string_view::npos ? 1 : last + 1));
        break;
      }
    }
    PRINT('i', "cpr1895", "#=%d,n=%s,l=%d,o=%d,ll=%d:%s\n", number, col->name.c_str(),
          static_cast<int>(value.size()), static_cast<int>(col->output_offset), field,
          value.c_str());
  }
  return 0;
}

int sho_cur(curs& c) {
  c.show_cursor = 0;
  PRINT('t', "csc1900", "Curs= %s , host table= %s\n", c.name.c_str(), c.insert_table.c_str());
  if (trace_level(kSqlTrace)) {
    if (!c.insert_select.empty())
      PRINT('t', "csc1910", " %s\n", us_ps(c.insert_select, 0, 0).c_str());
    else
      PRINT('t', "csc1915", " %s\n", us_ps(c.sql_text, 0, 0).c_str());
  }
  int number = 0;
  for (const auto& col : c.cols) {
    const auto [form, length] = send_form(*col);
    const std::string host =
        static_cast<size_t>(number) < c.host_cols.size() ? c.host_cols[number].name : "";
    ++number;
    PRINT('t', "csc1920", "#%d Host=%s (%d,%d), Orig=%s, Orig-t=%s, send_t=%s, len=%d\n", number,
          host.c_str(), col->stored_length, col->db_length, col->name.c_str(),
          type_name(col->data_type), form, length);
  }
  return 0;
}

}  // namespace qrx
